#include "wave_format.h"

#include <cstring>

namespace {

// KSDATAFORMAT_SUBTYPE_PCM without its first four bytes, which hold the tag.
constexpr uint8_t kSubtypeTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                      0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

const uint8_t* ExtraBytes(const WAVEFORMATEX* format) {
  return reinterpret_cast<const uint8_t*>(format) + sizeof(WAVEFORMATEX);
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
