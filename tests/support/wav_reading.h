// SPDX-License-Identifier: GPL-3.0-or-later
// Reads what the file device wrote: the format and the data chunk of a canonical WAV file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/mmtypes.h"

struct WavContents {
  WAVEFORMATEX format{};
  std::vector<uint8_t> data;
};

// The first `fmt ` and `data` chunks of `path`; nullopt when it is no RIFF/WAVE file or the
// data chunk claims more than the file holds.
std::optional<WavContents> ReadWav(const std::string& path);

// The whole file, or an empty vector when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
