// SPDX-License-Identifier: GPL-3.0-or-later
#include "playback_thread.h"

#include "buffer_fill.h"
#include "buffer_pool.h"
#include "messages.h"
#include "player_state.h"

namespace {

// Fills one returned buffer and queues it again, or frees it when there is nothing to put
// in it. False on a failure; the buffer is then still in hand, neither queued nor freed.
bool RefillDeviceBuffer(WAVEHDR* header) {
  uint32_t fill = 0;
  if (!FillBuffer(header->lpData, player.deviceBufferSize, &fill)) return false;
  if (fill == 0) {
    waveOutUnprepareHeader(player.waveOutHandle, header, sizeof(WAVEHDR));
    FreeDeviceBuffer(header);
    return true;
  }
  header->dwBufferLength = fill;
  if (waveOutWrite(player.waveOutHandle, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
    RequestStop();
    ShowError(kCannotQueueBufferText);
    return false;
  }
  return true;
}

}  // namespace

uint32_t PlaybackThreadProc(void* /*param*/) {
  // A device plays in real time and must never wait for a buffer. The file device has no
  // deadline and takes buffers as fast as they come: at real-time priority it would hold a core
  // from everything else for as long as it converts (every core, in a batch of workers).
  if (player.outputFileName[0] == '\0') {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  }
  MSG message;
  while (GetMessageA(&message) == 1) {
    if (message.message != MM_WOM_DONE) continue;
    auto* header = reinterpret_cast<WAVEHDR*>(message.lParam);
    if (!RefillDeviceBuffer(header)) {
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
  player.frontEndPort->postMessage(player.frontEndPort->context, WM_PLAYBACK_FINISHED);
  return 0;
}
