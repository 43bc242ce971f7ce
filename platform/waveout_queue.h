// The buffer queue of one wave output device: written once, shared by every backend.
//
// Buffers are linked through their own WAVEHDR::lpNext, so queueing allocates nothing.
// Every function takes the queue's lock, so calls may come from any thread: the writer,
// the thread that resets, and the backend's output thread. A buffer is returned by posting
// MM_WOM_DONE while the lock is held, so returns reach the callback thread in queue order;
// after the post the header belongs to that thread and is not touched again.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/waveout.h"

struct WaveOutQueue {
  // Immutable after open.
  HWAVEOUT device;
  uint32_t callbackThread;

  std::mutex lock;
  // Guarded by lock.
  WAVEHDR* head = nullptr;
  WAVEHDR* tail = nullptr;
  uint32_t headOffset = 0;  // bytes of head already pulled
  bool paused = false;
  bool failed = false;
  bool failureReported = false;  // a write has been refused since the failure
  uint32_t underruns = 0;
};

MMRESULT WaveOutQueuePrepare(WaveOutQueue* queue, WAVEHDR* header);
MMRESULT WaveOutQueueUnprepare(WaveOutQueue* queue, WAVEHDR* header);
// Appends a prepared header that is not queued already.
MMRESULT WaveOutQueueWrite(WaveOutQueue* queue, WAVEHDR* header);
// Returns every queued buffer, in order, and ends a pause. True when it ended a pause, so the
// backend must be started.
bool WaveOutQueueReset(WaveOutQueue* queue);
// True when this call paused a running queue.
bool WaveOutQueuePause(WaveOutQueue* queue);
bool WaveOutQueueEmpty(WaveOutQueue* queue);
uint32_t WaveOutQueueUnderruns(WaveOutQueue* queue);
