// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker_report.h"

#include <poll.h>
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

bool ReadField(std::string* field) {
  char* text = nullptr;
  size_t size = 0;
  const ssize_t length = getdelim(&text, &size, '\0', stdin);
  // A field cut short by the end of the input is no file.
  const bool whole = length > 0 && text[length - 1] == '\0';
  if (whole) field->assign(text, static_cast<size_t>(length - 1));
  std::free(text);
  return whole;
}

}  // namespace

void BecomeWorker() {
  std::signal(SIGPIPE, SIG_IGN);
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  // Only the batch holds the input's other end, and it closes it early only to end a worker
  // that has no file: a batch that died before the line above is seen here.
  pollfd input{STDIN_FILENO, POLLIN, 0};
  if (poll(&input, 1, 0) == 1 && (input.revents & POLLHUP) != 0) std::exit(0);
}

bool ReadWorkerFile(std::string* output, std::string* file) {
  return ReadField(output) && ReadField(file);
}

void ReportPosition(double played, double total) {
  char line[64];
  WriteLine(line, std::snprintf(line, sizeof line, "at %.3f %.3f\n", played, total));
}

void ReportDone(int status, double played, bool module) {
  char line[64];
  WriteLine(line,
            std::snprintf(line, sizeof line, "done %d %.3f %d\n", status, played, module ? 1 : 0));
}

std::string WorkerFile(const std::string& output, const std::string& file) {
  std::string fields = output;
  fields += '\0';
  fields += file;
  fields += '\0';
  return fields;
}

bool ParseWorkerReport(const std::string& line, WorkerReport* report) {
  const char* text = line.c_str();
  char* end = nullptr;
  *report = {};
  if (line.rfind("done ", 0) == 0) {
    report->done = true;
    const long status = std::strtol(text + 5, &end, 10);
    if (end == text + 5 || *end != ' ' || status < 0 || status > 255) return false;
    report->status = static_cast<int>(status);
    if (!ParseSeconds(end + 1, &end, &report->played) || *end != ' ') return false;
    report->module = end[1] == '1';
    return (end[1] == '0' || end[1] == '1') && end[2] == '\0';
  }
  if (line.rfind("at ", 0) == 0) {
    return ParseSeconds(text + 3, &end, &report->played) && *end == ' ' &&
           ParseSeconds(end + 1, &end, &report->total) && *end == '\0';
  }
  return false;
}
