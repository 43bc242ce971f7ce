// The terminal front end's side of the engine: its port (messages on standard error, the
// finish delivered to the main thread's queue) and the loop that plays files in turn.
// Main thread only.
#pragma once

#include "cli/options.h"

// Prints the device list as the dialog fills it: "index<TAB>name", entry 0 the default.
void PrintDeviceList();

// Plays options.files in turn. Returns the exit status: 0 when every file played to its
// end, 1 when any failed, 130 after Ctrl-C (which stops the sound the way Stop does).
int PlayFiles(const CliOptions& options);
