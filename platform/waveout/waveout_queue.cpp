#include "waveout_queue.h"

#include <algorithm>
#include <cstring>

#include "platform/thread.h"

namespace {

// Lock held. The header is the callback thread's once posted.
void ReturnBuffer(WaveOutQueue* queue, WAVEHDR* header) {
  header->lpNext = nullptr;
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  PostThreadMessageA(queue->callbackThread, MM_WOM_DONE, reinterpret_cast<uintptr_t>(queue->device),
                     reinterpret_cast<intptr_t>(header));
}

// Lock held.
void ReturnHead(WaveOutQueue* queue) {
  WAVEHDR* header = queue->head;
  queue->head = header->lpNext;
  if (queue->head == nullptr) queue->tail = nullptr;
  queue->headOffset = 0;
  ReturnBuffer(queue, header);
}

// Lock held.
void ReturnAll(WaveOutQueue* queue) {
  while (queue->head != nullptr) ReturnHead(queue);
  queue->taking = nullptr;
  queue->takingOffset = 0;
  queue->held = 0;
}

uint32_t Take(WaveOutQueue* queue, uint8_t* out, uint32_t bytes) {
  std::lock_guard lock(queue->lock);
  if (queue->paused) return 0;
  uint32_t copied = 0;
  while (copied < bytes && queue->taking != nullptr) {
    WAVEHDR* header = queue->taking;
    const uint32_t n = std::min(header->dwBufferLength - queue->takingOffset, bytes - copied);
    if (n > 0) std::memcpy(out + copied, header->lpData + queue->takingOffset, n);
    copied += n;
    queue->takingOffset += n;
    if (queue->takingOffset < header->dwBufferLength) break;
    queue->taking = header->lpNext;
    queue->takingOffset = 0;
  }
  queue->held += copied;
  return copied;
}

void Played(WaveOutQueue* queue, uint64_t held) {
  std::lock_guard lock(queue->lock);
  if (held > queue->held) return;
  uint64_t played = queue->held - held;
  queue->held = held;
  queue->playedTotal += played;
  // Buffers wholly taken come back once their last byte has played (an empty one as soon as
  // what precedes it has).
  while (queue->head != nullptr && queue->head != queue->taking) {
    const uint32_t left = queue->head->dwBufferLength - queue->headOffset;
    if (left > played) {
      queue->headOffset += static_cast<uint32_t>(played);
      return;
    }
    played -= left;
    ReturnHead(queue);
  }
  if (queue->head != nullptr) queue->headOffset += static_cast<uint32_t>(played);
}

void Underrun(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  ++queue->underruns;
}

void Fail(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  queue->failed = true;
  ReturnAll(queue);
}

bool FailureUnreported(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->failed && !queue->failureReported;
}

bool Kept(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->kept;
}

}  // namespace

const WaveOutQueueServices kWaveOutQueueServices = {
    &Take, &Played, &Underrun, &WaveOutQueueReset, &Fail, &FailureUnreported, &Kept};

MMRESULT WaveOutQueuePrepare(WaveOutQueue* queue, WAVEHDR* header) {
  std::lock_guard lock(queue->lock);
  header->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveOutQueueUnprepare(WaveOutQueue* queue, WAVEHDR* header) {
  std::lock_guard lock(queue->lock);
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT WaveOutQueueWrite(WaveOutQueue* queue, WAVEHDR* header) {
  std::lock_guard lock(queue->lock);
  // The queue links through the header: one queued twice would loop it.
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
  if (queue->taking == nullptr) queue->taking = header;
  return MMSYSERR_NOERROR;
}

bool WaveOutQueueReset(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  // Only what is queued now goes back; a buffer written after the lock is released plays.
  ReturnAll(queue);
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

void WaveOutQueueKeep(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  queue->kept = true;
}

uint32_t WaveOutQueueUnderruns(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->underruns;
}

uint64_t WaveOutQueueBytesPlayed(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->playedTotal;
}
