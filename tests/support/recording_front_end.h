// SPDX-License-Identifier: GPL-3.0-or-later
// A front end for tests: records every message the engine shows and every message it posts,
// and answers the selected device entry. Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/player_state.h"

class RecordingFrontEnd {
 public:
  RecordingFrontEnd();

  const FrontEnd* port() const { return &port_; }

  std::vector<std::string> errors() const;
  int fileControlEnables() const;
  int playingShown() const;
  int finishedPosted() const;
  void selectEntry(int entry) { entry_ = entry; }

  // Waits up to `seconds` for the nth WM_PLAYBACK_FINISHED; false on time-out.
  bool waitFinished(int nth = 1, double seconds = 20.0);

 private:
  static void ShowError(void* self, const char* text);
  static int SelectedEntry(void* self);
  static void EnableFile(void* self);
  static void ShowPlaying(void* self);
  static void Post(void* self, uint32_t message);

  FrontEnd port_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> errors_;
  int fileEnables_ = 0;
  int playingShown_ = 0;
  int finished_ = 0;
  int entry_ = 0;
};

// Zero-fills the record (as at process start) and installs `frontEnd` as its port.
void ResetPlayerState(const RecordingFrontEnd& frontEnd);
