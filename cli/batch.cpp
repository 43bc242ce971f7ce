// SPDX-License-Identifier: GPL-3.0-or-later
#include "batch.h"

#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "collect_files.h"
#include "output_names.h"
#include "progress_line.h"
#include "terminal_name.h"
#include "worker_report.h"
#include "workers.h"

namespace {

using Clock = std::chrono::steady_clock;

// Ten redraws a second at most.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

enum class Verdict { kPending, kRunning, kPlayed, kFailed, kStopped };

struct Job {
  BatchEntry entry;
  OutputName output;  // --output-dir
  WorkerProcess worker;
  std::string held;        // messages not written yet: a file before this one is under way
  std::string reportLine;  // the start of a report line
  double played = 0;       // seconds, as last reported
  double total = 0;
  Verdict verdict = Verdict::kPending;
};

int Processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<int>(online) : 1;
}

void WriteAll(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // standard error gone: nothing else to tell
    at += static_cast<size_t>(n);
  }
}

size_t TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

class Batch {
 public:
  Batch(const CliOptions& options, std::vector<BatchEntry> entries, int signals)
      : options_(options), signals_(signals), progressLine_(isatty(STDERR_FILENO) != 0) {
    if (!options.outputDir.empty()) names_.emplace(options.outputDir);
    jobs_.reserve(entries.size());
    for (BatchEntry& entry : entries) {
      workTotal_ += static_cast<double>(entry.size);
      jobs_.push_back(Job{std::move(entry), {}, {}, {}, {}});
      Job& job = jobs_.back();
      if (names_ && job.entry.folderError == 0) job.output = names_->Choose(job.entry.path);
    }
    const int wanted = options.jobs > 0 ? options.jobs : Processors();
    slots_ = static_cast<size_t>(wanted);
  }

  int Run() {
    if (progressLine_) DrawProgress();
    for (;;) {
      while (!interrupted_ && running_.size() < slots_ && next_ < jobs_.size()) Launch(next_++);
      WriteInOrder();
      if (running_.empty()) break;
      Wait();
    }
    ClearProgress();
    std::printf("%s\n", FormatSummary(played_, failed_, stopped_, audioPlayed_,
                                      std::chrono::duration<double>(Clock::now() - began_).count())
                            .c_str());
    std::fflush(stdout);
    if (interrupted_) return 130;
    return failed_ + stopped_ == 0 ? 0 : 1;
  }

 private:
  void Launch(size_t index) {
    Job& job = jobs_[index];
    if (job.entry.folderError != 0) {
      job.held = "rtplayer-cli: " + TerminalName(job.entry.path) + ": cannot read the folder (" +
                 std::strerror(job.entry.folderError) + ")\n";
      Settle(job, Verdict::kFailed);
      return;
    }
    std::string target = "/dev/null";
    if (names_) {
      if (!names_->Take(&job.output)) {
        job.held = "rtplayer-cli: " + TerminalName(job.entry.path) + ": cannot make " +
                   TerminalName(job.output.path) + " (" + std::strerror(errno) + ")\n";
        Settle(job, Verdict::kFailed);
        return;
      }
      target = job.output.path;
    }
    std::vector<std::string> arguments{"--worker", progressLine_ ? "progress" : "end"};
    if (options_.verbose) arguments.emplace_back("-v");
    arguments.insert(arguments.end(), {"--output", target, "--", job.entry.path});
    if (!StartWorker(arguments, &job.worker)) {
      job.held = "rtplayer-cli: " + TerminalName(job.entry.path) + ": cannot start a worker (" +
                 std::strerror(errno) + ")\n";
      ReleaseOutputName(job.output);
      Settle(job, Verdict::kFailed);
      return;
    }
    job.verdict = Verdict::kRunning;
    running_.push_back(index);
  }

