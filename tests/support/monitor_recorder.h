// SPDX-License-Identifier: GPL-3.0-or-later
// Records what a sink of the test daemon plays, from its monitor, with parec: the left channel,
// 16-bit at 44 100 Hz (servers mix channels down to one differently, but all play a channel
// as it is), kept in memory. Waits are on the samples received, never on the clock.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class MonitorRecorder {
 public:
  static constexpr uint32_t kRate = 44100;

  // On the test stack's server, or on `server` when one is named.
  explicit MonitorRecorder(const std::string& sink, const std::string& server = "");
  ~MonitorRecorder();  // stops parec
  MonitorRecorder(const MonitorRecorder&) = delete;
  MonitorRecorder& operator=(const MonitorRecorder&) = delete;

  bool running() const { return pid_ > 0; }
  // How many samples have arrived so far.
  size_t count() const;
  // Waits up to 20 s until at least `count` samples have arrived.
  bool waitFor(size_t count) const;
  // Waits up to 20 s until the last `frames` samples are exact silence, as a sink that plays
  // nothing gives.
  bool waitForSilence(size_t frames) const;
  // The same, then forgets everything received so far: what an earlier test left playing has
  // ended, and the samples from now on are this test's.
  bool waitForQuiet(size_t frames);
  // The samples received so far.
  std::vector<int16_t> samples() const;
  // Waits up to 20 s until a sample louder than `level` has arrived.
  bool waitForSound(int level) const;

 private:
  void Read();

  pid_t pid_ = -1;
  int input_ = -1;
  std::thread reader_;
  mutable std::mutex lock_;
  mutable std::condition_variable arrived_;
  std::vector<int16_t> samples_;  // guarded by lock_
  bool ended_ = false;            // guarded by lock_
};
