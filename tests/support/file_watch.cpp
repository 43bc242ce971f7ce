// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/file_watch.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

FileWatch::FileWatch(const std::string& path) : fd_(inotify_init1(IN_CLOEXEC)) {
  if (fd_ >= 0) inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_MODIFY | IN_CLOSE_NOWRITE);
}

FileWatch::~FileWatch() {
  if (fd_ >= 0) close(fd_);
}

bool FileWatch::waitForOpen(std::chrono::milliseconds limit) {
  return waitFor(IN_OPEN, limit);
}

bool FileWatch::waitForClose(std::chrono::milliseconds limit) {
  return waitFor(IN_CLOSE_NOWRITE, limit);
}

bool FileWatch::waitForWrite(std::chrono::milliseconds limit) {
  return waitFor(IN_MODIFY, limit);
}

bool FileWatch::waitFor(uint32_t mask, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while ((seen_ & mask) == 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{fd_, POLLIN, 0};
    if (fd_ < 0 || left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
      return false;
    }
    alignas(inotify_event) char events[4096];
    const ssize_t n = read(fd_, events, sizeof events);
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      seen_ |= event->mask;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  seen_ &= ~mask;
  return true;
}
