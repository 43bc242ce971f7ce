// SPDX-License-Identifier: GPL-3.0-or-later
// The records and constants of wave output that its service, its buffer queue and its
// backends share: the device handle, the buffer header and its flags, the device messages.
#pragma once

#include <cstdint>

#include "platform/mmtypes.h"

struct WaveOutDevice;
using HWAVEOUT = WaveOutDevice*;

constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFFu;
constexpr uint32_t CALLBACK_THREAD = 0x00020000;

constexpr uint32_t MM_WOM_OPEN = 0x3BB;
constexpr uint32_t MM_WOM_CLOSE = 0x3BC;
constexpr uint32_t MM_WOM_DONE = 0x3BD;

constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;

constexpr uint32_t WHDR_DONE = 0x00000001;
constexpr uint32_t WHDR_PREPARED = 0x00000002;
constexpr uint32_t WHDR_INQUEUE = 0x00000010;

struct WAVEHDR {
  uint8_t* lpData;
  uint32_t dwBufferLength;
  uint32_t dwBytesRecorded;
  uintptr_t dwUser;
  uint32_t dwFlags;
  uint32_t dwLoops;
  WAVEHDR* lpNext;     // the device's
  uintptr_t reserved;  // the device's
};
