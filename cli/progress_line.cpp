// SPDX-License-Identifier: GPL-3.0-or-later
#include "progress_line.h"

#include <cstdio>

#include "status_line.h"

namespace {

// How far back the pace looks.
constexpr double kWindowSeconds = 3.0;

}  // namespace

void BatchPace::Add(double seconds, const BatchProgress& progress) {
  readings_.push_back({seconds, progress.audioSeconds, progress.work, progress.workTotal});
  // The oldest reading kept is the last one at least a window old, so the window stays full.
  while (readings_.size() > 2 && readings_[1].seconds <= seconds - kWindowSeconds) {
    readings_.pop_front();
  }
}

double BatchPace::Speed() const {
  if (readings_.size() < 2) return 0;
  const double elapsed = readings_.back().seconds - readings_.front().seconds;
  return elapsed > 0 ? (readings_.back().audio - readings_.front().audio) / elapsed : 0;
}

double BatchPace::SecondsLeft() const {
  if (readings_.size() < 2) return -1;
  const Reading& last = readings_.back();
  const double elapsed = last.seconds - readings_.front().seconds;
  const double done = last.work - readings_.front().work;
  if (elapsed <= 0 || done <= 0) return -1;
  return (last.workTotal - last.work) * elapsed / done;
}

std::string FormatProgressLine(const BatchProgress& progress, const BatchPace& pace, size_t width) {
  char text[160];
  int length = std::snprintf(text, sizeof text, "%zu/%zu files, %s audio", progress.filesDone,
                             progress.filesTotal, FormatClock(progress.audioSeconds).c_str());
  const double speed = pace.Speed();
  if (speed > 0 && length > 0) {
    length += std::snprintf(text + length, sizeof text - static_cast<size_t>(length),
                            ", %.0fx real time", speed);
  }
  const double left = pace.SecondsLeft();
  if (left >= 0 && length > 0) {
    std::snprintf(text + length, sizeof text - static_cast<size_t>(length), ", %s left",
                  FormatClock(left).c_str());
  }
  // Plain ASCII: a byte is a column.
  return std::string(text).substr(0, width);
}

std::string FormatSummary(size_t played, size_t failed, size_t stopped, double audioSeconds,
                          double wallSeconds) {
  const size_t checked = played + failed + stopped;
  char text[200];
  int length = std::snprintf(text, sizeof text, "%zu file%s checked: %zu played, %zu failed",
                             checked, checked == 1 ? "" : "s", played, failed);
  if (stopped > 0 && length > 0) {
    length += std::snprintf(text + length, sizeof text - static_cast<size_t>(length),
                            ", %zu stopped", stopped);
  }
  const int tenths = static_cast<int>(wallSeconds * 10) % 10;
  if (length > 0) {
    std::snprintf(text + length, sizeof text - static_cast<size_t>(length),
                  "; %s of audio in %s.%d", FormatClock(audioSeconds).c_str(),
                  FormatClock(wallSeconds).c_str(), tenths);
  }
  return text;
}
