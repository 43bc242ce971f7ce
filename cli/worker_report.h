// SPDX-License-Identifier: GPL-3.0-or-later
// What passes between a batch and its workers. A worker is rtplayer-cli started by the batch as
// `rtplayer-cli --worker end|progress [-v]`; it converts one file after another, as
// `--output OUT FILE` would, each handed to it on its standard input (a pipe from the batch) as
// OUT and FILE, each ended by a NUL byte. It ends at the end of that input, or on a signal once
// the file under way has stopped. It tells the batch, in lines on its standard output (a pipe
// the batch reads):
//   "at PLAYED TOTAL"       with --worker progress, four times a second while a file
//                           converts: the seconds played so far, and the data's length in
//                           seconds (0 when the header gives no byte rate);
//   "done STATUS PLAYED MODULE"  once a file is over, after everything written for it: its
//                           status as rtplayer-cli's (0 played to its end, 1 failed, 130
//                           stopped by a signal), the seconds played, and 1 once the worker
//                           has loaded the codec module (which stays, with its memory, for
//                           the life of the process), else 0.
// Its messages go to standard error, another pipe, as rtplayer-cli writes them.
#pragma once

#include <string>

// Worker side, main thread. Readies the process for a batch: a report the batch can no longer
// read is dropped rather than ending the worker with SIGPIPE before it has put its output in
// place, and the worker is sent SIGTERM (so stops as Stop does) if the batch dies; if the batch
// is gone already, or has closed the input before handing over any file, the worker ends here.
void BecomeWorker();
// The next file: false at the end of the input.
bool ReadWorkerFile(std::string* output, std::string* file);
void ReportPosition(double played, double total);
void ReportDone(int status, double played, bool module);

// Batch side.
// OUT and FILE as the worker reads them.
std::string WorkerFile(const std::string& output, const std::string& file);

struct WorkerReport {
  bool done;      // "done" rather than "at"
  double played;  // seconds
  double total;   // seconds; 0 in a "done" line
  int status;     // in a "done" line
  bool module;    // in a "done" line
};
// One line, without its newline; false for a line no worker writes.
bool ParseWorkerReport(const std::string& line, WorkerReport* report);
