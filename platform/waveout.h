// Wave output devices over SDL2 audio, plus a file device for exact output.
//
// Calls for one open device may come from two threads at once (the playback thread
// writes, unprepares; the front end's thread resets). Every buffer the device is done
// with, or that a reset returns, is posted to the callback thread as MM_WOM_DONE with the
// WAVEHDR's address in lParam. A buffer is done when its last byte has gone to the device.
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
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr uint32_t WHDR_DONE = 0x00000001;
constexpr uint32_t WHDR_PREPARED = 0x00000002;
constexpr uint32_t WHDR_INQUEUE = 0x00000010;

constexpr uint32_t MAXPNAMELEN = 32;

struct WAVEHDR {
  uint8_t* lpData;
  uint32_t dwBufferLength;
  uint32_t dwBytesRecorded;
  uintptr_t dwUser;
  uint32_t dwFlags;
  uint32_t dwLoops;
  WAVEHDR* lpNext;    // the device's
  uintptr_t reserved; // the device's
};

struct WAVEOUTCAPSA {
  uint16_t wMid;
  uint16_t wPid;
  uint32_t vDriverVersion;
  char szPname[MAXPNAMELEN];  // zero-terminated display name, at most 31 bytes
  uint32_t dwFormats;
  uint16_t wChannels;
  uint16_t wReserved1;
  uint32_t dwSupport;
};

// Number of output devices (SDL's output devices); the default device is not counted.
uint32_t waveOutGetNumDevs();

// Capabilities of device `id` (0 .. n-1, or WAVE_MAPPER for the default device, whose name
// is the platform's own name for it). cb is sizeof(WAVEOUTCAPSA).
MMRESULT waveOutGetDevCapsA(uint32_t id, WAVEOUTCAPSA* caps, uint32_t cb);

// Opens device `id` for PCM `format`, posting notifications to thread `callbackThreadId`
// (flags CALLBACK_THREAD). A format the device cannot take fails with WAVERR_BADFORMAT and
// leaves *device null. When a file device is selected (waveOutSelectFileDevice) every id opens it.
MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t id, const WAVEFORMATEX* format,
                     uint32_t callbackThreadId, uintptr_t instance, uint32_t flags);

// Buffers written from now on are queued, not played, until the next reset.
MMRESULT waveOutPause(HWAVEOUT device);
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t cb);
// Queues a prepared buffer; a buffer that came back may be written again without being
// prepared anew, with any dwBufferLength up to its first one.
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, uint32_t cb);
// Stops the sound; every buffer queued when the reset begins comes back at once as
// MM_WOM_DONE, in queue order, exactly once; a buffer another thread writes meanwhile is
// played or returned, never lost. Afterwards the device is not paused.
MMRESULT waveOutReset(HWAVEOUT device);
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t cb);
// Closes the device; fails with WAVERR_STILLPLAYING while buffers are queued.
MMRESULT waveOutClose(HWAVEOUT device);

// Makes every later waveOutOpen open the file device, which writes the PCM it is given to a
// WAV file at `path` and hands each buffer back as soon as it is written; null selects the
// real devices again. Called before any device is open.
void waveOutSelectFileDevice(const char* path);
