#include "platform/waveout_queue.h"

#include <algorithm>
#include <cstring>

#include "platform/thread.h"
#include "platform/waveout_backend.h"

namespace {

// Lock held. The header is the callback thread's once posted.
void ReturnBuffer(WaveOutQueue* queue, WAVEHDR* header) {
  header->lpNext = nullptr;
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  PostThreadMessageA(queue->callbackThread, MM_WOM_DONE, reinterpret_cast<uintptr_t>(queue->device),
                     reinterpret_cast<intptr_t>(header));
}

// Lock held.
uint32_t PullLocked(WaveOutQueue* queue, uint8_t* out, uint32_t bytes) {
  if (queue->paused) return 0;
  uint32_t copied = 0;
  while (copied < bytes && queue->head != nullptr) {
    WAVEHDR* header = queue->head;
    const uint32_t n = std::min(header->dwBufferLength - queue->headOffset, bytes - copied);
    if (n > 0) std::memcpy(out + copied, header->lpData + queue->headOffset, n);
    copied += n;
    queue->headOffset += n;
    if (queue->headOffset < header->dwBufferLength) break;
    queue->head = header->lpNext;
    if (queue->head == nullptr) queue->tail = nullptr;
    queue->headOffset = 0;
    ReturnBuffer(queue, header);
  }
  return copied;
}

bool Valid(const WAVEHDR* header) {
  return header != nullptr && (header->lpData != nullptr || header->dwBufferLength == 0);
}

}  // namespace

MMRESULT WaveOutQueuePrepare(WaveOutQueue* queue, WAVEHDR* header) {
  if (!Valid(header)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(queue->lock);
  if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveOutQueueUnprepare(WaveOutQueue* queue, WAVEHDR* header) {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(queue->lock);
  if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveOutQueueWrite(WaveOutQueue* queue, WAVEHDR* header) {
  if (!Valid(header)) return MMSYSERR_INVALPARAM;
  std::lock_guard lock(queue->lock);
  if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
  if ((header->dwFlags & WHDR_INQUEUE) != 0) return WAVERR_STILLPLAYING;
  if (queue->failed) {
    queue->failureReported = true;
    return MMSYSERR_ERROR;
  }
  header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  header->lpNext = nullptr;
  if (queue->tail == nullptr) {
    queue->head = header;
  } else {
    queue->tail->lpNext = header;
  }
  queue->tail = header;
  return MMSYSERR_NOERROR;
}

bool WaveOutQueueReset(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  // Only what is queued now goes back; a buffer written after the lock is released plays.
  WAVEHDR* header = queue->head;
  queue->head = queue->tail = nullptr;
  queue->headOffset = 0;
  while (header != nullptr) {
    WAVEHDR* next = header->lpNext;
    ReturnBuffer(queue, header);
    header = next;
  }
  const bool wasPaused = queue->paused;
  queue->paused = false;
  return wasPaused;
}

bool WaveOutQueuePause(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  const bool wasRunning = !queue->paused;
  queue->paused = true;
  return wasRunning;
}

bool WaveOutQueueEmpty(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->head == nullptr;
}

uint32_t WaveOutQueueUnderruns(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->underruns;
}

uint32_t WaveOutQueuePull(WaveOutQueue* queue, uint8_t* out, uint32_t bytes) {
  std::lock_guard lock(queue->lock);
  return PullLocked(queue, out, bytes);
}

void WaveOutQueueFeed(WaveOutQueue* queue, uint8_t* out, uint32_t bytes, uint8_t silence) {
  uint32_t copied = 0;
  {
    std::lock_guard lock(queue->lock);
    copied = PullLocked(queue, out, bytes);
    if (copied < bytes && !queue->paused) ++queue->underruns;
  }
  std::memset(out + copied, silence, bytes - copied);
}

void WaveOutQueueFail(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  queue->failed = true;
}

bool WaveOutQueueFailureUnreported(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->failed && !queue->failureReported;
}
