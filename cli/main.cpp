// SPDX-License-Identifier: GPL-3.0-or-later
#include <csignal>
#include <cstdio>
#include <string>

#include "batch.h"
#include "engine/engine.h"
#include "options.h"
#include "output_check.h"
#include "terminal_name.h"
#include "terminal_session.h"
#include "worker_report.h"

namespace {

// Before anything is opened for writing: --output that names a file to play would overwrite
// it with its own decoding.
bool OutputSpareFilesToPlay(const CliOptions& options, std::string* error) {
  if (options.outputPath.empty()) return true;
  for (const std::string& file : options.files) {
    if (OutputIsFileToPlay(options.outputPath, file)) {
      *error = "--output " + TerminalName(options.outputPath) +
               " would overwrite the file to play, " + TerminalName(file);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // An output past the file-size limit then fails its write and is reported, and its file
  // removed, instead of the signal ending the program with the file half written.
  std::signal(SIGXFSZ, SIG_IGN);
  CliOptions options;
  std::string error;
  if (!ParseCliOptions(argc, argv, &options, &error) || !OutputSpareFilesToPlay(options, &error)) {
    std::fprintf(stderr, "rtplayer-cli: %s\n%s", error.c_str(), kCliUsage);
    return 2;
  }
  if (options.verbose) EnableDiagnosticOutput();
  if (options.help) {
    std::fputs(kCliUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::puts("rtplayer-cli " RTPLAYER_VERSION);
    return 0;
  }
  if (options.listDevices) {
    PrintDeviceList();
    return 0;
  }
  if (options.batch()) return RunBatch(options);
  if (options.worker != WorkerReports::kNone) {
    BecomeWorker();
    return ServeWorkerFiles(options);
  }
  return PlayFiles(options);
}
