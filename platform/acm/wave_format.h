// What a WAVE format says about its samples, for the conversion service and its drivers.
// Every function reads `format` and the format->cbSize extra bytes that follow it.
#pragma once

#include <cstdint>

#include "platform/mmtypes.h"

constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;
constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

// The extension that follows a WAVE_FORMAT_EXTENSIBLE header (its first 22 extra bytes).
struct WaveFormatExtension {
  uint16_t validBitsPerSample;
  uint32_t channelMask;
  uint8_t subFormat[16];
};
constexpr uint16_t kWaveFormatExtensionSize = 22;

// True, filling *extension, when `format` is WAVE_FORMAT_EXTENSIBLE with its whole extension.
bool ReadExtension(const WAVEFORMATEX* format, WaveFormatExtension* extension);

// The tag that says how the samples are coded: the format tag itself, or for
// WAVE_FORMAT_EXTENSIBLE the tag that its sub-format GUID carries (the GUIDs of the
// KSDATAFORMAT_SUBTYPE family are a tag followed by a fixed tail). 0 when an extensible format
// has no extension or a sub-format outside that family.
uint16_t SampleCodingTag(const WAVEFORMATEX* format);

// Bytes in one sample's container (block alignment / channels) for PCM and float; 0 when the
// block alignment is not a whole number of containers.
uint32_t ContainerBytes(const WAVEFORMATEX* format);
