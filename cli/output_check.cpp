// SPDX-License-Identifier: GPL-3.0-or-later
#include "output_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool OutputIsFileToPlay(const std::string& output, const std::string& file) {
  // O_NONBLOCK: a FIFO given as the file must not hold the check up; the engine refuses it.
  const int source = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (source < 0) return false;
  struct stat played {};
  // Only a regular file can be played, so only one can be overwritten by playing it.
  const bool opened = fstat(source, &played) == 0 && S_ISREG(played.st_mode);
  close(source);
  struct stat target {};
  return opened && stat(output.c_str(), &target) == 0 && target.st_dev == played.st_dev &&
         target.st_ino == played.st_ino;
}
