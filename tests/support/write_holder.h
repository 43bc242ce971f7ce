// SPDX-License-Identifier: GPL-3.0-or-later
// Another process that holds a file open for writing, as an editor or a recorder would.
#pragma once

#include <sys/types.h>

#include <string>

class WriteHolder {
 public:
  // Returns once the child has the file open for writing (or has failed to open it).
  explicit WriteHolder(const std::string& path);
  // The child closes the file and exits; it is reaped before this returns.
  ~WriteHolder();
  WriteHolder(const WriteHolder&) = delete;
  WriteHolder& operator=(const WriteHolder&) = delete;

  bool holding() const { return holding_; }

 private:
  pid_t child_ = -1;
  int release_ = -1;  // closing it tells the child to let go
  bool holding_ = false;
};

// True when this process can take a read lease on `path`, which nobody may have open for
// writing: only then can an open with MMIO_DENYWRITE tell that someone writes the file.
bool LeasesAvailable(const std::string& path);
