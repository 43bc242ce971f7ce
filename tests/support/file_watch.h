// SPDX-License-Identifier: GPL-3.0-or-later
// Waits, without polling, for another process to open, write or close a file (inotify).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class FileWatch {
 public:
  // Watches `path`, which must exist; make it before the process that will use the file.
  explicit FileWatch(const std::string& path);
  ~FileWatch();
  FileWatch(const FileWatch&) = delete;
  FileWatch& operator=(const FileWatch&) = delete;

  // True once the file has been opened since the watch was made (or since the last wait
  // that saw it); false after `limit` without it.
  bool waitForOpen(std::chrono::milliseconds limit);
  // The same for a close of the file after reading it.
  bool waitForClose(std::chrono::milliseconds limit);
  // The same for a write to the file.
  bool waitForWrite(std::chrono::milliseconds limit);

 private:
  bool waitFor(uint32_t mask, std::chrono::milliseconds limit);

  int fd_;
  uint32_t seen_ = 0;
};
