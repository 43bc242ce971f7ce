// SPDX-License-Identifier: GPL-3.0-or-later
// A file written in the place of another and put there only once it is whole: the bytes go to
// a new file beside the target, which is renamed over the target when it is kept, and removed
// otherwise, so a target that exists is never seen half written, and is left as it was when
// the writing fails. Used by one thread at a time.
#pragma once

#include <string>

#include "platform/unique_fd.h"

class ReplacementFile {
 public:
  ReplacementFile() = default;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  // A file neither kept nor discarded is discarded.
  ~ReplacementFile() { Discard(); }

  // Makes the file for `target`. A target that is a symbolic link is replaced where the link
  // leads (the link stays). The new file lies in the target's folder, made there exclusively
  // under a hidden name (".NAME.XXXXXX") with the permissions any new file gets (0644 less the
  // umask). A target that exists and is no regular file (/dev/null, /dev/full, a FIFO) cannot
  // be replaced and is opened for writing directly, as it stands. False, with errno, when the
  // file cannot be made (a missing or unwritable folder, a target path too long).
  bool Open(const char* target);

  // Read and write; -1 when nothing is open.
  int fd() const { return file_.get(); }

  // Closes the file and renames it over the target (a target written directly is only
  // closed). False, with errno, when either fails; the new file is then removed and the target
  // left as it was.
  bool Keep();

  // Closes the file and removes it, leaving the target as it was. Nothing open: nothing done.
  void Discard();

 private:
  UniqueFd file_;
  UniqueFd folder_;     // of the target; not held for a target written directly
  std::string name_;    // the new file's name in the folder
  std::string target_;  // the target's name in the folder
};
