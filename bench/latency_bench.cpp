// SPDX-License-Identifier: GPL-3.0-or-later
// How soon a playback is heard after it starts, and how soon it falls silent after a stop,
// measured where the sound comes out: the monitor of the PulseAudio sink that the engine
// plays on, recorded with parec while the engine runs in this process.
//   latency_bench FILE.wav ENTRY MONITOR_SOURCE RUNS
// FILE must be loud from its first sample and last a few seconds. Prints one line per run,
// "start_ms stop_ms finish_ms": from the call that starts the playback (which runs
// StartPlayback right after creating the playback thread) to the first loud sample at the
// sink, from the stop to the last loud sample, and how long the finish's handling kept the
// front end's thread; then "end finish_ms" for one playback left to run to its end, where an
// output that drained at its close would keep the front end waiting.
//
// The monitor's samples are put on this process's clock by the earliest arrival of each, once
// the recording has settled: a sample can arrive late, never early, so the figures are high by
// at most the monitor's shortest delivery delay (a few ms at the latency asked for). The sink
// must not render ahead of time (scripts/bench keeps a 5 ms stream playing on it).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "engine/engine.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 44100;
constexpr int kLoud = 2000;  // of 32767; the null sink's silence is exact zeros
constexpr double kSettleSeconds = 0.25;

uint32_t frontEndThread = 0;
int outputEntry = 0;

void PrintMessage(void*, const char* text) {
  std::fprintf(stderr, "%s\n", text);
}
int SelectedEntry(void*) {
  return outputEntry;
}
void Nothing(void*) {}
void Post(void*, uint32_t message) {
  PostFrontEndMessage(frontEndThread, message);
}

const FrontEnd kBenchPort{nullptr, &PrintMessage, &SelectedEntry, &Nothing, &Nothing, &Post};

double Since(Clock::time_point origin, Clock::time_point t) {
  return std::chrono::duration<double>(t - origin).count();
}

// Records a source as 16-bit mono and notes the first and last loud sample.
class MonitorRecorder {
 public:
  explicit MonitorRecorder(const char* source) : origin_(Clock::now()) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const std::string device = std::string("--device=") + source;
    const char* argv[] = {
        "parec",        device.c_str(),     "--raw", "--format=s16le", "--rate=44100",
        "--channels=1", "--latency-msec=5", nullptr};
    if (posix_spawnp(&child_, "parec", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      std::perror("parec");
      std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    input_ = fds[0];
    reader_ = std::thread([this] { Read(); });
  }

  ~MonitorRecorder() {
    kill(child_, SIGTERM);
    reader_.join();
    close(input_);
    waitpid(child_, nullptr, 0);
  }

  // Seconds since construction at which the first (last) loud sample so far sounded;
  // negative when none has.
  double firstLoud() const { return TimeOf(firstLoud_.load()); }
  double lastLoud() const { return TimeOf(lastLoud_.load()); }
  double now() const { return Since(origin_, Clock::now()); }

  // Waits until `seconds` of sound have arrived since the recording settled (as many as the
  // clock would put them at), or the recording has ended.
  void waitForSettled(double seconds) {
    std::unique_lock lock(lock_);
    arrived_.wait(lock,
                  [&] { return ended_ || settled_ >= static_cast<int64_t>(seconds * kRate); });
  }
  // Waits until `seconds` more of sound than have arrived so far have arrived, or the
  // recording has ended.
  void waitForMore(double seconds) {
    std::unique_lock lock(lock_);
    const int64_t wanted = received_ + static_cast<int64_t>(seconds * kRate);
    arrived_.wait(lock, [&] { return ended_ || received_ >= wanted; });
  }

 private:
  double TimeOf(int64_t index) const {
    return index < 0 ? -1.0 : offset_.load() + static_cast<double>(index) / kRate;
  }

  void Read() {
    int16_t samples[256];
    int64_t received = 0;
    double offset = 1e9;
    for (;;) {
      const ssize_t n = read(input_, samples, sizeof samples);
      if (n <= 0) break;
      const double arrived = now();
      const int64_t count = n / 2;
      for (int64_t i = 0; i < count; ++i) {
        if (std::abs(samples[i]) < kLoud) continue;
        if (firstLoud_.load() < 0) firstLoud_.store(received + i);
        lastLoud_.store(received + i);
      }
      received += count;
      // The first delivery may bring samples the sink rendered before the recording began.
      const bool settled = arrived >= kSettleSeconds;
      if (settled) {
        offset = std::min(offset, arrived - static_cast<double>(received) / kRate);
        offset_.store(offset);
      }
      {
        std::lock_guard lock(lock_);
        received_ = received;
        if (settled) settled_ += count;
      }
      arrived_.notify_all();
    }
    std::lock_guard lock(lock_);
    ended_ = true;
    arrived_.notify_all();
  }

  const Clock::time_point origin_;
  pid_t child_ = -1;
  int input_ = -1;
  std::thread reader_;
  std::atomic<double> offset_{0.0};
  std::atomic<int64_t> firstLoud_{-1};
  std::atomic<int64_t> lastLoud_{-1};
  std::mutex lock_;
  std::condition_variable arrived_;
  // Guarded by lock_: samples received in all, those that arrived once settled, and whether
  // parec has ended.
  int64_t received_ = 0;
  int64_t settled_ = 0;
  bool ended_ = false;
};

// Takes the front end's messages until the playback has finished; returns how long the
// finish's handling kept the front end's thread, in ms.
double WaitForFinish() {
  for (uint32_t message;
       (message = WaitFrontEndMessage()) != 0 && message != WM_PLAYBACK_FINISHED;) {
  }
  const auto began = Clock::now();
  FinishPlayback();
  return std::chrono::duration<double, std::milli>(Clock::now() - began).count();
}

bool MeasureOnce(const char* source) {
  MonitorRecorder monitor(source);
  // A quarter of a second recorded once settled puts the recording on this clock before
  // anything sounds.
  monitor.waitForSettled(kSettleSeconds);
  if (monitor.firstLoud() >= 0) {
    std::fprintf(stderr, "latency_bench: the sink is not silent before the start\n");
    return false;
  }
  const double started = monitor.now();
  if (!LaunchPlayback()) return false;
  if (!PlaybackPlaying()) {
    WaitForFinish();
    return false;
  }
  // How long it plays before the stop: a length of sound, not a wait for anything.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const double stopped = monitor.now();
  StopPlayback();
  const double finish = WaitForFinish();
  // Once half a second more has been recorded since the finish, the last loud sample is in.
  monitor.waitForMore(0.5);
  const double first = monitor.firstLoud();
  const double last = monitor.lastLoud();
  if (first < 0 || last < 0) {
    std::fprintf(stderr, "latency_bench: nothing was heard on %s\n", source);
    return false;
  }
  std::printf("%.1f %.1f %.1f\n", (first - started) * 1000, (last - stopped) * 1000, finish);
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: latency_bench FILE.wav ENTRY MONITOR_SOURCE RUNS\n");
    return 2;
  }
  outputEntry = std::atoi(argv[2]);
  frontEndThread = CreateFrontEndQueue();
  AttachFrontEnd(&kBenchPort);
  if (!SetFileToPlay(argv[1])) return 2;
  for (int run = std::atoi(argv[4]); run > 0; --run) {
    if (!MeasureOnce(argv[3])) return 1;
  }
  // The finish of a playback that ran to the end of its file, where an output that drains
  // at its close would keep the front end waiting.
  if (!LaunchPlayback()) return 1;
  std::printf("end %.1f\n", WaitForFinish());
  return 0;
}
