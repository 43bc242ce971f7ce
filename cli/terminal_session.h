// SPDX-License-Identifier: GPL-3.0-or-later
// The terminal front end's side of the engine: its port (messages on standard error, the
// finish delivered to the main thread's queue) and the loop that plays files in turn.
// Main thread only.
#pragma once

#include "options.h"

// Prints the device list as the dialog fills it: "index<TAB>name", entry 0 the default.
void PrintDeviceList();

// Plays options.files in turn; each fixed message goes to standard error as
// "rtplayer-cli: FILE: message" (FILE as TerminalName writes it). SIGINT, SIGTERM and SIGHUP stop a
// playback the way Stop does (during its start, an open of the device gives up at once, with no
// message) and end the run; one that comes while no file plays ends it before the next file.
// Returns the exit status: 130 when a signal stopped a playback or its start, else 0 when every
// file played to its end and 1 when any failed.
int PlayFiles(const CliOptions& options);

// A batch's worker (worker_report.h): converts each file handed to it on standard input into
// its output, as PlayFiles does with --output, and reports its end. A signal stops the file
// under way and ends the worker. Returns 130 after a signal, else 0.
int ServeWorkerFiles(const CliOptions& options);
