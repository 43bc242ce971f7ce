// SPDX-License-Identifier: GPL-3.0-or-later
// The terminal front end's command line.
#pragma once

#include <string>
#include <vector>

// What a batch worker (rtplayer-cli run by a batch, converting the files it is handed on
// standard input) reports to the batch on standard output; see worker_report.h.
enum class WorkerReports {
  kNone,      // not a worker
  kEnd,       // the end of each file
  kProgress,  // that and, four times a second, the seconds played so far
};

struct CliOptions {
  bool listDevices = false;
  bool help = false;
  bool version = false;
  bool verbose = false;      // -v: maintainers' diagnostics on standard error
  int device = 0;            // entry of the device list, as the dialog numbers it
  bool deviceGiven = false;  // --device came on the command line
  std::string outputPath;    // the file device's WAV file; empty for a real device
  bool check = false;        // --check: convert every file, write nothing
  std::string outputDir;     // --output-dir: convert every file into this folder
  int jobs = 0;              // -j: worker processes of a batch; 0 when not given
  WorkerReports worker = WorkerReports::kNone;  // --worker, given by a batch to its workers
  std::vector<std::string> files;

  // --check or --output-dir: the files (folders searched) go to worker processes.
  bool batch() const { return check || !outputDir.empty(); }
};

// Parses argv. False with a one-line reason in *error when the command line is wrong (the
// names in it as TerminalName writes them).
bool ParseCliOptions(int argc, const char* const* argv, CliOptions* options, std::string* error);

extern const char* const kCliUsage;
