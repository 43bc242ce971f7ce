// SPDX-License-Identifier: GPL-3.0-or-later
// The names that --output-dir gives its outputs. Main thread only.
#pragma once

#include <sys/types.h>

#include <string>

// A name taken in the output folder for one file's output. The batch makes it as an empty file,
// exclusively, so no other file of the batch, and nothing else, can take it while the file
// converts; the worker's output then replaces it.
struct OutputName {
  std::string path;  // the folder joined with the name
  dev_t device = 0;  // of the empty file made there
  ino_t inode = 0;
};

// Takes a name in `folder` for the output of `file`: the file's base name, or when a file of
// that name exists there already (an output of this batch or anything else), the first of
// NAME-1.EXT, NAME-2.EXT, ... that does not, so nothing is ever overwritten and never the file
// being read. False, with errno, when no name can be made there (name->path is then the last
// one tried).
bool TakeOutputName(const std::string& folder, const std::string& file, OutputName* name);

// Gives the name back when no output came to replace the empty file (the file failed, or was
// stopped before anything was written). Only that empty file is removed.
void ReleaseOutputName(const OutputName& name);
