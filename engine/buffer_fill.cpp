// SPDX-License-Identifier: GPL-3.0-or-later
#include "buffer_fill.h"

#include <cstring>

#include "decompression.h"
#include "messages.h"
#include "player_state.h"
#include "wave_reader.h"

namespace {

// Source that a decoder skips without giving sound is damage it resyncs across; this many
// source buffers of it in a row is not, and reading on would keep the playback thread from
// queueing anything for as long as the file lasts.
constexpr uint32_t kSilentSourceBuffers = 16;

bool Stopping() {
  return (LoadFlags() & FLAG_STOPPING) != 0;
}

// Copies pending PCM into the buffer and moves the pending window on.
void CopyPending(uint8_t* data, uint32_t size, uint32_t& fill) {
  const uint32_t room = size - fill;
  const uint32_t n = room < player.convertedPending ? room : player.convertedPending;
  std::memcpy(data + fill, player.convertedNext, n);
  fill += n;
  player.convertedNext += n;
  player.convertedPending -= n;
}

}  // namespace

bool ConvertNextPortion() {
  if (player.dataRemaining == 0) return true;
  if (NeedsRefill() && !RefillFileBuffer()) {
    RequestStop();
    ShowError(kFileReadErrorText);
    return false;
  }
  return ConvertNextBlock() != 0;
}

bool FillBuffer(uint8_t* data, uint32_t size, uint32_t* filled) {
  uint32_t fill = 0;
  uint64_t silentSource = 0;  // consumed since this fill's last PCM
  while (fill < size && !Stopping()) {
    if (player.convertedPending > 0) {
      CopyPending(data, size, fill);
      if (player.convertedPending > 0) continue;  // the buffer is full
    }
    const auto remaining = player.dataRemaining;
    if (!ConvertNextPortion()) return false;
    // The conversion that finishes the data chunk ends this fill; its PCM goes into the
    // buffers that come back next. One that consumed without producing does not end it:
    // freeing the buffer would shrink the ring, and four such would end the playback early.
    if (player.dataRemaining == 0) break;
    if (player.convertedPending > 0) {
      silentSource = 0;
    } else {
      silentSource += remaining - player.dataRemaining;
      if (silentSource >= uint64_t{kSilentSourceBuffers} * player.sourceBufferSize) {
        RequestStop();
        ShowError(kCannotConvertText);
        return false;
      }
    }
  }
  *filled = fill;
  return true;
}
