// SPDX-License-Identifier: GPL-3.0-or-later
#include "positioned_io.h"

#include <unistd.h>

#include <cerrno>

int64_t ReadAt(int fd, void* bytes, size_t count, uint64_t offset) {
  auto* at = static_cast<uint8_t*>(bytes);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = pread(fd, at + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool WriteAt(int fd, const void* bytes, size_t count, uint64_t offset) {
  const auto* at = static_cast<const uint8_t*>(bytes);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = pwrite(fd, at + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}
