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

OutputNames::OutputNames(const std::string& folder)
    : prefix_(folder.back() == '/' ? folder : folder + "/") {}

std::string OutputNames::Path(const std::string& base, unsigned suffix) const {
  return prefix_ + (suffix == 0 ? base : Numbered(base, suffix));
}

OutputName OutputNames::Choose(const std::string& file) {
  const size_t slash = file.rfind('/');
  OutputName name;
  name.base = slash == std::string::npos ? file : file.substr(slash + 1);
  for (; name.suffix < kMaxSuffix; ++name.suffix) {
    name.path = Path(name.base, name.suffix);
    struct stat status {};
    // Where the folder cannot be looked into, the name is as good as any: Take says why.
    if (chosen_.count(name.path) == 0 && lstat(name.path.c_str(), &status) != 0) break;
  }
  chosen_.insert(name.path);
  return name;
}

bool OutputNames::Take(OutputName* name) {
  for (unsigned n = name->suffix; n < kMaxSuffix; ++n) {
    const std::string path = Path(name->base, n);
    if (n != name->suffix && chosen_.count(path) != 0) continue;
    name->path = path;
    // O_EXCL also refuses a symbolic link, even one that leads nowhere.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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
