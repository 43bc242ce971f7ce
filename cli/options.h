// The terminal front end's command line.
#pragma once

#include <string>
#include <vector>

struct CliOptions {
  bool listDevices = false;
  bool help = false;
  bool version = false;
  bool verbose = false;      // -v: maintainers' diagnostics on standard error
  int device = 0;            // entry of the device list, as the dialog numbers it
  bool deviceGiven = false;  // --device came on the command line
  std::string outputPath;    // the file device's WAV file; empty for a real device
  std::vector<std::string> files;
};

// Parses argv. False with a one-line reason in *error when the command line is wrong (the
// names in it as TerminalName writes them).
bool ParseCliOptions(int argc, const char* const* argv, CliOptions* options, std::string* error);

extern const char* const kCliUsage;
