// SPDX-License-Identifier: GPL-3.0-or-later
// Records, result codes and constants shared by the multimedia services of this layer.
// They keep the names and meanings of the original platform's multimedia API, with
// fixed-width types; pointers are native (64-bit) and sizes passed are sizeof our records.
#pragma once

#include <cstdint>

using MMRESULT = uint32_t;
using FOURCC = uint32_t;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;

constexpr uint16_t WAVE_FORMAT_PCM = 0x0001;
constexpr uint16_t WAVE_FORMAT_IEEE_FLOAT = 0x0003;

// Four-character codes are packed little-endian: "WAVE" is 0x45564157.
constexpr FOURCC MakeFourCC(char a, char b, char c, char d) {
  return static_cast<FOURCC>(static_cast<uint8_t>(a)) |
         static_cast<FOURCC>(static_cast<uint8_t>(b)) << 8 |
         static_cast<FOURCC>(static_cast<uint8_t>(c)) << 16 |
         static_cast<FOURCC>(static_cast<uint8_t>(d)) << 24;
}

// The RIFF/WAVE `fmt ` chunk layout: 18 bytes, packed, little-endian, then cbSize extra bytes.
#pragma pack(push, 1)
struct WAVEFORMATEX {
  uint16_t wFormatTag;
  uint16_t nChannels;
  uint32_t nSamplesPerSec;
  uint32_t nAvgBytesPerSec;
  uint16_t nBlockAlign;
  uint16_t wBitsPerSample;
  uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
