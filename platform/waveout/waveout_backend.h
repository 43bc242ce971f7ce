// SPDX-License-Identifier: GPL-3.0-or-later
// For authors of wave output backends (the sound server's devices, ALSA's, the file device).
//
// The buffer queue belongs to waveout.cpp and is the same for every backend: it keeps the
// written buffers in order, honours pause and reset, and returns each buffer to the callback
// thread once the output has played its last byte. So does the device list: a backend only
// names its devices, each by a key of its own, and opens the one whose key it is given. A
// backend opens its output, takes bytes from the queue when its output wants them, says how
// much of what it took it still holds unplayed, and closes. Its state lives behind the `priv`
// pointer that open returns and every other entry receives; a backend keeps no per-device
// state anywhere else.
//
// A backend may live in a loadable module, which cannot use the program's symbols: it reaches
// the queue only through the WaveOutQueueServices that open hands it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/module_host.h"
#include "waveout_types.h"

struct WaveOutQueue;

// The queue as a call of played(held) would leave it.
struct WaveOutOutlook {
  uint64_t returned = 0;  // bytes of the buffers it would send back
  // Whether a wholly taken buffer would still be out, and the `held` at which the first of them
  // comes back: what will still be unplayed once its last byte has played.
  bool out = false;
  uint64_t nextHeld = 0;
  uint64_t waiting = 0;  // bytes written and not taken yet (0 while paused)
};

// The queue's services for the backend. Every function takes the queue's lock, so any thread
// may call them, but never while holding a lock that a caller of waveOut* may hold.
struct WaveOutQueueServices {
  // Copies up to `bytes` of the queued bytes not taken yet into `out`, in order, and returns
  // how many: the output holds them from now on. Gives 0 while paused.
  uint32_t (*take)(WaveOutQueue* queue, uint8_t* out, uint32_t bytes);
  // Of everything taken, the output still holds only the last `held` bytes unplayed: every
  // buffer whose last byte lies before them has played and goes back to the callback thread
  // (MM_WOM_DONE, in queue order) before this returns. A `held` larger than what the output
  // has taken releases nothing. Returns how many bytes the buffers it sent back held.
  uint64_t (*played)(WaveOutQueue* queue, uint64_t held);
  // What played(held) would do, without doing it (see WaveOutOutlook); UINT64_MAX for `held`
  // asks about the queue as it stands.
  void (*outlook)(WaveOutQueue* queue, uint64_t held, WaveOutOutlook* outlook);
  // Bytes written and not taken yet (0 while paused).
  uint64_t (*waiting)(WaveOutQueue* queue);
  // The output ran dry while it was running (counted for tests and benchmarks).
  void (*underrun)(WaveOutQueue* queue);
  // Returns every queued buffer, in order, forgets what the output took, and ends a pause:
  // true when it ended one (the backend is then started).
  bool (*reset)(WaveOutQueue* queue);
  // The output can play nothing more (its device is gone, its file cannot be written, its
  // server stopped answering): every queued buffer goes back now and every later waveOutWrite
  // fails, so the failure reaches the writer. `error`: the operating system's reason (an errno
  // value), reported with it, or 0.
  void (*fail)(WaveOutQueue* queue, int error);
  // True when the output failed and no waveOutWrite has been refused since, so the writer has
  // not heard of it: the close must report it.
  bool (*failureUnreported)(WaveOutQueue* queue);
  // True when the writer has said that what was played is its result to keep
  // (WaveOutKeepOutput): an output that can lose what it wrote (the file device) keeps it.
  bool (*kept)(WaveOutQueue* queue);
};

// One device of a backend's list: the key its open takes, and the name the user sees.
struct WaveOutDeviceName {
  std::string key;
  std::string description;
};

// How a backend stands when it is asked to serve.
enum class WaveOutReach {
  kServing,       // it can list and open devices
  kAbsent,        // nothing to serve (no sound server listens); found out at once
  kUnresponsive,  // its server took the connection but did not answer within the bound
};

constexpr uint32_t kWaveOutBackendVersion = 4;

// Filled once by waveout.cpp: an optional entry left null becomes a no-op there. Entries other
// than reach, list and cancelOpens are called for one open device; start, pause and reset come
// in the order of the queue's changes, never at the same time as each other.
struct WaveOutBackend {
  uint32_t version;  // kWaveOutBackendVersion
  // Optional (always serving): whether the backend can serve now. Asked again before every
  // listing and every open of the default device, on the front end's thread; bounded in time.
  WaveOutReach (*reach)();
  // Optional (no devices): reads the device list afresh. *defaultName names what the default
  // device plays on (empty when it cannot tell). False when the list cannot be read.
  bool (*list)(std::string* defaultName, std::vector<WaveOutDeviceName>* devices);
  // Opens the output for `format`, which has been checked: WAVE_FORMAT_PCM, 8, 16 or 32 bits,
  // at least one channel, consistent block alignment and byte rate, a rate up to INT32_MAX.
  // `key` is a device's key from the list, or "" for the default device (for the file device,
  // the path of its file). Stores the backend's state in *priv. Returns MMSYSERR_NOERROR, or
  // the error to report (WAVERR_BADFORMAT for a format this output refuses,
  // MMSYSERR_BADDEVICEID for a key that is no longer a device). Every wait is bounded; nothing
  // is taken from the queue before start.
  MMRESULT(*open)
  (const char* key, const WAVEFORMATEX& format, const WaveOutQueueServices* services,
   WaveOutQueue* queue, void** priv);
  // Stops taking for good and releases everything without waiting for the output to play
  // what it holds; nothing of the backend runs when it returns. Returns an error when output
  // already taken could not be completed and no refused waveOutWrite has said so already
  // (failureUnreported).
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
  // Optional. Any thread: every open under way gives up at once with an error, and so does
  // every later one.
  void (*cancelOpens)();
  // Optional. Called once, right after the module is loaded and before any other entry: what
  // the module may use of the program (its diagnostics).
  void (*attach)(const ModuleHost* host);
};

// The file device, in process.
extern const WaveOutBackend kFileBackend;

// The name under which a wave output module (rtplayer-pulse.so, rtplayer-alsa.so) exports its
// table: extern "C" const WaveOutBackend rtplayer_waveout_backend.
constexpr const char kWaveOutBackendSymbol[] = "rtplayer_waveout_backend";
