// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/scratch_dir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

ScratchDir::ScratchDir() {
  const char* tmp = getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/rtplayer-test-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = name.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string ScratchDir::path(std::string_view name) const {
  return root_ + "/" + std::string(name);
}
