// SPDX-License-Identifier: GPL-3.0-or-later
// Builds RIFF/WAVE files byte by byte for tests, malformed ones included: every size a header
// declares can be set apart from the bytes that follow it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mmtypes.h"

using Bytes = std::vector<uint8_t>;

void AppendLe16(Bytes& out, uint16_t value);
void AppendLe32(Bytes& out, uint32_t value);
void AppendLe64(Bytes& out, uint64_t value);
void Append(Bytes& out, const Bytes& more);

// `count` bytes that repeat only every 251 bytes, so a byte read from the wrong place shows.
Bytes Pattern(size_t count, uint8_t seed = 0);

// A chunk: four-character id, the contents' size, the contents, a pad byte when the size is odd.
Bytes Chunk(std::string_view id, const Bytes& contents);
// A chunk header declaring `declaredSize`, then `contents` as given, with no pad byte.
Bytes ChunkClaiming(std::string_view id, uint32_t declaredSize, const Bytes& contents);
// "RIFF", the size of the form type and the chunks, the form type, the chunks.
Bytes RiffForm(std::string_view formType, const std::vector<Bytes>& chunks);
// The same with a declared size of the caller's choice.
Bytes RiffFormClaiming(std::string_view formType, uint32_t declaredSize,
                       const std::vector<Bytes>& chunks);

// A `ds64` chunk: the 64-bit RIFF size, data size and sample count, then a table of other large
// chunks' sizes.
struct LargeChunkSize {
  std::string_view id;
  uint64_t size;
};
Bytes Ds64Chunk(uint64_t riffSize, uint64_t dataSize, uint64_t sampleCount,
                const std::vector<LargeChunkSize>& table = {});
// `id` ("RF64" or "BW64") declaring 0xFFFFFFFF bytes, the form type, the chunks as given (the
// ds64 chunk among them where the caller puts it).
Bytes LargeForm(std::string_view id, std::string_view formType, const std::vector<Bytes>& chunks);

WAVEFORMATEX PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits);
// The `fmt ` chunk's contents: the 18 bytes of `format` (its cbSize as given), then `extra`.
Bytes FormatBytes(const WAVEFORMATEX& format, const Bytes& extra = {});
// A well-formed file: RIFF/WAVE with `fmt ` (18 bytes plus `extra`, cbSize set to match) and
// `data` holding `data`.
Bytes WaveFile(const WAVEFORMATEX& format, const Bytes& data, const Bytes& extra = {});

// Writes `bytes` to `path`, replacing it; false on failure.
bool WriteFileBytes(const std::string& path, const Bytes& bytes);
