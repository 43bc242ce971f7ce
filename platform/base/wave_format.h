// SPDX-License-Identifier: GPL-3.0-or-later
// What a WAVE format says about its samples, for the conversion service and its drivers.
// Every function given a format reads it and the format->cbSize extra bytes that follow it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/mmtypes.h"

constexpr uint16_t WAVE_FORMAT_EXTENSIBLE = 0xFFFE;
constexpr uint16_t WAVE_FORMAT_UNKNOWN = 0x0000;

// rtplayer's own tags for the samples of a RIFX (big-endian) file: PCM and IEEE float as those
// tags define them, each sample stored big-endian. The file service gives them in place of
// WAVE_FORMAT_PCM and WAVE_FORMAT_IEEE_FLOAT (in the tag, or in an extensible format's
// sub-format GUID); no registered format, and none that FFmpeg knows, uses them.
constexpr uint16_t kBigEndianPcmTag = 0xBE01;
constexpr uint16_t kBigEndianFloatTag = 0xBE03;

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

// The little-endian coding of a sample coding tag: WAVE_FORMAT_PCM for kBigEndianPcmTag,
// WAVE_FORMAT_IEEE_FLOAT for kBigEndianFloatTag, any other tag itself.
uint16_t LittleEndianCoding(uint16_t tag);

// Bytes in one sample's container (block alignment / channels) for PCM and float; 0 when the
// block alignment is not a whole number of containers.
uint32_t ContainerBytes(const WAVEFORMATEX* format);

// Turns the first `count` bytes of a RIFX file's `fmt ` chunk into what a RIFF file's chunk
// holds, in place: each field of WAVEFORMATEX, and of the extension when the format is
// WAVE_FORMAT_EXTENSIBLE, in the platform's byte order (fields the bytes hold only part of stay
// as they are). The sub-format GUID is read as sox writes it (the tag big-endian, the rest as
// in RIFF) or as its three leading fields big-endian (libsndfile). Then the coding: PCM and IEEE
// float become kBigEndianPcmTag and kBigEndianFloatTag, every other coding WAVE_FORMAT_UNKNOWN,
// which no driver decodes: a compressed format's own fields have no big-endian definition.
void WaveFormatFromBigEndian(uint8_t* bytes, size_t count);
