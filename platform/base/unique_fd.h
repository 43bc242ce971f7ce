// SPDX-License-Identifier: GPL-3.0-or-later
// Owns a POSIX file descriptor: closed once, when its owner goes or asks. Move-only.
#pragma once

#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { close(); }

  // -1 when none is held.
  int get() const { return fd_; }

  // Closes now; false when close() reports an error (a written file may then lack its last
  // bytes). Nothing held is success.
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};
