// SPDX-License-Identifier: GPL-3.0-or-later
// What a batch shows of itself: the progress line on a terminal and the summary at the end.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

// Where a batch stands.
struct BatchProgress {
  size_t filesDone = 0;
  size_t filesTotal = 0;
  double audioSeconds = 0;  // converted so far, the files under way included
  double work = 0;          // of the files' bytes, how many are done (a file under way in part)
  double workTotal = 0;
};

// The recent pace of a batch: audio seconds and bytes of work a second over the last few
// seconds, so the figures follow a change of pace (a run of MP3 files after PCM) soon.
class BatchPace {
 public:
  // A reading at `seconds` since the batch began; readings come in time order.
  void Add(double seconds, const BatchProgress& progress);
  // Audio seconds converted a second: the speed as a multiple of real time; 0 while unknown.
  double Speed() const;
  // Seconds left at the recent pace; negative while unknown.
  double SecondsLeft() const;

 private:
  struct Reading {
    double seconds;
    double audio;
    double work;
    double workTotal;
  };
  std::deque<Reading> readings_;
};

// "12/340 files, 1:02:03 audio, 412x real time, 0:35 left", the last two only when known; cut
// to `width` columns.
std::string FormatProgressLine(const BatchProgress& progress, const BatchPace& pace, size_t width);

// "12 files checked: 10 played, 1 failed, 1 stopped; 1:02:03 of audio in 0:04.2", stopped only
// when some were. The audio is that of the files that played.
std::string FormatSummary(size_t played, size_t failed, size_t stopped, double audioSeconds,
                          double wallSeconds);
