// SPDX-License-Identifier: GPL-3.0-or-later
// The names that --output-dir gives its outputs. Main thread only.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>

// The name of one file's output in the output folder: chosen first, taken when the file starts.
struct OutputName {
  std::string base;     // the file's base name, NAME.EXT
  unsigned suffix = 0;  // 0 for NAME.EXT itself, n for NAME-n.EXT
  std::string path;     // the folder joined with the name, once taken (or tried)
  dev_t device = 0;     // of the empty file made there
  ino_t inode = 0;
};

// The names of one batch's outputs in `folder`.
class OutputNames {
 public:
  explicit OutputNames(const std::string& folder);

  // Chooses the name for `file`, called in the order of the batch's files: its base name, or
  // when a file of that name exists there already or the name was chosen for an earlier file,
  // the first of NAME-1.EXT, NAME-2.EXT, ... that is neither. So a name that repeats gets its
  // suffix in the order of the files, whichever file starts first. Nothing is made yet.
  OutputName Choose(const std::string& file);

  // Takes the chosen name by making it an empty file, exclusively, so nothing else can take it
  // while the file converts (the worker's output then replaces it); where something else has
  // made a file of that name since, the next name that is free and chosen for no other file.
  // Nothing is ever overwritten, and never the file being read. False, with errno, when no name
  // can be made there (name->path is then the last one tried).
  bool Take(OutputName* name);

 private:
  std::string Path(const std::string& base, unsigned suffix) const;

  std::string prefix_;            // the folder and a slash
  std::set<std::string> chosen_;  // paths
};

// Gives the name back when no output came to replace the empty file (the file failed, or was
// stopped before anything was written). Only that empty file is removed.
void ReleaseOutputName(const OutputName& name);
