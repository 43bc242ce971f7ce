// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/recording_front_end.h"

#include <chrono>
#include <cstring>

RecordingFrontEnd::RecordingFrontEnd()
    : port_{this, &ShowError, &SelectedEntry, &EnableFile, &ShowPlaying, &Post} {}

std::vector<std::string> RecordingFrontEnd::errors() const {
  std::lock_guard lock(lock_);
  return errors_;
}

int RecordingFrontEnd::fileControlEnables() const {
  std::lock_guard lock(lock_);
  return fileEnables_;
}

int RecordingFrontEnd::playingShown() const {
  std::lock_guard lock(lock_);
  return playingShown_;
}

int RecordingFrontEnd::finishedPosted() const {
  std::lock_guard lock(lock_);
  return finished_;
}

bool RecordingFrontEnd::waitFinished(int nth, double seconds) {
  std::unique_lock lock(lock_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return finished_ >= nth; });
}

void RecordingFrontEnd::ShowError(void* self, const char* text) {
  auto* me = static_cast<RecordingFrontEnd*>(self);
  std::lock_guard lock(me->lock_);
  me->errors_.emplace_back(text);
}

int RecordingFrontEnd::SelectedEntry(void* self) {
  return static_cast<RecordingFrontEnd*>(self)->entry_;
}

void RecordingFrontEnd::EnableFile(void* self) {
  auto* me = static_cast<RecordingFrontEnd*>(self);
  std::lock_guard lock(me->lock_);
  ++me->fileEnables_;
}

void RecordingFrontEnd::ShowPlaying(void* self) {
  auto* me = static_cast<RecordingFrontEnd*>(self);
  std::lock_guard lock(me->lock_);
  ++me->playingShown_;
}

void RecordingFrontEnd::Post(void* self, uint32_t message) {
  auto* me = static_cast<RecordingFrontEnd*>(self);
  std::lock_guard lock(me->lock_);
  if (message == WM_PLAYBACK_FINISHED) ++me->finished_;
  me->changed_.notify_all();
}

void ResetPlayerState(const RecordingFrontEnd& frontEnd) {
  std::memset(static_cast<void*>(&player), 0, sizeof player);
  player.frontEndPort = frontEnd.port();
}
