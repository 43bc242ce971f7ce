// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/monitor_recorder.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "support/sound_stack.h"

extern char** environ;

MonitorRecorder::MonitorRecorder(const std::string& sink, const std::string& server) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  const std::string device = "--device=" + sink + ".monitor";
  const std::string serverOption = "--server=" + (server.empty() ? MonitorServer() : server);
  const char* argv[] = {"parec",        serverOption.c_str(), device.c_str(),
                        "--raw",        "--format=s16le",     "--rate=44100",
                        "--channels=2", "--latency-msec=20",  nullptr};
  if (posix_spawnp(&pid_, "parec", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  input_ = fds[0];
  reader_ = std::thread([this] { Read(); });
}

MonitorRecorder::~MonitorRecorder() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  reader_.join();  // parec's end closes the pipe
  close(input_);
}

void MonitorRecorder::Read() {
  uint8_t bytes[4096];
  size_t carried = 0;  // the bytes of a frame waiting for the rest of it
  for (;;) {
    const ssize_t got = read(input_, bytes + carried, sizeof bytes - carried);
    if (got < 0 && errno == EINTR) continue;
    std::lock_guard lock(lock_);
    if (got <= 0) {
      ended_ = true;
      arrived_.notify_all();
      return;
    }
    const size_t total = carried + static_cast<size_t>(got);
    for (size_t i = 0; i + 3 < total; i += 4) {
      samples_.push_back(static_cast<int16_t>(bytes[i] | bytes[i + 1] << 8));
    }
    carried = total % 4;
    std::memmove(bytes, bytes + total - carried, carried);
    arrived_.notify_all();
  }
}

size_t MonitorRecorder::count() const {
  std::lock_guard lock(lock_);
  return samples_.size();
}

bool MonitorRecorder::waitFor(size_t count) const {
  std::unique_lock lock(lock_);
  return arrived_.wait_for(lock, std::chrono::seconds(20), [&] {
    return ended_ || samples_.size() >= count;
  }) && samples_.size() >= count;
}

bool MonitorRecorder::waitForSilence(size_t frames) const {
  std::unique_lock lock(lock_);
  return arrived_.wait_for(lock, std::chrono::seconds(20), [&] {
    if (ended_ || samples_.size() < frames) return ended_;
    return std::all_of(samples_.end() - static_cast<ptrdiff_t>(frames), samples_.end(),
                       [](int16_t sample) { return sample == 0; });
  }) && !ended_;
}

bool MonitorRecorder::waitForQuiet(size_t frames) {
  const bool quiet = waitForSilence(frames);
  std::lock_guard lock(lock_);
  samples_.clear();
  return quiet;
}

bool MonitorRecorder::waitForSound(int level) const {
  std::unique_lock lock(lock_);
  return arrived_.wait_for(lock, std::chrono::seconds(20), [&] {
    return ended_ || std::any_of(samples_.begin(), samples_.end(),
                                 [level](int16_t sample) { return std::abs(sample) > level; });
  }) && !ended_;
}

std::vector<int16_t> MonitorRecorder::samples() const {
  std::lock_guard lock(lock_);
  return samples_;
}
