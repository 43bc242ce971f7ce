// SPDX-License-Identifier: GPL-3.0-or-later
#include "output_names.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr unsigned kMaxSuffix = 1000000;

// NAME-n.EXT for NAME.EXT; a name whose only dot leads it (".wav") has no extension.
std::string Numbered(const std::string& base, unsigned n) {
  size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot == 0) dot = base.size();
  std::string name = base.substr(0, dot);
  name += '-';
  name += std::to_string(n);
  return name + base.substr(dot);
}

}  // namespace

bool TakeOutputName(const std::string& folder, const std::string& file, OutputName* name) {
  const size_t slash = file.rfind('/');
  const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
  const std::string prefix = folder.back() == '/' ? folder : folder + "/";
  for (unsigned n = 0; n < kMaxSuffix; ++n) {
    name->path = prefix + (n == 0 ? base : Numbered(base, n));
    // O_EXCL also refuses a symbolic link, even one that leads nowhere.
    const int fd = open(name->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      struct stat status {};
      fstat(fd, &status);
      name->device = status.st_dev;
      name->inode = status.st_ino;
      close(fd);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void ReleaseOutputName(const OutputName& name) {
  if (name.inode == 0) return;
  struct stat status {};
  if (lstat(name.path.c_str(), &status) == 0 && status.st_dev == name.device &&
      status.st_ino == name.inode && status.st_size == 0) {
    unlink(name.path.c_str());
  }
}
