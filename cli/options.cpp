#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "terminal_name.h"

const char* const kCliUsage =
    "usage: rtplayer-cli [-v] [--device N | --output FILE.wav] FILE.wav...\n"
    "       rtplayer-cli [-v] --list-devices | --version | --help\n"
    "Plays RIFF/WAVE files in turn on output device entry N (0, the default device,\n"
    "unless given), or into FILE.wav. Ctrl-C stops playback. -v writes diagnostics for\n"
    "maintainers to standard error.\n";

namespace {

bool ParseEntry(const char* text, int* entry) {
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 0xFFFF) return false;
  *entry = static_cast<int>(value);
  return true;
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
    } else if (std::strcmp(arg, "--device") == 0 || std::strcmp(arg, "--output") == 0) {
      if (i + 1 == argc) {
        *error = std::string(arg) + " needs a value";
        return false;
      }
      const char* value = argv[++i];
      if (arg[2] == 'o') {
        options->outputPath = value;
      } else if (!ParseEntry(value, &options->device)) {
        *error = "not a device entry: " + TerminalName(value);
        return false;
      } else {
        options->deviceGiven = true;
      }
    } else {
      *error = "unknown option: " + TerminalName(arg);
      return false;
    }
  }
  // A device and a file are two places for the sound: one must not silently win.
  if (options->deviceGiven && !options->outputPath.empty()) {
    *error = "--device and --output exclude each other";
    return false;
  }
  if (options->listDevices && !options->files.empty()) {
    *error = "--list-devices plays no file";
    return false;
  }
  if (!options->help && !options->version && !options->listDevices && options->files.empty()) {
    *error = "no file to play";
    return false;
  }
  // The file device writes one WAV file a playback: a second file would overwrite the first.
  if (!options->outputPath.empty() && options->files.size() > 1) {
    *error = "--output takes one file to play";
    return false;
  }
  return true;
}
