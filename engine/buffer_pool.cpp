// SPDX-License-Identifier: GPL-3.0-or-later
#include "buffer_pool.h"

#include "messages.h"
#include "platform/memory.h"
#include "player_state.h"

namespace {

MMRESULT OpenTarget() {
  if (player.outputFileName[0] != '\0') {
    return OpenFileDevice(&player.waveOutHandle, player.outputFileName, &player.outputFormat,
                          player.playbackThreadId, CALLBACK_THREAD);
  }
  // The list holds the default device first, then the devices in id order: entry 0 gives
  // -1, which is WAVE_MAPPER.
  const int entry = player.frontEndPort->selectedOutputEntry(player.frontEndPort->context);
  const auto id = static_cast<uint32_t>(entry - 1);
  return waveOutOpen(&player.waveOutHandle, id, &player.outputFormat, player.playbackThreadId, 0,
                     CALLBACK_THREAD);
}

}  // namespace

bool OpenOutputDevice() {
  if (OpenTarget() != MMSYSERR_NOERROR) {
    ShowError(kCannotOpenDeviceText);
    return false;
  }
  // Held from now on, so the buffers' undefined contents are never heard.
  waveOutPause(player.waveOutHandle);
  return true;
}

bool CreateDeviceBuffers() {
  player.deviceBufferSize = BytesForDuration(player.outputFormat, 125);
  // A rate so low that 125 ms is less than a byte: an empty buffer is nothing to play, and it
  // would come back empty and be freed at once.
  if (player.deviceBufferSize == 0) {
    ShowError(kCannotQueueBufferText);
    return false;
  }
  for (int pass = 0; pass < kDeviceBufferCount; ++pass) {
    auto* data = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, player.deviceBufferSize));
    auto* header = static_cast<WAVEHDR*>(LocalAlloc(LMEM_FIXED, sizeof(WAVEHDR)));
    if (data == nullptr || header == nullptr) {
      LocalFree(data);
      LocalFree(header);
      ShowError(kNoDeviceBufferMemoryText);
      return false;
    }
    header->lpData = data;
    header->dwBufferLength = player.deviceBufferSize;
    header->dwFlags = 0;
    header->dwLoops = 0;
    header->dwUser = 0;
    waveOutPrepareHeader(player.waveOutHandle, header, sizeof(WAVEHDR));
    if (waveOutWrite(player.waveOutHandle, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
      waveOutUnprepareHeader(player.waveOutHandle, header, sizeof(WAVEHDR));
      LocalFree(data);
      LocalFree(header);
      ShowError(kCannotQueueBufferText);
      return false;
    }
    AddBuffersLive(1);
  }
  return true;
}

void FreeDeviceBuffer(WAVEHDR* header) {
  LocalFree(header->lpData);
  LocalFree(header);
  // The caller is the playback thread: the quit ends its loop after the messages waiting.
  if (AddBuffersLive(-1) == 0) PostThreadMessageA(player.playbackThreadId, WM_QUIT, 0, 0);
}
