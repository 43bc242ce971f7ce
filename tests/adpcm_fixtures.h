// SPDX-License-Identifier: GPL-3.0-or-later
// The ADPCM fixtures of tests/fixtures (made by scripts/fixtures/adpcm.sh): a wave file's
// format and data bytes, read with a tiny RIFF walker, and the PCM that sox decodes from it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/mmtypes.h"

namespace adpcm_fixtures {

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string PathOf(const std::string& name, const char* suffix) {
  return std::string(RTPLAYER_FIXTURES) + "/adpcm-" + name + suffix;
}

struct WaveFixture {
  std::vector<uint8_t> format;  // the fmt chunk, at least 18 bytes
  std::vector<uint8_t> data;    // the data chunk as far as the file holds it
  std::vector<uint8_t> reference;

  const WAVEFORMATEX* wave() const { return reinterpret_cast<const WAVEFORMATEX*>(format.data()); }
  uint16_t blockAlign() const { return wave()->nBlockAlign; }
  // The 16-bit PCM format the drivers decode to.
  WAVEFORMATEX pcm() const {
    const WAVEFORMATEX* w = wave();
    const uint16_t frame = static_cast<uint16_t>(2 * w->nChannels);
    return {
        WAVE_FORMAT_PCM, w->nChannels, w->nSamplesPerSec, w->nSamplesPerSec * frame, frame, 16, 0};
  }
};

inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

// An empty fixture when the file is missing or not RIFF/WAVE with fmt and data chunks.
inline WaveFixture LoadFixture(const std::string& name) {
  WaveFixture fixture;
  const std::vector<uint8_t> file = ReadBytes(PathOf(name, ".wav"));
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
      std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
    return {};
  }
  size_t at = 12;
  while (file.size() - at >= 8 && fixture.data.empty()) {
    const uint8_t* chunk = file.data() + at;
    const size_t held = file.size() - at - 8;
    const size_t size = std::min<size_t>(ReadLe32(chunk + 4), held);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      fixture.format.assign(chunk + 8, chunk + 8 + size);
      if (fixture.format.size() < sizeof(WAVEFORMATEX)) {
        fixture.format.resize(sizeof(WAVEFORMATEX), 0);
      }
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      fixture.data.assign(chunk + 8, chunk + 8 + size);
    }
    at += 8 + size + (size & 1);
  }
  if (fixture.format.empty() || fixture.data.empty()) return {};
  fixture.reference = ReadBytes(PathOf(name, ".raw"));
  return fixture;
}

}  // namespace adpcm_fixtures
