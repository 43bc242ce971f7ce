// SPDX-License-Identifier: GPL-3.0-or-later
// The codec fixtures of tests/fixtures/codecs (made by scripts/fixtures/codecs.sh): NAME.wav,
// the PCM another decoder made of it (NAME.raw), and NAME-list.wav, the same file with a LIST
// chunk after the data chunk.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/mmtypes.h"
#include "support/wav_reading.h"

inline std::string CodecFixturePath(const std::string& file) {
  return std::string(RTPLAYER_FIXTURES) + "/codecs/" + file;
}

// Every fixture's name, without the LIST copies, sorted.
inline std::vector<std::string> CodecFixtureNames() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(CodecFixturePath(""))) {
    const std::string file = entry.path().filename().string();
    if (file.ends_with(".wav") && !file.ends_with("-list.wav")) {
      names.push_back(file.substr(0, file.size() - 4));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A fixture's name as a test's name: letters and digits only.
inline std::string CodecFixtureTestName(const testing::TestParamInfo<std::string>& param) {
  std::string name = param.param;
  std::replace_if(
      name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
  return name;
}

struct CodecFixture {
  std::vector<uint8_t> format;  // the fmt chunk, at least 18 bytes, then its extra bytes
  std::vector<uint8_t> data;    // the data chunk's contents
  std::vector<uint8_t> reference;

  const WAVEFORMATEX* wave() const { return reinterpret_cast<const WAVEFORMATEX*>(format.data()); }
};

// Reads NAME.wav's fmt and data chunks (a plain walk: the fixtures are well formed).
inline CodecFixture LoadCodecFixture(const std::string& name) {
  CodecFixture fixture;
  const std::vector<uint8_t> file = ReadFileBytes(CodecFixturePath(name + ".wav"));
  for (size_t at = 12; at + 8 <= file.size();) {
    uint32_t size;
    std::memcpy(&size, &file[at + 4], 4);
    const auto body = file.begin() + static_cast<ptrdiff_t>(at + 8);
    const auto length = static_cast<ptrdiff_t>(std::min<size_t>(size, file.size() - at - 8));
    if (std::memcmp(&file[at], "fmt ", 4) == 0) fixture.format.assign(body, body + length);
    if (std::memcmp(&file[at], "data", 4) == 0) fixture.data.assign(body, body + length);
    at += 8 + size + size % 2;
  }
  fixture.format.resize(std::max(fixture.format.size(), sizeof(WAVEFORMATEX)));
  fixture.format.resize(sizeof(WAVEFORMATEX) + fixture.wave()->cbSize);
  const std::string base = name.ends_with("-list") ? name.substr(0, name.size() - 5) : name;
  fixture.reference = ReadFileBytes(CodecFixturePath(base + ".raw"));
  return fixture;
}
