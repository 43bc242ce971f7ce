// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker_report.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// One write a line: lines shorter than PIPE_BUF reach the pipe whole.
void WriteLine(const char* line, int length) {
  if (length > 0) (void)!write(STDOUT_FILENO, line, static_cast<size_t>(length));
}

bool ParseSeconds(const char* text, char** end, double* seconds) {
  *seconds = std::strtod(text, end);
  return *end != text && *seconds >= 0;
}

}  // namespace

void BecomeWorker() {
  std::signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
}

void ReportPosition(double played, double total) {
  char line[64];
  WriteLine(line, std::snprintf(line, sizeof line, "at %.3f %.3f\n", played, total));
}

void ReportPlayed(double played) {
  char line[64];
  WriteLine(line, std::snprintf(line, sizeof line, "played %.3f\n", played));
}

bool ParseWorkerReport(const std::string& line, WorkerReport* report) {
  const char* text = line.c_str();
  char* end = nullptr;
  if (line.rfind("played ", 0) == 0) {
    report->final = true;
    report->total = 0;
    return ParseSeconds(text + 7, &end, &report->played) && *end == '\0';
  }
  if (line.rfind("at ", 0) == 0) {
    report->final = false;
    return ParseSeconds(text + 3, &end, &report->played) && *end == ' ' &&
           ParseSeconds(end + 1, &end, &report->total) && *end == '\0';
  }
  return false;
}
