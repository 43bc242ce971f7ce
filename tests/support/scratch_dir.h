// SPDX-License-Identifier: GPL-3.0-or-later
// A private directory for the files one test writes; removed with everything in it.
#pragma once

#include <string>
#include <string_view>

class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& root() const { return root_; }
  // root/name (the file is not created).
  std::string path(std::string_view name) const;

 private:
  std::string root_;
};
