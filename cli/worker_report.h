// SPDX-License-Identifier: GPL-3.0-or-later
// What a batch worker (rtplayer-cli run by the batch for one file, `--worker end|progress
// --output OUT -- FILE`) tells the batch, as lines on its standard output, a pipe the batch
// reads:
//   "at PLAYED TOTAL"  with --worker progress, four times a second while the file converts:
//                      the seconds played so far, and the data's length in seconds (0 when
//                      the header gives no byte rate);
//   "played SECONDS"   once a playback that started has finished (played to its end, stopped
//                      or failed): the seconds played in all.
// Its messages go to standard error, another pipe, as rtplayer-cli writes them; its exit
// status is rtplayer-cli's (0 played to its end, 1 failed, 130 stopped by a signal).
#pragma once

#include <string>

// Worker side, main thread. Readies the process for a batch: a report the batch can no longer
// read is dropped rather than ending the worker with SIGPIPE before it has put its output in
// place, and the worker is sent SIGTERM (so stops as Stop does) if the batch dies.
void BecomeWorker();
void ReportPosition(double played, double total);
void ReportPlayed(double played);

// Batch side.
struct WorkerReport {
  bool final;     // "played" rather than "at"
  double played;  // seconds
  double total;   // seconds; 0 in a "played" line
};
// One line, without its newline; false for a line no worker writes.
bool ParseWorkerReport(const std::string& line, WorkerReport* report);
