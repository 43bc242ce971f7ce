// For authors of wave output backends (the SDL device, the file device).
//
// The buffer queue belongs to waveout.cpp and is the same for every backend: it keeps the
// written buffers in order, honours pause and reset, and returns each buffer to the callback
// thread when its last byte has been pulled. A backend only opens its output, pulls bytes
// from the queue when its output wants them, and closes. Its state lives behind the `priv`
// pointer that open returns and every other entry receives; a backend keeps no per-device
// state anywhere else.
#pragma once

#include <cstdint>
#include <string>

#include "platform/waveout.h"

struct WaveOutQueue;

struct WaveOutTarget {
  uint32_t id;       // the device id asked for; WAVE_MAPPER for the default device
  const char* path;  // the output file of the file device; null for the others
};

struct WaveOutBackend {
  // Opens the output for `format`, which has been checked: WAVE_FORMAT_PCM, 1 channel or more,
  // 8, 16 or 32 bits, with consistent block alignment and byte rate, a rate up to INT32_MAX.
  // Stores the backend's state in *priv. Returns MMSYSERR_NOERROR, or the error to report
  // (WAVERR_BADFORMAT for a format this output refuses, such as more channels than it takes).
  // No pull happens before start.
  MMRESULT(*open)
  (const WaveOutTarget& target, const WAVEFORMATEX& format, WaveOutQueue* queue, void** priv);
  // Stops pulling for good and releases everything; no pull is running when it returns.
  // Returns an error when output already taken could not be completed and no refused
  // waveOutWrite has said so already.
  MMRESULT (*close)(void* priv);
  // Begin, or resume, pulling: after open, and when a reset ends a pause.
  void (*start)(void* priv);
  // Optional. The queue gives nothing while paused; an output that runs on its own clock may
  // stop asking.
  void (*pause)(void* priv);
  // Optional. A buffer has just been written: an output that pulls on demand pulls now.
  // Called on the writing thread, never with the queue's lock held.
  void (*kick)(void* priv);
};

// Copies up to `bytes` queued bytes into `out`, in order, and returns how many. Every buffer
// whose last byte goes out is returned to the callback thread (MM_WOM_DONE) before this
// returns. Gives 0 while paused. Any thread.
uint32_t WaveOutQueuePull(WaveOutQueue* queue, uint8_t* out, uint32_t bytes);

// For an output that must be fed on time: fills all `bytes` of `out`, with queued bytes as
// far as they go and `silence` after them; a running device that finds too few bytes counts
// an underrun. Any thread.
void WaveOutQueueFeed(WaveOutQueue* queue, uint8_t* out, uint32_t bytes, uint8_t silence);

// The output can take no more bytes (it failed): every later waveOutWrite fails, so the
// failure reaches the writer. Any thread.
void WaveOutQueueFail(WaveOutQueue* queue);
// True when the output failed and no waveOutWrite has been refused since, so the writer has
// not heard of it: the close must report it. Any thread.
bool WaveOutQueueFailureUnreported(WaveOutQueue* queue);

// The backends.
extern const WaveOutBackend kSdlBackend;
extern const WaveOutBackend kFileBackend;

// SDL's output devices, which are the device ids 0 .. count-1. SDL's audio is initialised on
// first use; without an audio driver there are no devices.
uint32_t SdlOutputDeviceCount();
// The display name of device `id`, or for WAVE_MAPPER the platform's own name for its
// default device. False for an id that is not a device.
bool SdlOutputDeviceName(uint32_t id, std::string* name);
