// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/write_holder.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

WriteHolder::WriteHolder(const std::string& path) {
  int ready[2];
  int release[2];
  if (pipe(ready) != 0) return;
  if (pipe(release) != 0) {
    close(ready[0]);
    close(ready[1]);
    return;
  }
  child_ = fork();
  if (child_ == 0) {
    // Only async-signal-safe calls from here on.
    close(ready[0]);
    close(release[1]);
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    const char opened = fd >= 0 ? 1 : 0;
    if (write(ready[1], &opened, 1) != 1) _exit(1);
    char ignored;
    while (read(release[0], &ignored, 1) > 0) {
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  release_ = release[1];
  char opened = 0;
  holding_ = child_ > 0 && read(ready[0], &opened, 1) == 1 && opened == 1;
  close(ready[0]);
}

WriteHolder::~WriteHolder() {
  if (release_ >= 0) close(release_);
  if (child_ > 0) waitpid(child_, nullptr, 0);
}

bool LeasesAvailable(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool granted = fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  if (granted) fcntl(fd, F_SETLEASE, F_UNLCK);
  close(fd);
  return granted;
}
