// SPDX-License-Identifier: GPL-3.0-or-later
// A thread with a message queue that records every message it receives: the callback
// target of the wave output devices under test. Thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/thread.h"
#include "platform/waveout.h"

class CallbackThread {
 public:
  CallbackThread();
  // Posts WM_QUIT and waits for the thread.
  ~CallbackThread();
  CallbackThread(const CallbackThread&) = delete;
  CallbackThread& operator=(const CallbackThread&) = delete;

  uint32_t id() const { return id_; }

  // Waits up to `seconds` until at least `count` messages `message` have arrived.
  bool waitFor(uint32_t message, size_t count, double seconds = 20.0);
  // The messages `message` received so far, in order.
  std::vector<MSG> received(uint32_t message) const;
  // The headers of the MM_WOM_DONE messages received so far, in order.
  std::vector<WAVEHDR*> done() const;

 private:
  static uint32_t Run(void* self);

  mutable std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<MSG> messages_;  // guarded by lock_
  uint32_t id_ = 0;
  HTHREAD thread_ = nullptr;
};
