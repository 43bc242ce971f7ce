// SPDX-License-Identifier: GPL-3.0-or-later
// --check and --output-dir: many files, converted by up to -j worker processes (workers.h), each
// one file after another. Main thread only; the process has no other thread.
#pragma once

#include "options.h"

// Converts options.files (folders searched: collect_files.h) into /dev/null (--check) or into
// options.outputDir, each with the rules of --output. The largest files start first; those whose
// format needs the codec module go to a worker that has it loaded, the others to workers without
// it (module_guess.h). The workers' messages reach standard error in the order of the files,
// whatever order the files start and end in; while standard error is a terminal one progress
// line stands below them. A worker that dies fails its file alone; another takes its place.
// SIGINT, SIGTERM and SIGHUP go on to every worker (each stops its file as Stop does) and no
// further file is started. Ends with the summary on standard output. Returns the exit status:
// 130 when a signal ended the run, else 0 when every file played to its end and 1 when any did
// not.
int RunBatch(const CliOptions& options);
