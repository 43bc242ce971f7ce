// SPDX-License-Identifier: GPL-3.0-or-later
// --check and --output-dir: many files, each converted by a worker process of its own (workers.h),
// up to -j of them at once. Main thread only; the process has no other thread.
#pragma once

#include "options.h"

// Converts options.files (folders searched: collect_files.h) into /dev/null (--check) or into
// options.outputDir, each with the rules of --output. Each worker's messages reach standard
// error in the order of the files, whatever order the workers end in; while standard error is a
// terminal one progress line stands below them. SIGINT, SIGTERM and SIGHUP go on to every worker
// (each stops as Stop does) and no further file is started. Ends with the summary on standard
// output. Returns the exit status: 130 when a signal ended the run, else 0 when every file
// played to its end and 1 when any did not.
int RunBatch(const CliOptions& options);
