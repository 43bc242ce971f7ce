#include <cstring>

#include "engine/buffer_pool.h"
#include "engine/decompression.h"
#include "engine/playback.h"
#include "engine/player_state.h"
#include "engine/wave_reader.h"

namespace {

// Source that a decoder skips without giving sound is damage it resyncs across; this many
// source buffers of it in a row is not, and reading on would keep this thread from queueing
// anything for as long as the file lasts.
constexpr uint32_t kSilentSourceBuffers = 16;

bool Stopping() {
  return (LoadFlags() & FLAG_STOPPING) != 0;
}

// Copies pending PCM into the buffer in hand and moves the pending window on.
void CopyPending(WAVEHDR* header, uint32_t& fill) {
  const uint32_t room = player.deviceBufferSize - fill;
  const uint32_t n = room < player.convertedPending ? room : player.convertedPending;
  std::memcpy(header->lpData + fill, player.convertedNext, n);
  fill += n;
  player.convertedNext += n;
  player.convertedPending -= n;
}

// Makes the next converted block pending while the data chunk is not finished, refilling
// the file buffer first when the stage asks for it. False on a failure, after the stop has
// been requested and the message shown.
bool ConvertMore() {
  if (player.dataRemaining == 0) return true;
  if (NeedsRefill() && !RefillFileBuffer()) {
    RequestStop();
    ShowError("Ошибка чтения из файла");
    return false;
  }
  return ConvertNextBlock() != 0;
}

// Fills one returned buffer and queues it again, or frees it when there is nothing to put
// in it. False on a failure; the buffer is then still in hand, neither queued nor freed.
bool FillDeviceBuffer(WAVEHDR* header) {
  uint32_t fill = 0;
  uint64_t silentSource = 0;  // consumed since this fill's last PCM
  while (fill < player.deviceBufferSize && !Stopping()) {
    if (player.convertedPending > 0) {
      CopyPending(header, fill);
      if (player.convertedPending > 0) continue;  // the buffer is full
    }
    const auto remaining = player.dataRemaining;
    if (!ConvertMore()) return false;
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
        ShowError("Невозможно преобразовать порцию данных");
        return false;
      }
    }
  }
  if (fill == 0) {
    waveOutUnprepareHeader(player.waveOutHandle, header, sizeof(WAVEHDR));
    FreeDeviceBuffer(header);
    return true;
  }
  header->dwBufferLength = fill;
  if (waveOutWrite(player.waveOutHandle, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
    RequestStop();
    ShowError("Невозможно передать буфер звуковому устройству");
    return false;
  }
  return true;
}

}  // namespace

uint32_t PlaybackThreadProc(void* /*param*/) {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  MSG message;
  while (GetMessageA(&message) == 1) {
    if (message.message != MM_WOM_DONE) continue;
    auto* header = reinterpret_cast<WAVEHDR*>(message.lParam);
    if (!FillDeviceBuffer(header)) {
      // The stop is under way: the buffer in hand and every one the reset sends back are
      // freed here, so nothing is abandoned; the last free posts the quit.
      waveOutUnprepareHeader(player.waveOutHandle, header, sizeof(WAVEHDR));
      FreeDeviceBuffer(header);
    }
  }
  if (player.fileHandle != nullptr) {
    mmioClose(player.fileHandle, 0);
    player.fileHandle = nullptr;
  }
  player.dialogWindow->postMessage(player.dialogWindow->context, WM_PLAYBACK_FINISHED);
  return 0;
}
