// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/wav_reading.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

uint32_t Le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::optional<WavContents> ReadWav(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return std::nullopt;
  }
  WavContents contents;
  bool haveFormat = false;
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const uint32_t size = Le32(bytes.data() + at + 4);
    const size_t start = at + 8;
    if (size > bytes.size() - start) return std::nullopt;
    if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0 && size >= 16) {
      std::memcpy(&contents.format, bytes.data() + start, size < 18 ? size : 18);
      haveFormat = true;
    } else if (std::memcmp(bytes.data() + at, "data", 4) == 0 && haveFormat) {
      contents.data.assign(bytes.begin() + start, bytes.begin() + start + size);
      return contents;
    }
    at = start + size + (size & 1);
  }
  return std::nullopt;
}
