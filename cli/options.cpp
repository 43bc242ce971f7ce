// SPDX-License-Identifier: GPL-3.0-or-later
#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "terminal_name.h"

const char* const kCliUsage =
    "usage: rtplayer-cli [-v] [--device N | --output FILE.wav] FILE.wav...\n"
    "       rtplayer-cli [-v] [-j N] --check | --output-dir DIR  FILE.wav|FOLDER...\n"
    "       rtplayer-cli [-v] --list-devices | --version | --help\n"
    "Plays RIFF/WAVE files in turn on output device entry N (0, the default device,\n"
    "unless given), or into FILE.wav. --check converts each file as fast as it decodes\n"
    "and writes nothing; --output-dir converts each into DIR; both search folders for\n"
    "WAV files, run N files at once (default: one a processor) and end with a summary.\n"
    "Ctrl-C stops playback. -v writes diagnostics for maintainers to standard error.\n";

namespace {

// A whole decimal number from `low` to `high`.
bool ParseNumber(const char* text, long low, long high, int* number) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < low || value > high) return false;
  *number = static_cast<int>(value);
  return true;
}

// The options whose value is the next argument.
bool TakesValue(const char* arg) {
  for (const char* name : {"--device", "--output", "--output-dir", "-j", "--worker"}) {
    if (std::strcmp(arg, name) == 0) return true;
  }
  return false;
}

bool SetValue(const std::string& name, const char* value, CliOptions* options, std::string* error) {
  if (name == "--output") {
    options->outputPath = value;
  } else if (name == "--output-dir") {
    options->outputDir = value;
    if (options->outputDir.empty()) {
      *error = "--output-dir needs a folder";
      return false;
    }
  } else if (name == "--device") {
    if (!ParseNumber(value, 0, 0xFFFF, &options->device)) {
      *error = "not a device entry: " + TerminalName(value);
      return false;
    }
    options->deviceGiven = true;
  } else if (name == "-j") {
    if (!ParseNumber(value, 1, 4096, &options->jobs)) {
      *error = "not a number of files at once: " + TerminalName(value);
      return false;
    }
  } else if (std::strcmp(value, "end") == 0) {
    options->worker = WorkerReports::kEnd;
  } else if (std::strcmp(value, "progress") == 0) {
    options->worker = WorkerReports::kProgress;
  } else {
    *error = "unknown option: --worker " + TerminalName(value);
    return false;
  }
  return true;
}

// The options that exclude each other, checked once the whole line is read.
bool Consistent(const CliOptions& options, std::string* error) {
  // A device and a file are two places for the sound: one must not silently win.
  if (options.deviceGiven && !options.outputPath.empty()) {
    *error = "--device and --output exclude each other";
  } else if (options.check && !options.outputDir.empty()) {
    *error = "--check and --output-dir exclude each other";
  } else if (options.batch() && (options.deviceGiven || !options.outputPath.empty())) {
    *error = std::string(options.check ? "--check" : "--output-dir") + " and " +
             (options.deviceGiven ? "--device" : "--output") + " exclude each other";
  } else if (options.jobs != 0 && !options.batch()) {
    *error = "-j runs --check or --output-dir";
  } else if (options.listDevices && (!options.files.empty() || options.batch())) {
    *error = "--list-devices plays no file";
  } else if (options.worker != WorkerReports::kNone &&
             (!options.files.empty() || !options.outputPath.empty() || options.batch() ||
              options.deviceGiven || options.listDevices)) {
    *error = "--worker takes its files on standard input";
  } else if (!options.help && !options.version && !options.listDevices &&
             options.worker == WorkerReports::kNone && options.files.empty()) {
    *error = "no file to play";
  } else if (!options.outputPath.empty() && options.files.size() > 1) {
    // The file device writes one WAV file a playback: a second file would overwrite the first.
    *error = "--output takes one file to play";
  } else {
    return true;
  }
  return false;
}

}  // namespace

bool ParseCliOptions(int argc, const char* const* argv, CliOptions* options, std::string* error) {
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (endOfOptions || arg[0] != '-' || std::strcmp(arg, "-") == 0) {
      options->files.emplace_back(arg);
    } else if (std::strcmp(arg, "--") == 0) {
      endOfOptions = true;
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      options->help = true;
    } else if (std::strcmp(arg, "--version") == 0) {
      options->version = true;
    } else if (std::strcmp(arg, "-v") == 0 || std::strcmp(arg, "--verbose") == 0) {
      options->verbose = true;
    } else if (std::strcmp(arg, "--list-devices") == 0) {
      options->listDevices = true;
    } else if (std::strcmp(arg, "--check") == 0) {
      options->check = true;
    } else if (std::strncmp(arg, "-j", 2) == 0 && arg[2] != '\0') {
      // -jN, as make takes it.
      if (!SetValue("-j", arg + 2, options, error)) return false;
    } else if (TakesValue(arg)) {
      if (i + 1 == argc) {
        *error = std::string(arg) + " needs a value";
        return false;
      }
      if (!SetValue(arg, argv[++i], options, error)) return false;
    } else {
      *error = "unknown option: " + TerminalName(arg);
      return false;
    }
  }
  return Consistent(*options, error);
}
