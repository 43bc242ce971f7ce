// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine.h"

#include <cstring>

#include "messages.h"
#include "platform/acm.h"
#include "platform/diagnostics.h"
#include "playback_thread.h"
#include "player_state.h"
#include "start_and_teardown.h"

bool LaunchPlayback() {
  ForgetFailures();
  TakeSystemError();  // a reason left by an earlier failure is not this playback's
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
    player.frontEndPort->showPlaying(player.frontEndPort->context);
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

void AttachFrontEnd(const FrontEnd* frontEnd) {
  player.frontEndPort = frontEnd;
  player.savedPriorityClass = GetPriorityClass();
}

std::vector<std::string> OutputEntryTexts() {
  std::vector<std::string> texts;
  const uint32_t devices = waveOutGetNumDevs();
  for (uint32_t entry = 0; entry <= devices; ++entry) {
    // Cleared for every query: a device whose query fails gets an empty entry, not the
    // previous device's name.
    WAVEOUTCAPSA caps{};
    waveOutGetDevCapsA(entry - 1, &caps, sizeof caps);
    texts.emplace_back(caps.szPname, strnlen(caps.szPname, MAXPNAMELEN));
  }
  return texts;
}

namespace {

// A path the platform cannot open is refused whole, with `message`, rather than cut short.
bool StorePath(const std::string& path, char (&field)[PATH_MAX], const char* message) {
  if (path.size() >= sizeof field) {
    ShowError(message);
    return false;
  }
  std::memcpy(field, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

bool SetOutputFile(const std::string& path) {
  return StorePath(path, player.outputFileName, kCannotOpenDeviceText);
}

bool SetFileToPlay(const std::string& path) {
  return StorePath(path, player.fileName, kCannotOpenFileText);
}

std::string FileToPlay() {
  return player.fileName;
}

void StopPlayback() {
  if (PlaybackPlaying()) RequestStop();
}

void EnableDiagnosticOutput() {
  EnableDiagnostics();
}

void AbandonDeviceOpens() {
  CancelWaveOutOpens();
}

bool PlaybackPlaying() {
  return (LoadFlags() & FLAG_PLAYING) != 0;
}

bool PlaybackStopping() {
  return (LoadFlags() & FLAG_STOPPING) != 0;
}

namespace {

AudioFormatSummary Summary(const WAVEFORMATEX& format) {
  return {format.wFormatTag, format.nChannels, format.nSamplesPerSec, format.wBitsPerSample};
}

}  // namespace

PlaybackDescription DescribePlayback() {
  const WAVEFORMATEX& source = player.sourceFormat.format;
  const double seconds = source.nAvgBytesPerSec > 0
                             ? static_cast<double>(player.dataChunk.cksize) / source.nAvgBytesPerSec
                             : 0.0;
  return {Summary(source), Summary(player.outputFormat), seconds};
}

double PlaybackSecondsPlayed() {
  const uint32_t rate = player.outputFormat.nAvgBytesPerSec;
  if (player.waveOutHandle == nullptr || rate == 0) return 0.0;
  return static_cast<double>(WaveOutBytesPlayed(player.waveOutHandle)) / rate;
}

bool CodecModuleLoaded() {
  return AcmModuleLoaded();
}

uint32_t CreateFrontEndQueue() {
  return CreateMessageQueue();
}

void PostFrontEndMessage(uint32_t queue, uint32_t message) {
  PostThreadMessageA(queue, message, 0, 0);
}

uint32_t WaitFrontEndMessage() {
  MSG message{};
  return GetMessageA(&message) == 1 ? message.message : 0;
}

void RestoreIdleState() {
  SetPriorityClass(player.savedPriorityClass);
  player.frontEndPort->enableFileControl(player.frontEndPort->context);
}