  // Waits for a worker's output, its end, a signal, or the time of the next redraw.
  void Wait() {
    std::vector<pollfd> fds{{signals_, POLLIN, 0}};
    std::vector<size_t> owners{0};
    for (const size_t index : running_) {
      const Job& job = jobs_[index];
      for (const int fd : {job.worker.reports, job.worker.messages}) {
        if (fd < 0) continue;
        fds.push_back({fd, POLLIN, 0});
        owners.push_back(index);
      }
    }
    int timeout = -1;
    if (progressLine_ && progressChanged_) {
      const auto due = lastDraw_ + kRedrawInterval - Clock::now();
      timeout = std::max<int>(
          0, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due).count()));
    }
    if (poll(fds.data(), fds.size(), timeout) < 0) return;  // EINTR: nothing to do
    // The signal first: no worker is started once it has come.
    if (fds[0].revents != 0) TakeSignal();
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Job& job = jobs_[owners[i]];
      if (fds[i].fd == job.worker.reports) {
        ReadReports(job);
      } else {
        ReadMessages(job);
      }
      if (job.worker.reports < 0 && job.worker.messages < 0) Reap(owners[i]);
    }
    if (progressLine_ && progressChanged_ && Clock::now() >= lastDraw_ + kRedrawInterval) {
      DrawProgress();
    }
  }

  void TakeSignal() {
    signalfd_siginfo info{};
    if (read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return;
    interrupted_ = true;
    // Each worker stops its file as rtplayer-cli does on the signal, so its output holds what
    // was played.
    for (const size_t index : running_) {
      kill(jobs_[index].worker.pid, static_cast<int>(info.ssi_signo));
    }
  }

  // Reads what is there; at the end of the pipe, closes it.
  static void Drain(int* fd, std::string* into) {
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(*fd, buffer, sizeof buffer);
      if (n > 0) {
        into->append(buffer, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      close(*fd);
      *fd = -1;
      return;
    }
  }

  void ReadReports(Job& job) {
    Drain(&job.worker.reports, &job.reportLine);
    size_t end;
    while ((end = job.reportLine.find('\n')) != std::string::npos) {
      WorkerReport report{};
      if (ParseWorkerReport(job.reportLine.substr(0, end), &report)) {
        job.played = report.played;
        if (!report.final) job.total = report.total;
        progressChanged_ = true;
      }
      job.reportLine.erase(0, end + 1);
    }
  }

  void ReadMessages(Job& job) {
    Drain(&job.worker.messages, &job.held);
    if (&job == &jobs_[shown_]) WriteHeld(job, false);
  }

  void Reap(size_t index) {
    Job& job = jobs_[index];
    bool killed = false;
    const int status = ReapWorker(&job.worker, &killed);
    running_.erase(std::find(running_.begin(), running_.end(), index));
    Verdict verdict = Verdict::kFailed;
    if (status == 0) {
      verdict = Verdict::kPlayed;
    } else if (status == 130 ||
               (killed && interrupted_ &&
                (status == 128 + SIGINT || status == 128 + SIGTERM || status == 128 + SIGHUP))) {
      // Stopped, or ended by the signal before it could take it: what it wrote is in place.
      verdict = Verdict::kStopped;
    } else if (killed) {
      job.held += "rtplayer-cli: " + TerminalName(job.entry.path) + ": the worker was killed (" +
                  strsignal(status - 128) + ")\n";
    } else if (status != 1 && status != 2) {
      job.held += "rtplayer-cli: " + TerminalName(job.entry.path) +
                  ": the worker ended with status " + std::to_string(status) + "\n";
    }
    ReleaseOutputName(job.output);
    Settle(job, verdict);
  }

  void Settle(Job& job, Verdict verdict) {
    job.verdict = verdict;
    switch (verdict) {
      case Verdict::kPlayed:
        ++played_;
        audioPlayed_ += job.played;
        break;
      case Verdict::kStopped:
        ++stopped_;
        break;
      default:
        ++failed_;
    }
    audioSettled_ += job.played;
    workSettled_ += static_cast<double>(job.entry.size);
    ++settled_;
    progressChanged_ = true;
  }

  // Writes, in file order, the messages of every file whose turn has come: all of a file that
  // has ended, the whole lines so far of the first that has not.
  void WriteInOrder() {
    while (shown_ < next_) {
      Job& job = jobs_[shown_];
      const bool ended = job.verdict != Verdict::kRunning;
      WriteHeld(job, ended);
      if (!ended) return;
      ++shown_;
    }
  }

  void WriteHeld(Job& job, bool all) {
    const size_t length = all ? job.held.size() : job.held.rfind('\n') + 1;
    if (length == 0 || length > job.held.size()) return;
    ClearProgress();
    WriteAll(STDERR_FILENO, job.held.substr(0, length));
    job.held.erase(0, length);
    if (all) job.held.shrink_to_fit();
    progressChanged_ = true;
  }

  BatchProgress Progress() const {
    BatchProgress progress;
    progress.filesDone = settled_;
    progress.filesTotal = jobs_.size();
    progress.audioSeconds = audioSettled_;
    progress.work = workSettled_;
    progress.workTotal = workTotal_;
    for (const size_t index : running_) {
      const Job& job = jobs_[index];
      progress.audioSeconds += job.played;
      if (job.total > 0 && job.played < job.total) {
        progress.work += static_cast<double>(job.entry.size) * job.played / job.total;
      }
    }
    return progress;
  }

  void DrawProgress() {
    const auto now = Clock::now();
    const BatchProgress progress = Progress();
    pace_.Add(std::chrono::duration<double>(now - began_).count(), progress);
    WriteAll(STDERR_FILENO,
             "\r\033[K" + FormatProgressLine(progress, pace_, TerminalColumns() - 1));
    lineDrawn_ = true;
    lastDraw_ = now;
    progressChanged_ = false;
  }

  void ClearProgress() {
    if (lineDrawn_) WriteAll(STDERR_FILENO, "\r\033[K");
    lineDrawn_ = false;
  }

  const CliOptions& options_;
  const int signals_;
  const bool progressLine_;
  const Clock::time_point began_ = Clock::now();
  std::optional<OutputNames> names_;  // --output-dir
  std::vector<Job> jobs_;
  size_t slots_ = 1;
  size_t next_ = 0;              // the first job not started
  size_t shown_ = 0;             // the first job whose messages are not all written
  std::vector<size_t> running_;  // the jobs under way, by index
  size_t settled_ = 0;
  size_t played_ = 0;
  size_t failed_ = 0;
  size_t stopped_ = 0;
  double audioPlayed_ = 0;   // of the files that played
  double audioSettled_ = 0;  // of every file that ended
  double workSettled_ = 0;
  double workTotal_ = 0;
  bool interrupted_ = false;
  bool progressChanged_ = false;
  bool lineDrawn_ = false;
  Clock::time_point lastDraw_;
  BatchPace pace_;
};

// The output folder, made when it is not there yet (its parent must be).
bool ReadyOutputFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0777) == 0) return true;
  struct stat status {};
  if (errno == EEXIST && stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    return true;
  }
  if (errno == EEXIST) errno = ENOTDIR;
  std::fprintf(stderr, "rtplayer-cli: %s: cannot make the output folder (%s)\n",
               TerminalName(folder).c_str(), std::strerror(errno));
  return false;
}

}  // namespace

int RunBatch(const CliOptions& options) {
  if (!options.outputDir.empty() && !ReadyOutputFolder(options.outputDir)) return 1;
  // Before the signals are taken: a search that takes long ends at once on Ctrl-C, with
  // nothing written yet.
  std::vector<BatchEntry> entries = CollectFiles(options.files);
  // Workers are reaped by waiting for them: an inherited "ignore" would reap them unseen.
  std::signal(SIGCHLD, SIG_DFL);
  sigset_t taken;
  sigemptyset(&taken);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&taken, signal);
  sigprocmask(SIG_BLOCK, &taken, nullptr);
  const int signals = signalfd(-1, &taken, SFD_CLOEXEC);
  if (signals < 0) {
    std::fprintf(stderr, "rtplayer-cli: cannot wait for signals (%s)\n", std::strerror(errno));
    return 1;
  }
  Batch batch(options, std::move(entries), signals);
  const int status = batch.Run();
  close(signals);
  return status;
}
