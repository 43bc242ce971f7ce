// SPDX-License-Identifier: GPL-3.0-or-later
#include "player_state.h"

#include <atomic>
#include <cstring>
#include <string>

#include "engine.h"
#include "platform/diagnostics.h"

PlayerState player;

uint32_t LoadFlags() {
  return std::atomic_ref(player.flags).load();
}

void SetFlagBits(uint32_t bits) {
  std::atomic_ref(player.flags).fetch_or(bits);
}

void ClearFlags() {
  std::atomic_ref(player.flags).store(0);
}

int32_t LoadBuffersLive() {
  return std::atomic_ref(player.deviceBuffersLive).load();
}

int32_t AddBuffersLive(int32_t delta) {
  return std::atomic_ref(player.deviceBuffersLive).fetch_add(delta) + delta;
}

bool FailureShown() {
  return std::atomic_ref(player.failureShown).load() != 0;
}

void ForgetFailures() {
  std::atomic_ref(player.failureShown).store(0);
}

uint32_t RoundUp(uint32_t value, uint32_t step) {
  const uint32_t t = value + step - 1;
  return t - t % step;
}

uint32_t BytesForDuration(const WAVEFORMATEX& format, uint32_t milliseconds) {
  const uint32_t bytes = (milliseconds * format.nAvgBytesPerSec + 500) / 1000;
  return RoundUp(bytes, format.nBlockAlign);
}

void RequestStop() {
  // The bit goes first, so no buffer that the reset returns can be refilled.
  SetFlagBits(FLAG_STOPPING);
  if (player.waveOutHandle != nullptr) waveOutReset(player.waveOutHandle);
}

namespace {

// The reason of the message being shown on this thread, while its front end shows it.
thread_local int shownReason = 0;

}  // namespace

void ShowError(const char* text) {
  std::atomic_ref(player.failureShown).store(1);
  shownReason = TakeSystemError();
  player.frontEndPort->showError(player.frontEndPort->context, text);
  shownReason = 0;
}

std::string ShownFailureReason() {
  return shownReason != 0 ? std::strerror(shownReason) : std::string();
}
