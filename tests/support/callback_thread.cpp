// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/callback_thread.h"

#include <chrono>

CallbackThread::CallbackThread() {
  thread_ = CreateThread(&Run, this, &id_);
}

CallbackThread::~CallbackThread() {
  PostThreadMessageA(id_, WM_QUIT, 0, 0);
  CloseHandle(thread_);
}

uint32_t CallbackThread::Run(void* self) {
  auto* me = static_cast<CallbackThread*>(self);
  MSG message{};
  while (GetMessageA(&message) == 1) {
    std::lock_guard lock(me->lock_);
    me->messages_.push_back(message);
    me->arrived_.notify_all();
  }
  return 0;
}

bool CallbackThread::waitFor(uint32_t message, size_t count, double seconds) {
  std::unique_lock lock(lock_);
  return arrived_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
    size_t found = 0;
    for (const MSG& m : messages_) found += m.message == message ? 1 : 0;
    return found >= count;
  });
}

std::vector<MSG> CallbackThread::received(uint32_t message) const {
  std::lock_guard lock(lock_);
  std::vector<MSG> found;
  for (const MSG& m : messages_) {
    if (m.message == message) found.push_back(m);
  }
  return found;
}

std::vector<WAVEHDR*> CallbackThread::done() const {
  std::vector<WAVEHDR*> headers;
  for (const MSG& m : received(MM_WOM_DONE))
    headers.push_back(reinterpret_cast<WAVEHDR*>(m.lParam));
  return headers;
}
