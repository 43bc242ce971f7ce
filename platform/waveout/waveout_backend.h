// For authors of wave output backends (the sound server's devices, ALSA's, the file device).
//
// The buffer queue belongs to waveout.cpp and is the same for every backend: it keeps the
// written buffers in order, honours pause and reset, and returns each buffer to the callback
// thread once the output has played its last byte. A backend only opens its output, takes
// bytes from the queue when its output wants them, says how much of what it took it still
// holds unplayed, and closes. Its state lives behind the `priv` pointer that open returns and
// every other entry receives; a backend keeps no per-device state anywhere else.
//
// A backend may live in a loadable module, which cannot use the program's symbols: it reaches
// the queue only through the WaveOutQueueServices that open hands it.
#pragma once

#include <cstdint>
#include <string>

#include "waveout_types.h"

struct WaveOutQueue;

// The queue's services for the backend. Every function takes the queue's lock, so any thread
// may call them, but never while holding a lock that a caller of waveOut* may hold.
struct WaveOutQueueServices {
  // Copies up to `bytes` of the queued bytes not taken yet into `out`, in order, and returns
  // how many: the output holds them from now on. Gives 0 while paused.
  uint32_t (*take)(WaveOutQueue* queue, uint8_t* out, uint32_t bytes);
  // Of everything taken, the output still holds only the last `held` bytes unplayed: every
  // buffer whose last byte lies before them has played and goes back to the callback thread
  // (MM_WOM_DONE, in queue order) before this returns. A `held` larger than what the output
  // has taken releases nothing.
  void (*played)(WaveOutQueue* queue, uint64_t held);
  // The output ran dry while it was running (counted for tests and benchmarks).
  void (*underrun)(WaveOutQueue* queue);
  // Returns every queued buffer, in order, forgets what the output took, and ends a pause:
  // true when it ended one (the backend is then started).
  bool (*reset)(WaveOutQueue* queue);
  // The output can play nothing more (its device is gone, its file cannot be written): every
  // queued buffer goes back now and every later waveOutWrite fails, so the failure reaches
  // the writer.
  void (*fail)(WaveOutQueue* queue);
  // True when the output failed and no waveOutWrite has been refused since, so the writer has
  // not heard of it: the close must report it.
  bool (*failureUnreported)(WaveOutQueue* queue);
  // True when the writer has said that what was played is its result to keep
  // (WaveOutKeepOutput): an output that can lose what it wrote (the file device) keeps it.
  bool (*kept)(WaveOutQueue* queue);
};

struct WaveOutTarget {
  uint32_t id;       // the device id asked for; WAVE_MAPPER for the default device
  const char* path;  // the output file of the file device; null for the others
};

constexpr uint32_t kWaveOutBackendVersion = 1;

// Filled once by waveout.cpp: an optional entry left null becomes a no-op there. Entries other
// than the listing are called for one open device; start, pause and reset come in the order of
// the queue's changes, never at the same time as each other.
struct WaveOutBackend {
  uint32_t version;  // kWaveOutBackendVersion
  // Optional (no devices): whether this backend can serve at all (a module that needs a sound
  // server says no when none answers). Asked once, before any other entry.
  bool (*usable)();
  // Optional: reads the device list afresh and returns its length; the device ids are
  // 0 .. count-1 of the list last read. Front end's thread.
  uint32_t (*deviceCount)();
  // Optional: the display name of device `id` of the list last read, or for WAVE_MAPPER the
  // default device under a name that says it is the default. False for an unknown id.
  bool (*deviceName)(uint32_t id, std::string* name);
  // Opens the output for `format`, which has been checked: WAVE_FORMAT_PCM, 8, 16 or 32 bits,
  // at least one channel, consistent block alignment and byte rate, a rate up to INT32_MAX.
  // Stores the backend's state in *priv. Returns MMSYSERR_NOERROR, or the error to report
  // (WAVERR_BADFORMAT for a format this output refuses, MMSYSERR_BADDEVICEID for an id that is
  // not a device). Nothing is taken from the queue before start.
  MMRESULT(*open)
  (const WaveOutTarget& target, const WAVEFORMATEX& format, const WaveOutQueueServices* services,
   WaveOutQueue* queue, void** priv);
  // Stops taking for good and releases everything without waiting for the output to play
  // what it holds; nothing of the backend runs when it returns. Returns an error when output
  // already taken could not be completed and no refused waveOutWrite has said so already.
  MMRESULT (*close)(void* priv);
  // Begin, or resume, playing and taking: after open, and when a reset ends a pause.
  void (*start)(void* priv);
  // Optional. Stop playing at once; the queue gives nothing until the next start.
  void (*pause)(void* priv);
  // Optional. A buffer has just been written: an output that takes on demand may take now.
  // Called on the writing thread, never with the queue's lock held.
  void (*kick)(void* priv);
  // Resets the queue (the service above) and drops what the output holds, so the sound stops at
  // once, as one step: nothing is taken between the two, so nothing written after the reset
  // is dropped. Returns what the queue's reset returned.
  bool (*reset)(void* priv);
};

// The file device, in process.
extern const WaveOutBackend kFileBackend;

// The name under which a wave output module (rtplayer-pulse.so, rtplayer-alsa.so) exports its
// table: extern "C" const WaveOutBackend rtplayer_waveout_backend.
constexpr const char kWaveOutBackendSymbol[] = "rtplayer_waveout_backend";
