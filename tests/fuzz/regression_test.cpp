// SPDX-License-Identifier: GPL-3.0-or-later
// Replays through the fuzz targets' bodies every input they once failed on
// (tests/fuzz/regressions/TARGET/) and every fixture, so that a mended fault stays mended and
// the targets' own checks hold on real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/harness.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<fs::path> KeptInputs(const std::string& target) {
  std::vector<fs::path> inputs;
  const fs::path regressions = fs::path(RTPLAYER_SOURCE_DIR) / "tests/fuzz/regressions" / target;
  if (fs::is_directory(regressions)) {
    for (const auto& entry : fs::directory_iterator(regressions)) inputs.push_back(entry.path());
  }
  for (const auto& entry : fs::recursive_directory_iterator(RTPLAYER_FIXTURES)) {
    if (entry.path().extension() == ".wav") inputs.push_back(entry.path());
  }
  return inputs;
}

void Replay(const std::string& target, const char* (*body)(const uint8_t*, size_t)) {
  const std::vector<fs::path> inputs = KeptInputs(target);
  ASSERT_FALSE(inputs.empty());
  for (const fs::path& input : inputs) {
    const std::vector<uint8_t> bytes = ReadAll(input);
    if (const char* problem = body(bytes.data(), bytes.size())) {
      ADD_FAILURE() << input << ": " << problem;
    }
  }
}

TEST(FuzzRegressionTest, WaveReaderHoldsOnEveryKeptInput) {
  Replay("wave_reader", &FuzzWaveReader);
}

TEST(FuzzRegressionTest, DecompressionHoldsOnEveryKeptInput) {
  Replay("decompression", &FuzzDecompression);
}

}  // namespace
