#include "engine/engine.h"
#include "engine/messages.h"
#include "engine/playback.h"

bool LaunchPlayback() {
  timeBeginPeriod(1);
  SetPriorityClass(HIGH_PRIORITY_CLASS);
  player.playbackThread = CreateThread(&PlaybackThreadProc, nullptr, &player.playbackThreadId);
  if (player.playbackThread == nullptr) {
    // Without a thread no finish would ever come: give everything back now.
    ShowError(kCannotCreateThreadText);
    timeEndPeriod(1);
    RestoreIdleState();
    return false;
  }
  if (StartPlayback()) {
    player.dialogWindow->showPlaying(player.dialogWindow->context);
    SetFlagBits(FLAG_PLAYING);
    // The priming reset: the four buffers come back unplayed to be filled, and the device
    // no longer pauses. Not a stop, so FLAG_STOPPING stays clear.
    waveOutReset(player.waveOutHandle);
  } else {
    ReleaseBuffers();
  }
  if ((LoadFlags() & FLAG_STOPPING) == 0) RestoreIdleState();
  return true;
}

void FinishPlayback() {
  timeEndPeriod(1);
  CloseHandle(player.playbackThread);
  player.playbackThreadId = 0;
  player.playbackThread = nullptr;
  CloseHandles();
  ReleaseBuffers();
  RestoreIdleState();
  ClearFlags();
}

bool PlaybackPending() {
  return player.playbackThread != nullptr;
}
