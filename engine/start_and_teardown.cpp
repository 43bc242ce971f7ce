// SPDX-License-Identifier: GPL-3.0-or-later
#include "start_and_teardown.h"

#include <atomic>

#include "buffer_pool.h"
#include "decompression.h"
#include "engine.h"
#include "messages.h"
#include "platform/memory.h"
#include "player_state.h"
#include "wave_reader.h"

bool OpenSource() {
  player.convertedPending = 0;
  player.convertFlags = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START;
  // Each step shows its own message; what earlier steps acquired stays for the teardown.
  return OpenWaveFile() && OpenConversionStream() && AllocateConversionBuffers() &&
         BindFileBuffer();
}

bool StartPlayback() {
  player.waveOutHandle = nullptr;
  std::atomic_ref(player.deviceBuffersLive).store(0);
  return OpenSource() && OpenOutputDevice() && CreateDeviceBuffers();
}

void ReleaseBuffers() {
  // The stop bit goes first, so buffers still queued come back to be freed, not filled;
  // only then can the data buffers go.
  if (player.waveOutHandle != nullptr) RequestStop();
  if (player.sourceBuffer != nullptr) {
    LocalFree(player.sourceBuffer);
    player.sourceBuffer = nullptr;
  }
  if (player.convertedBuffer != nullptr) {
    LocalFree(player.convertedBuffer);
    player.convertedBuffer = nullptr;
  }
  // With no buffer left to bring it a message, the thread is told to quit here.
  if (player.playbackThread != nullptr && LoadBuffersLive() == 0) {
    PostThreadMessageA(player.playbackThreadId, WM_QUIT, 0, 0);
  }
}

void CloseHandles() {
  if (player.waveOutHandle != nullptr) {
    // An output that completes its work only at the close (the file device's header) fails
    // there, as does a last write that failed with no later write to refuse. Only a playback
    // that started reports it: a failed start has shown its message.
    const bool started = (LoadFlags() & FLAG_PLAYING) != 0;
    // What a playback played to its end, or until the user stopped it, is its result; one
    // that failed keeps nothing (the file device then leaves its target as it was).
    if (started && !FailureShown()) WaveOutKeepOutput(player.waveOutHandle);
    if (waveOutClose(player.waveOutHandle) != MMSYSERR_NOERROR && started) {
      ShowError(kCannotCloseDeviceText);
    }
    player.waveOutHandle = nullptr;
  }
  if (player.streamHandle != nullptr) {
    acmStreamClose(player.streamHandle, 0);
    player.streamHandle = nullptr;
  }
  if (player.fileHandle != nullptr) {
    mmioClose(player.fileHandle, 0);
    player.fileHandle = nullptr;
  }
}
