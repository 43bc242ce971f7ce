// SPDX-License-Identifier: GPL-3.0-or-later
// The buffer queue of one wave output device: written once, shared by every backend.
//
// Buffers are linked through their own WAVEHDR::lpNext, so queueing allocates nothing.
// Every function takes the queue's lock, so calls may come from any thread: the writer,
// the thread that resets, and the backend's output thread. Buffers are taken off the queue
// under the lock and posted as MM_WOM_DONE once it is released, under `returning`, which is
// taken before the lock is let go: returns reach the callback thread in queue order, and a
// writer woken by the first of several is not held up by the lock while the rest are posted.
// After the post the header belongs to that thread and is not touched again.
//
// Lock order: lock, then returning (returning is only ever taken with lock held, then lock
// is released first).
//
// The queue runs from head to tail. Its first bytes have been taken by the output (which
// holds them until it says they have played); the take position marks where the bytes not yet
// taken begin.
#pragma once

#include <cstdint>
#include <mutex>

#include "waveout_backend.h"
#include "waveout_types.h"

struct WaveOutQueue {
  // Immutable after open.
  HWAVEOUT device;
  uint32_t callbackThread;

  std::mutex lock;
  std::mutex returning;
  // Guarded by lock.
  WAVEHDR* head = nullptr;
  WAVEHDR* tail = nullptr;
  uint32_t headOffset = 0;    // bytes of head already played
  WAVEHDR* taking = nullptr;  // the first buffer not wholly taken; null when all are
  uint32_t takingOffset = 0;  // bytes of it already taken
  uint64_t held = 0;          // bytes taken and not yet played
  uint64_t playedTotal = 0;   // bytes played since the open (WaveOutBytesPlayed)
  bool paused = false;
  bool failed = false;
  bool failureReported = false;  // a write has been refused since the failure
  int failureError = 0;          // the operating system's reason for the failure, if any
  bool kept = false;             // WaveOutKeepOutput
  uint32_t underruns = 0;
};

// The services that backends reach the queue through.
extern const WaveOutQueueServices kWaveOutQueueServices;

MMRESULT WaveOutQueuePrepare(WaveOutQueue* queue, WAVEHDR* header);
MMRESULT WaveOutQueueUnprepare(WaveOutQueue* queue, WAVEHDR* header);
// Appends the header; WAVERR_STILLPLAYING when it is queued already, MMSYSERR_ERROR once the
// output has failed.
MMRESULT WaveOutQueueWrite(WaveOutQueue* queue, WAVEHDR* header);
// Returns every queued buffer, in order, forgets what the output took, and ends a pause. True
// when it ended a pause, so the backend must be started.
bool WaveOutQueueReset(WaveOutQueue* queue);
// True when this call paused a running queue.
bool WaveOutQueuePause(WaveOutQueue* queue);
bool WaveOutQueueEmpty(WaveOutQueue* queue);
// Records the writer's word that what was played is its result (WaveOutKeepOutput).
void WaveOutQueueKeep(WaveOutQueue* queue);
// The bytes written and not yet taken; WaitingLocked with the queue's lock held.
uint64_t WaveOutQueueWaiting(WaveOutQueue* queue);
uint64_t WaitingLocked(const WaveOutQueue* queue);
uint32_t WaveOutQueueUnderruns(WaveOutQueue* queue);
uint64_t WaveOutQueueBytesPlayed(WaveOutQueue* queue);
