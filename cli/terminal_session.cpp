// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal_session.h"

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "status_line.h"
#include "terminal_name.h"
#include "worker_report.h"

namespace {

// Messages of the terminal's own, posted to the main thread next to WM_PLAYBACK_FINISHED.
constexpr uint32_t WM_CLI_INTERRUPT = 0x8001;
constexpr uint32_t WM_CLI_TICK = 0x8002;

struct Terminal {
  uint32_t mainThreadId = 0;
  // The file the engine is working on, as its messages name it (TerminalName). Set by the main
  // thread before a playback's thread exists and kept until its finish has been handled.
  std::string file;
  int entry = 0;
  WorkerReports worker = WorkerReports::kNone;
  bool statusLine = false;  // standard error is a terminal
  std::mutex outputLock;    // both threads write to standard error
  std::atomic<int> errorsShown{0};
  bool lineDrawn = false;  // guarded by outputLock
};

Terminal terminal;

void ClearStatusLocked() {
  if (terminal.lineDrawn) std::fputs("\r\033[K", stderr);
  terminal.lineDrawn = false;
}

std::atomic<bool> signalled{false};  // a signal has asked for the end

void ShowMessage(void*, const char* text) {
  // A start that a signal cut short fails; the user asked for the end, not for its reason.
  if (signalled.load()) return;
  std::lock_guard lock(terminal.outputLock);
  ClearStatusLocked();
  // The system's reason, where there is one, as cp and its kind give it.
  const std::string reason = ShownFailureReason();
  std::fprintf(stderr, "rtplayer-cli: %s: %s%s\n", terminal.file.c_str(), text,
               reason.empty() ? "" : (" (" + reason + ")").c_str());
  terminal.errorsShown.fetch_add(1);
}

int SelectedEntry(void*) {
  return terminal.entry;
}

// A terminal has no File control to enable: the next file simply follows.
void EnableFileControl(void*) {}
void ShowPlaying(void*) {}

void Post(void*, uint32_t message) {
  PostFrontEndMessage(terminal.mainThreadId, message);
}

const FrontEnd kTerminalPort{nullptr,      &ShowMessage, &SelectedEntry, &EnableFileControl,
                             &ShowPlaying, &Post};

size_t TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

void DrawStatus(const std::string& file, double elapsed) {
  const PlaybackDescription playing = DescribePlayback();
  const std::string line = FormatStatusLine(file, playing.source, playing.output,
                                            elapsed < playing.seconds ? elapsed : playing.seconds,
                                            playing.seconds, TerminalColumns() - 1);
  std::lock_guard lock(terminal.outputLock);
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  terminal.lineDrawn = true;
}

// Turns SIGINT, SIGTERM and SIGHUP into a message for the main thread, so the stop runs there
// as Stop does in the dialog (nothing of the engine is safe in a signal handler). While the
// signals are blocked no handler of any library can run for them.
class SignalForwarder {
 public:
  SignalForwarder() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGHUP);
    sigaddset(&signals_, SIGUSR1);
    // Blocked before any other thread exists, so every thread inherits the mask.
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    thread_ = std::thread([this] { Run(); });
  }
  ~SignalForwarder() {
    quitting_.store(true);
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
  }
  bool interrupted() const { return signalled.load(); }

 private:
  void Run() {
    for (;;) {
      int signal = 0;
      sigwait(&signals_, &signal);
      if (quitting_.load()) return;
      if (signal == SIGUSR1) continue;
      signalled.store(true);
      // A device's open may keep the main thread for its whole bound: it gives up now.
      AbandonDeviceOpens();
      PostFrontEndMessage(terminal.mainThreadId, WM_CLI_INTERRUPT);
    }
  }

  sigset_t signals_;
  std::atomic<bool> quitting_{false};
  std::thread thread_;
};

// Posts a tick to the main thread four times a second while the status line is shown.
class Ticker {
 public:
  Ticker() : thread_([this] { Run(); }) {}
  ~Ticker() {
    {
      std::lock_guard lock(lock_);
      quitting_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void Run() {
    std::unique_lock lock(lock_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return quitting_; })) {
      PostFrontEndMessage(terminal.mainThreadId, WM_CLI_TICK);
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  bool quitting_ = false;
  std::thread thread_;
};

// Plays one file to its finish. False when a message was shown for it. *played: the seconds
// it played.
bool PlayOne(const std::string& file, double* played = nullptr) {
  const int errorsBefore = terminal.errorsShown.load();
  terminal.file = TerminalName(file);
  if (!SetFileToPlay(file) || !LaunchPlayback()) return false;

  const auto started = std::chrono::steady_clock::now();
  for (uint32_t message;
       (message = WaitFrontEndMessage()) != 0 && message != WM_PLAYBACK_FINISHED;) {
    if (message == WM_CLI_INTERRUPT && PlaybackPlaying()) {
      StopPlayback();
    } else if (message == WM_CLI_TICK && terminal.worker != WorkerReports::kNone) {
      if (PlaybackPlaying()) ReportPosition(PlaybackSecondsPlayed(), DescribePlayback().seconds);
    } else if (message == WM_CLI_TICK && PlaybackPlaying() && !PlaybackStopping()) {
      DrawStatus(terminal.file,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
  }
  if (played != nullptr) *played = PlaybackSecondsPlayed();
  FinishPlayback();
  {
    std::lock_guard lock(terminal.outputLock);
    ClearStatusLocked();
  }
  return terminal.errorsShown.load() == errorsBefore;
}

}  // namespace

void PrintDeviceList() {
  const std::vector<std::string> entries = OutputEntryTexts();
  for (size_t entry = 0; entry < entries.size(); ++entry) {
    std::printf("%zu\t%s\n", entry, entries[entry].c_str());
  }
}

int PlayFiles(const CliOptions& options) {
  terminal.mainThreadId = CreateFrontEndQueue();
  terminal.entry = options.device;
  terminal.statusLine = isatty(STDERR_FILENO) != 0;
  terminal.worker = options.worker;
  AttachFrontEnd(&kTerminalPort);
  if (!options.outputPath.empty()) {
    terminal.file = TerminalName(options.outputPath);
    if (!SetOutputFile(options.outputPath)) return 1;
  }

  SignalForwarder signals;
  std::optional<Ticker> ticker;
  if (terminal.statusLine || options.worker == WorkerReports::kProgress) ticker.emplace();

  // A signal that finds no playback running (during a start, or between two files) ends the
  // run before the next file, as one that stops a playback does.
  bool allPlayed = true;
  for (const std::string& file : options.files) {
    if (signals.interrupted()) break;
    allPlayed = PlayOne(file) && allPlayed;
  }
  ticker.reset();
  if (signals.interrupted()) return 130;
  return allPlayed ? 0 : 1;
}

int ServeWorkerFiles(const CliOptions& options) {
  terminal.mainThreadId = CreateFrontEndQueue();
  terminal.worker = options.worker;
  AttachFrontEnd(&kTerminalPort);

  SignalForwarder signals;
  std::optional<Ticker> ticker;
  if (options.worker == WorkerReports::kProgress) ticker.emplace();

  std::string output;
  std::string file;
  while (!signals.interrupted() && ReadWorkerFile(&output, &file)) {
    double played = 0;
    terminal.file = TerminalName(output);
    const bool ok = SetOutputFile(output) && PlayOne(file, &played);
    ReportDone(signals.interrupted() ? 130 : (ok ? 0 : 1), played, CodecModuleLoaded());
  }
  ticker.reset();
  return signals.interrupted() ? 130 : 0;
}
