// SPDX-License-Identifier: GPL-3.0-or-later
#include "command_line.h"

#include <cstring>

const char* const kDialogUsage =
    "usage: rtplayer [FILE.wav]\n"
    "       rtplayer --version | --help\n"
    "Opens the player dialog; given a RIFF/WAVE file, plays it at once.\n";

DialogCommandLine ParseDialogCommandLine(int argc, const char* const* argv) {
  DialogCommandLine commandLine;
  bool help = false;
  bool version = false;
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const bool option = !endOfOptions && arg[0] == '-' && arg[1] != '\0';
    if (option && std::strcmp(arg, "--") == 0) {
      endOfOptions = true;
    } else if (option && (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)) {
      help = true;
    } else if (option && std::strcmp(arg, "--version") == 0) {
      version = true;
    } else if (option) {
      if (commandLine.error.empty()) commandLine.error = std::string("unknown option: ") + arg;
    } else if (commandLine.hasFile) {
      if (commandLine.error.empty()) commandLine.error = "one file at a time";
    } else {
      commandLine.hasFile = true;
      commandLine.file = arg;
    }
  }
  if (help) {
    commandLine.action = DialogCommandLine::kHelp;
  } else if (version) {
    commandLine.action = DialogCommandLine::kVersion;
  } else if (!commandLine.error.empty()) {
    commandLine.action = DialogCommandLine::kWrong;
  }
  return commandLine;
}
