// SPDX-License-Identifier: GPL-3.0-or-later
// The worker processes of a batch: rtplayer-cli started again from its own image
// (/proc/self/exe), each converting the files handed to it one after another
// (worker_report.h), so each has the engine's one state record to itself. Main thread only.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct WorkerProcess {
  pid_t pid = -1;
  int files = -1;     // its standard input, write end; -1 once closed
  int reports = -1;   // its standard output, read end (non-blocking): worker_report.h
  int messages = -1;  // its standard error, read end (non-blocking)
};

// Starts the program again with `arguments` (argv[1] on), its standard input, output and error
// pipes to this process, and no signal blocked. False, with errno and nothing left open, when
// it cannot be started.
bool StartWorker(const std::vector<std::string>& arguments, WorkerProcess* worker);

// Hands the worker its next file (worker_report.h), while it has none. False, with errno, when
// the worker is gone (the batch ignores SIGPIPE).
bool SendWorkerFile(WorkerProcess* worker, const std::string& output, const std::string& file);

// Ends the worker's input: it ends once its file, if any, is over.
void CloseWorkerInput(WorkerProcess* worker);

// Reaps the worker and closes its input, once its output and error have come to their end (so
// it has ended or is ending). Returns its exit status, or 128 + the signal that killed it (*killed
// then true); -1 when it cannot be learnt (the batch keeps SIGCHLD at its default action so it
// always can).
int ReapWorker(WorkerProcess* worker, bool* killed);
