// SPDX-License-Identifier: GPL-3.0-or-later
#include "collect_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Every matching file under `folder` (not sorted), and every folder under it that cannot be
// read. Iterative, so a deep tree needs no deep stack.
void Search(const std::string& folder, std::vector<BatchEntry>* found) {
  std::vector<std::string> pending{folder};
  while (!pending.empty()) {
    const std::string path = std::move(pending.back());
    pending.pop_back();
    DIR* listing = opendir(path.c_str());
    if (listing == nullptr) {
      found->push_back({path, 0, errno});
      continue;
    }
    const std::string prefix = path.back() == '/' ? path : path + "/";
    while (const dirent* entry = readdir(listing)) {
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      struct stat own {};
      if (fstatat(dirfd(listing), name, &own, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(own.st_mode)) {
        pending.push_back(prefix + name);
        continue;
      }
      if (!IsWaveFileName(name)) continue;
      struct stat target = own;
      if (S_ISLNK(own.st_mode) && fstatat(dirfd(listing), name, &target, 0) != 0) {
        // A link that leads nowhere is a file that cannot be opened: its message says so.
        if (errno == ENOENT) found->push_back({prefix + name, 0, 0});
        continue;
      }
      if (S_ISREG(target.st_mode)) {
        found->push_back({prefix + name, static_cast<uint64_t>(target.st_size), 0});
      }
    }
    closedir(listing);
  }
}

}  // namespace

bool IsWaveFileName(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return false;
  const char* extension = name.c_str() + dot + 1;
  for (const char* wanted : {"wav", "wave", "bwf", "rf64"}) {
    if (strcasecmp(extension, wanted) == 0) return true;
  }
  return false;
}

std::vector<BatchEntry> CollectFiles(const std::vector<std::string>& arguments) {
  std::vector<BatchEntry> entries;
  for (const std::string& argument : arguments) {
    struct stat status {};
    const bool exists = stat(argument.c_str(), &status) == 0;
    if (!exists || !S_ISDIR(status.st_mode)) {
      entries.push_back({argument, exists ? static_cast<uint64_t>(status.st_size) : 0, 0});
      continue;
    }
    std::vector<BatchEntry> found;
    Search(argument, &found);
    std::sort(found.begin(), found.end(),
              [](const BatchEntry& a, const BatchEntry& b) { return a.path < b.path; });
    entries.insert(entries.end(), std::make_move_iterator(found.begin()),
                   std::make_move_iterator(found.end()));
  }
  return entries;
}
