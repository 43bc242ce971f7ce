// SPDX-License-Identifier: GPL-3.0-or-later
#include "replacement_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>

namespace {

constexpr int kMaxLinks = 40;  // as the kernel follows them
constexpr int kNameAttempts = 100;
constexpr size_t kRandomChars = 6;

// Where `path` leads once every symbolic link on its last component is followed, whether or
// not the file there exists yet; false with errno on a loop or a link that cannot be read.
bool FollowLinks(std::string path, std::string* resolved) {
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
      *resolved = path;
      return true;
    }
    char link[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), link, sizeof link);
    if (length < 0) return false;
    if (static_cast<size_t>(length) == sizeof link) {
      errno = ENAMETOOLONG;
      return false;
    }
    std::string next(link, static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    if (next[0] != '/' && slash != std::string::npos) next = path.substr(0, slash + 1) + next;
    path = std::move(next);
  }
  errno = ELOOP;
  return false;
}

// A hidden name beside `target` that no file has yet: ".TARGET.XXXXXX", the target's name cut
// (at a character boundary) so the whole fits in a file name.
std::string NewName(const std::string& target) {
  constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  size_t keep = std::min(target.size(), size_t{NAME_MAX} - 2 - kRandomChars);
  while (keep > 0 && keep < target.size() && (static_cast<uint8_t>(target[keep]) & 0xC0) == 0x80) {
    --keep;
  }
  // Random where the kernel has entropy to give, else unique to this process's calls;
  // O_EXCL guards against the rest.
  static std::atomic<uint64_t> calls{0};
  uint64_t bits = 0;
  if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    bits = uint64_t{static_cast<uint32_t>(getpid())} << 32 ^ calls.fetch_add(0x9E3779B97F4A7C15u);
  }
  // Appended, not "." + ...: GCC 12 at -O3 warns falsely (-Wrestrict) on that operator+.
  std::string name = ".";
  name.append(target, 0, keep);
  name += '.';
  for (size_t i = 0; i < kRandomChars; ++i, bits /= sizeof kChars - 1) {
    name += kChars[bits % (sizeof kChars - 1)];
  }
  return name;
}

}  // namespace

bool ReplacementFile::Open(const char* target) {
  Discard();
  std::string path;
  if (!FollowLinks(target, &path)) return false;
  struct stat status {};
  if (stat(path.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) {
      // A device or a FIFO is no file to replace: it takes the bytes as they come.
      file_ = UniqueFd(open(target, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      return file_.get() >= 0;
    }
    // A file the user may not write is not replaced behind their back.
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) return false;
  }

  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  target_ = slash == std::string::npos ? path : path.substr(slash + 1);
  if (target_.empty() || target_ == "." || target_ == "..") {
    errno = EISDIR;
    return false;
  }
  folder_ = UniqueFd(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (folder_.get() < 0) return false;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    name_ = NewName(target_);
    file_ =
        UniqueFd(openat(folder_.get(), name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (file_.get() >= 0) return true;
    if (errno != EEXIST) break;
  }
  const int error = errno;
  name_.clear();
  folder_.close();
  errno = error;
  return false;
}

bool ReplacementFile::Keep() {
  if (folder_.get() < 0) return file_.close();
  const bool kept =
      file_.close() && renameat(folder_.get(), name_.c_str(), folder_.get(), target_.c_str()) == 0;
  const int error = errno;  // the failure's reason, not the clean-up's
  if (kept) name_.clear();
  Discard();
  errno = error;
  return kept;
}

void ReplacementFile::Discard() {
  file_.close();
  if (folder_.get() >= 0 && !name_.empty()) unlinkat(folder_.get(), name_.c_str(), 0);
  name_.clear();
  folder_.close();
}
