// SPDX-License-Identifier: GPL-3.0-or-later
#include "wave_format.h"

#include <algorithm>
#include <cstring>

namespace {

// KSDATAFORMAT_SUBTYPE_PCM without its first four bytes, which hold the tag.
constexpr uint8_t kSubtypeTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                      0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

const uint8_t* ExtraBytes(const WAVEFORMATEX* format) {
  return reinterpret_cast<const uint8_t*>(format) + sizeof(WAVEFORMATEX);
}

// Reverses the `width` bytes at `at`, when all of them lie within the first `count`.
void Reverse(uint8_t* bytes, size_t count, size_t at, size_t width) {
  if (at + width <= count) std::reverse(bytes + at, bytes + at + width);
}

// Where the fields of WAVEFORMATEX and of the extension after it lie, and how wide they are.
struct Field {
  size_t at;
  size_t width;
};
constexpr Field kHeaderFields[] = {{0, 2}, {2, 2}, {4, 4}, {8, 4}, {12, 2}, {14, 2}, {16, 2}};
constexpr Field kExtensionFields[] = {{18, 2}, {20, 4}};
constexpr size_t kSubFormatAt = 24;
constexpr size_t kExtensibleBytes = sizeof(WAVEFORMATEX) + kWaveFormatExtensionSize;

uint16_t Le16At(const uint8_t* bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

// The tag that says the same samples are stored big-endian.
uint16_t BigEndianCoding(uint16_t tag) {
  return tag == WAVE_FORMAT_PCM          ? kBigEndianPcmTag
         : tag == WAVE_FORMAT_IEEE_FLOAT ? kBigEndianFloatTag
                                         : WAVE_FORMAT_UNKNOWN;
}

}  // namespace

bool ReadExtension(const WAVEFORMATEX* format, WaveFormatExtension* extension) {
  if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE || format->cbSize < kWaveFormatExtensionSize) {
    return false;
  }
  const uint8_t* extra = ExtraBytes(format);
  std::memcpy(&extension->validBitsPerSample, extra, 2);
  std::memcpy(&extension->channelMask, extra + 2, 4);
  std::memcpy(extension->subFormat, extra + 6, 16);
  return true;
}

uint16_t SampleCodingTag(const WAVEFORMATEX* format) {
  if (format->wFormatTag != WAVE_FORMAT_EXTENSIBLE) return format->wFormatTag;
  WaveFormatExtension extension;
  if (!ReadExtension(format, &extension)) return 0;
  if (std::memcmp(extension.subFormat + 4, kSubtypeTail, sizeof kSubtypeTail) != 0) return 0;
  if (extension.subFormat[2] != 0 || extension.subFormat[3] != 0) return 0;
  const auto tag = static_cast<uint16_t>(extension.subFormat[0] | extension.subFormat[1] << 8);
  return tag == WAVE_FORMAT_EXTENSIBLE ? 0 : tag;
}

uint32_t ContainerBytes(const WAVEFORMATEX* format) {
  if (format->nChannels == 0 || format->nBlockAlign % format->nChannels != 0) return 0;
  return format->nBlockAlign / format->nChannels;
}

uint16_t LittleEndianCoding(uint16_t tag) {
  return tag == kBigEndianPcmTag     ? WAVE_FORMAT_PCM
         : tag == kBigEndianFloatTag ? WAVE_FORMAT_IEEE_FLOAT
                                     : tag;
}

void WaveFormatFromBigEndian(uint8_t* bytes, size_t count) {
  if (count < 2) return;
  for (const Field& field : kHeaderFields) Reverse(bytes, count, field.at, field.width);
  if (Le16At(bytes, 0) != WAVE_FORMAT_EXTENSIBLE) {
    const uint16_t coding = BigEndianCoding(Le16At(bytes, 0));
    bytes[0] = static_cast<uint8_t>(coding);
    bytes[1] = static_cast<uint8_t>(coding >> 8);
    return;
  }
  for (const Field& field : kExtensionFields) Reverse(bytes, count, field.at, field.width);
  if (count < kExtensibleBytes) return;
  uint8_t* guid = bytes + kSubFormatAt;
  if (guid[6] == 0x00 && guid[7] == 0x10) {
    // libsndfile: the GUID's 32-bit and two 16-bit fields, each big-endian.
    std::reverse(guid, guid + 4);
    std::reverse(guid + 4, guid + 6);
    std::reverse(guid + 6, guid + 8);
  } else {
    // sox: the tag as a big-endian 16-bit value, the other 14 bytes as in RIFF.
    std::reverse(guid, guid + 2);
  }
  const uint16_t coding = BigEndianCoding(SampleCodingTag(reinterpret_cast<WAVEFORMATEX*>(bytes)));
  guid[0] = static_cast<uint8_t>(coding);
  guid[1] = static_cast<uint8_t>(coding >> 8);
}
