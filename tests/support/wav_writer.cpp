// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/wav_writer.h"

#include <algorithm>
#include <fstream>

void AppendLe16(Bytes& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void AppendLe32(Bytes& out, uint32_t value) {
  AppendLe16(out, static_cast<uint16_t>(value));
  AppendLe16(out, static_cast<uint16_t>(value >> 16));
}

void AppendLe64(Bytes& out, uint64_t value) {
  AppendLe32(out, static_cast<uint32_t>(value));
  AppendLe32(out, static_cast<uint32_t>(value >> 32));
}

void Append(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
}

Bytes Pattern(size_t count, uint8_t seed) {
  Bytes out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>((i + seed) % 251);
  return out;
}

Bytes ChunkClaiming(std::string_view id, uint32_t declaredSize, const Bytes& contents) {
  Bytes out(id.begin(), id.end());
  out.resize(4, ' ');
  AppendLe32(out, declaredSize);
  Append(out, contents);
  return out;
}

Bytes Chunk(std::string_view id, const Bytes& contents) {
  Bytes out = ChunkClaiming(id, static_cast<uint32_t>(contents.size()), contents);
  if (contents.size() % 2 != 0) out.push_back(0);
  return out;
}

Bytes RiffFormClaiming(std::string_view formType, uint32_t declaredSize,
                       const std::vector<Bytes>& chunks) {
  Bytes body(formType.begin(), formType.end());
  body.resize(4, ' ');
  for (const Bytes& chunk : chunks) Append(body, chunk);
  return ChunkClaiming("RIFF", declaredSize, body);
}

Bytes RiffForm(std::string_view formType, const std::vector<Bytes>& chunks) {
  size_t size = 4;
  for (const Bytes& chunk : chunks) size += chunk.size();
  return RiffFormClaiming(formType, static_cast<uint32_t>(size), chunks);
}

Bytes Ds64Chunk(uint64_t riffSize, uint64_t dataSize, uint64_t sampleCount,
                const std::vector<LargeChunkSize>& table) {
  Bytes contents;
  AppendLe64(contents, riffSize);
  AppendLe64(contents, dataSize);
  AppendLe64(contents, sampleCount);
  AppendLe32(contents, static_cast<uint32_t>(table.size()));
  for (const LargeChunkSize& entry : table) {
    Append(contents, Bytes(entry.id.begin(), entry.id.end()));
    AppendLe64(contents, entry.size);
  }
  return Chunk("ds64", contents);
}

Bytes LargeForm(std::string_view id, std::string_view formType, const std::vector<Bytes>& chunks) {
  Bytes form = RiffFormClaiming(formType, 0xFFFFFFFF, chunks);
  std::copy(id.begin(), id.end(), form.begin());
  return form;
}

WAVEFORMATEX PcmFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
  const auto block = static_cast<uint16_t>(channels * ((bits + 7) / 8));
  return {WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits, 0};
}

Bytes FormatBytes(const WAVEFORMATEX& format, const Bytes& extra) {
  Bytes out;
  AppendLe16(out, format.wFormatTag);
  AppendLe16(out, format.nChannels);
  AppendLe32(out, format.nSamplesPerSec);
  AppendLe32(out, format.nAvgBytesPerSec);
  AppendLe16(out, format.nBlockAlign);
  AppendLe16(out, format.wBitsPerSample);
  AppendLe16(out, format.cbSize);
  Append(out, extra);
  return out;
}

Bytes WaveFile(const WAVEFORMATEX& format, const Bytes& data, const Bytes& extra) {
  WAVEFORMATEX withExtra = format;
  withExtra.cbSize = static_cast<uint16_t>(extra.size());
  return RiffForm("WAVE", {Chunk("fmt ", FormatBytes(withExtra, extra)), Chunk("data", data)});
}

bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}
