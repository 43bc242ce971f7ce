// SPDX-License-Identifier: GPL-3.0-or-later
#include "waveout_queue.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/diagnostics.h"
#include "platform/thread.h"

namespace {

// Buffers taken off the queue, linked through lpNext, to be posted in order once the queue's
// lock is released.
struct Returns {
  WAVEHDR* first = nullptr;
  WAVEHDR* last = nullptr;
  uint64_t bytes = 0;

  void add(WAVEHDR* header) {
    header->lpNext = nullptr;
    (last == nullptr ? first : last->lpNext) = header;
    last = header;
    bytes += header->dwBufferLength;
  }
};

// Called with the queue's lock held in `lock`; releases it and posts the returns, in order,
// before any later return can be posted. A header is the callback thread's once posted.
uint64_t Deliver(WaveOutQueue* queue, std::unique_lock<std::mutex>& lock, const Returns& returns) {
  if (returns.first == nullptr) return 0;
  std::lock_guard order(queue->returning);
  lock.unlock();
  // Posted a few at a time: the callback thread wakes once for buffers that played together.
  MSG batch[8];
  size_t count = 0;
  for (WAVEHDR* header = returns.first; header != nullptr;) {
    WAVEHDR* next = header->lpNext;
    header->lpNext = nullptr;
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    batch[count++] = {MM_WOM_DONE, reinterpret_cast<uintptr_t>(queue->device),
                      reinterpret_cast<intptr_t>(header)};
    if (count == std::size(batch) || next == nullptr) {
      PostThreadMessages(queue->callbackThread, batch, count);
      count = 0;
    }
    header = next;
  }
  return returns.bytes;
}

// Lock held.
void TakeHead(WaveOutQueue* queue, Returns* returns) {
  WAVEHDR* header = queue->head;
  queue->head = header->lpNext;
  if (queue->head == nullptr) queue->tail = nullptr;
  queue->headOffset = 0;
  returns->add(header);
}

// Lock held.
void TakeAll(WaveOutQueue* queue, Returns* returns) {
  while (queue->head != nullptr) TakeHead(queue, returns);
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

uint64_t Played(WaveOutQueue* queue, uint64_t held) {
  std::unique_lock lock(queue->lock);
  if (held > queue->held) return 0;
  uint64_t played = queue->held - held;
  queue->held = held;
  queue->playedTotal += played;
  Returns returns;
  // Buffers wholly taken come back once their last byte has played (an empty one as soon as
  // what precedes it has).
  while (queue->head != nullptr && queue->head != queue->taking) {
    const uint32_t left = queue->head->dwBufferLength - queue->headOffset;
    if (left > played) {
      queue->headOffset += static_cast<uint32_t>(played);
      played = 0;
      break;
    }
    played -= left;
    TakeHead(queue, &returns);
  }
  if (queue->head != nullptr) queue->headOffset += static_cast<uint32_t>(played);
  return Deliver(queue, lock, returns);
}

void Outlook(WaveOutQueue* queue, uint64_t held, WaveOutOutlook* outlook) {
  std::lock_guard lock(queue->lock);
  *outlook = {};
  outlook->waiting = WaitingLocked(queue);
  // As Played walks the queue: `unplayed` is what the output still holds after each buffer.
  uint64_t unplayed = queue->held;
  uint32_t offset = queue->headOffset;
  for (const WAVEHDR* header = queue->head; header != nullptr && header != queue->taking;
       header = header->lpNext) {
    const uint64_t left = header->dwBufferLength - offset;
    offset = 0;
    const uint64_t after = unplayed > left ? unplayed - left : 0;
    if (held > queue->held || after < held) {
      outlook->out = true;
      outlook->nextHeld = after;
      return;
    }
    outlook->returned += header->dwBufferLength;
    unplayed = after;
  }
}

uint64_t Waiting(WaveOutQueue* queue) {
  return WaveOutQueueWaiting(queue);
}

void Underrun(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  ++queue->underruns;
}

void Fail(WaveOutQueue* queue, int error) {
  std::unique_lock lock(queue->lock);
  if (!queue->failed) queue->failureError = error;
  queue->failed = true;
  Returns returns;
  TakeAll(queue, &returns);
  Deliver(queue, lock, returns);
}

// Asked by the close that is to report the failure: its reason goes with it.
bool FailureUnreported(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  const bool unreported = queue->failed && !queue->failureReported;
  if (unreported) NoteSystemError(queue->failureError);
  return unreported;
}

bool Kept(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->kept;
}

}  // namespace

const WaveOutQueueServices kWaveOutQueueServices = {
    &Take, &Played, &Outlook, &Waiting, &Underrun, &WaveOutQueueReset, &Fail, &FailureUnreported,
    &Kept};

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
    NoteSystemError(queue->failureError);  // whichever thread writes reports it
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
  std::unique_lock lock(queue->lock);
  // Only what is queued now goes back; a buffer written after the lock is released plays.
  Returns returns;
  TakeAll(queue, &returns);
  const bool wasPaused = queue->paused;
  queue->paused = false;
  Deliver(queue, lock, returns);
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

uint64_t WaveOutQueueWaiting(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return WaitingLocked(queue);
}

uint64_t WaitingLocked(const WaveOutQueue* queue) {
  if (queue->paused) return 0;
  uint64_t bytes = 0;
  uint32_t offset = queue->takingOffset;
  for (const WAVEHDR* header = queue->taking; header != nullptr; header = header->lpNext) {
    bytes += header->dwBufferLength - offset;
    offset = 0;
  }
  return bytes;
}

uint32_t WaveOutQueueUnderruns(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->underruns;
}

uint64_t WaveOutQueueBytesPlayed(WaveOutQueue* queue) {
  std::lock_guard lock(queue->lock);
  return queue->playedTotal;
}
