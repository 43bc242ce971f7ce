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
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "collect_files.h"
#include "module_guess.h"
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

constexpr size_t kNoJob = SIZE_MAX;

struct Job {
  BatchEntry entry;
  OutputName output;  // --output-dir
  std::string held;   // messages not written yet: a file before this one is not done
  double played = 0;  // seconds, as last reported
  double total = 0;
  Verdict verdict = Verdict::kPending;
};

struct Worker {
  WorkerProcess process;   // pid -1 once reaped; files -1 once it is to take no further file
  std::string reportLine;  // the start of a report line
  size_t job = kNoJob;     // the file it converts
  bool module = false;     // it has the codec module loaded, or is loading it for its file
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
      Job job{std::move(entry), {}, {}, 0, 0, Verdict::kPending};
      if (names_ && job.entry.folderError == 0) job.output = names_->Choose(job.entry.path);
      jobs_.push_back(std::move(job));
    }
    // The largest files first, so no long file is left to run alone at the end; the messages
    // keep the files' order all the same.
    std::vector<size_t> order(jobs_.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [this](size_t a, size_t b) {
      return jobs_[a].entry.size > jobs_[b].entry.size;
    });
    for (const size_t index : order) {
      Job& job = jobs_[index];
      if (job.entry.folderError != 0) {
        Fail(job,
             "cannot read the folder (" + std::string(std::strerror(job.entry.folderError)) + ")");
      } else {
        (GuessNeedsCodecModule(job.entry.path) ? moduleFiles_ : otherFiles_).push_back(index);
      }
    }
    const int wanted = options.jobs > 0 ? options.jobs : Processors();
    slots_ = static_cast<size_t>(wanted);
  }

  int Run() {
    if (progressLine_) DrawProgress();
    for (;;) {
      Dispatch();
      WriteInOrder();
      if (workers_.empty()) break;
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
  // Hands files to idle workers, starting workers up to -j, until none is free; then ends the
  // workers that no file is left for.
  void Dispatch() {
    while (!interrupted_ && (!otherFiles_.empty() || !moduleFiles_.empty())) {
      Worker* worker = IdleWorker();
      if (worker == nullptr && workers_.size() < slots_) {
        std::vector<std::string> arguments{"--worker", progressLine_ ? "progress" : "end"};
        if (options_.verbose) arguments.emplace_back("-v");
        Worker started;
        if (!StartWorker(arguments, &started.process)) {
          std::deque<size_t>& files = *FilesFor(started);
          Fail(jobs_[files.front()],
               "cannot start a worker (" + std::string(std::strerror(errno)) + ")");
          files.pop_front();
          continue;
        }
        workers_.push_back(std::move(started));
        worker = &workers_.back();
      }
      if (worker == nullptr) break;
      std::deque<size_t>* files = FilesFor(*worker);
      if (files == nullptr) {
        // No file left needs its module: it ends, and its memory with it; a worker without
        // the module takes its place.
        CloseWorkerInput(&worker->process);
        continue;
      }
      const size_t index = files->front();
      Job& job = jobs_[index];
      if (names_ && job.output.inode == 0 && !names_->Take(&job.output)) {
        Fail(job,
             "cannot make " + TerminalName(job.output.path) + " (" + std::strerror(errno) + ")");
        files->pop_front();
        continue;
      }
      if (!SendWorkerFile(&worker->process, names_ ? job.output.path : "/dev/null",
                          job.entry.path)) {
        // Gone between two files: its end shows at its pipes, and the file goes to another.
        CloseWorkerInput(&worker->process);
        continue;
      }
      files->pop_front();
      job.verdict = Verdict::kRunning;
      worker->job = index;
      worker->module = worker->module || files == &moduleFiles_;
    }
    if (!interrupted_ && (!otherFiles_.empty() || !moduleFiles_.empty())) return;
    for (Worker& worker : workers_) {
      if (worker.job == kNoJob) CloseWorkerInput(&worker.process);
    }
  }

  Worker* IdleWorker() {
    for (Worker& worker : workers_) {
      if (worker.job == kNoJob && worker.process.files >= 0) return &worker;
    }
    return nullptr;
  }

  // The files a worker takes from, the largest first. One that has the codec module takes only
  // the files that need it (null when none is left), so no other file carries its memory; one
  // without takes the others, and those that need the module when no other worker has it or
  // nothing else is left, so the module is loaded as seldom as can be.
  std::deque<size_t>* FilesFor(const Worker& worker) {
    if (worker.module) return moduleFiles_.empty() ? nullptr : &moduleFiles_;
    if (otherFiles_.empty()) return &moduleFiles_;
    const bool moduleWorker = std::any_of(workers_.begin(), workers_.end(), [](const Worker& w) {
      return w.module && w.process.files >= 0;
    });
    if (moduleFiles_.empty() || moduleWorker) return &otherFiles_;
    return jobs_[moduleFiles_.front()].entry.size > jobs_[otherFiles_.front()].entry.size
               ? &moduleFiles_
               : &otherFiles_;
  }

  // Waits for a worker's output, its end, a signal, or the time of the next redraw.
  void Wait() {
    std::vector<pollfd> fds{{signals_, POLLIN, 0}};
    std::vector<size_t> owners{0};
    for (size_t i = 0; i < workers_.size(); ++i) {
      for (const int fd : {workers_[i].process.reports, workers_[i].process.messages}) {
        if (fd < 0) continue;
        fds.push_back({fd, POLLIN, 0});
        owners.push_back(i);
      }
    }
    int timeout = -1;
    if (progressLine_ && progressChanged_) {
      const auto due = lastDraw_ + kRedrawInterval - Clock::now();
      timeout = std::max<int>(
          0, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due).count()));
    }
    if (poll(fds.data(), fds.size(), timeout) < 0) return;  // EINTR: nothing to do
    // The signal first: no file is handed out once it has come.
    if (fds[0].revents != 0) TakeSignal();
    for (size_t i = 1; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Worker& worker = workers_[owners[i]];
      if (fds[i].fd == worker.process.reports) {
        ReadReports(worker);
      } else if (fds[i].fd == worker.process.messages) {
        ReadMessages(worker);
      }
      if (worker.process.reports < 0 && worker.process.messages < 0 && worker.process.pid > 0) {
        Reap(worker);
      }
    }
    workers_.erase(std::remove_if(workers_.begin(), workers_.end(),
                                  [](const Worker& worker) { return worker.process.pid < 0; }),
                   workers_.end());
    if (progressLine_ && progressChanged_ && Clock::now() >= lastDraw_ + kRedrawInterval) {
      DrawProgress();
    }
  }

  void TakeSignal() {
    signalfd_siginfo info{};
    if (read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return;
    interrupted_ = true;
    // Each worker stops its file as rtplayer-cli does on the signal, so its output holds what
    // was played; the idle ones end when Dispatch closes their input.
    for (const Worker& worker : workers_) {
      if (worker.job != kNoJob) kill(worker.process.pid, static_cast<int>(info.ssi_signo));
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

  void ReadReports(Worker& worker) {
    Drain(&worker.process.reports, &worker.reportLine);
    size_t end;
    while ((end = worker.reportLine.find('\n')) != std::string::npos) {
      WorkerReport report{};
      const bool parsed = ParseWorkerReport(worker.reportLine.substr(0, end), &report);
      worker.reportLine.erase(0, end + 1);
      if (!parsed || worker.job == kNoJob) continue;
      Job& job = jobs_[worker.job];
      job.played = report.played;
      progressChanged_ = true;
      if (!report.done) {
        job.total = report.total;
        continue;
      }
      // Its messages were written before this line, so they are in the pipe now.
      ReadMessages(worker);
      worker.job = kNoJob;
      worker.module = report.module;
      ReleaseOutputName(job.output);
      Settle(job, report.status == 0     ? Verdict::kPlayed
                  : report.status == 130 ? Verdict::kStopped
                                         : Verdict::kFailed);
    }
  }

  void ReadMessages(Worker& worker) {
    if (worker.process.messages < 0) return;
    if (worker.job == kNoJob) {
      // Nothing of a file's (a worker writes a file's messages before it reports it done).
      std::string text;
      Drain(&worker.process.messages, &text);
      WriteMessages(text);
      return;
    }
    Job& job = jobs_[worker.job];
    Drain(&worker.process.messages, &job.held);
    if (worker.job == shown_) WriteHeld(job, false);
  }

  // Its pipes have come to their end. A file it had not reported done is its end's doing.
  void Reap(Worker& worker) {
    bool killed = false;
    const int status = ReapWorker(&worker.process, &killed);
    if (worker.job == kNoJob) return;
    Job& job = jobs_[worker.job];
    worker.job = kNoJob;
    Verdict verdict = Verdict::kFailed;
    if (status == 130 ||
        (killed && interrupted_ &&
         (status == 128 + SIGINT || status == 128 + SIGTERM || status == 128 + SIGHUP))) {
      // Ended by the signal before the file started, or before it could take the signal.
      verdict = Verdict::kStopped;
    } else if (killed) {
      job.held += "rtplayer-cli: " + TerminalName(job.entry.path) + ": the worker was killed (" +
                  strsignal(status - 128) + ")\n";
    } else {
      job.held += "rtplayer-cli: " + TerminalName(job.entry.path) +
                  ": the worker ended with status " + std::to_string(status) + "\n";
    }
    ReleaseOutputName(job.output);
    Settle(job, verdict);
  }

  // A file that no worker takes up.
  void Fail(Job& job, const std::string& reason) {
    job.held = "rtplayer-cli: " + TerminalName(job.entry.path) + ": " + reason + "\n";
    Settle(job, Verdict::kFailed);
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
  // has ended, the whole lines so far of the first that has not. After a signal, a file that
  // never started has none.
  void WriteInOrder() {
    while (shown_ < jobs_.size()) {
      Job& job = jobs_[shown_];
      if (job.verdict == Verdict::kPending && !interrupted_) return;
      const bool ended = job.verdict != Verdict::kRunning;
      WriteHeld(job, ended);
      if (!ended) return;
      ++shown_;
    }
  }

  void WriteHeld(Job& job, bool all) {
    const size_t length = all ? job.held.size() : job.held.rfind('\n') + 1;
    if (length == 0 || length > job.held.size()) return;
    WriteMessages(job.held.substr(0, length));
    job.held.erase(0, length);
    if (all) job.held.shrink_to_fit();
  }

  void WriteMessages(const std::string& text) {
    if (text.empty()) return;
    ClearProgress();
    WriteAll(STDERR_FILENO, text);
    progressChanged_ = true;
  }

  BatchProgress Progress() const {
    BatchProgress progress;
    progress.filesDone = settled_;
    progress.filesTotal = jobs_.size();
    progress.audioSeconds = audioSettled_;
    progress.work = workSettled_;
    progress.workTotal = workTotal_;
    for (const Worker& worker : workers_) {
      if (worker.job == kNoJob) continue;
      const Job& job = jobs_[worker.job];
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
  std::vector<Job> jobs_;             // in file order
  // The files not started yet, the largest first: those guessed to need the codec module
  // (module_guess.h) and the others.
  std::deque<size_t> moduleFiles_;
  std::deque<size_t> otherFiles_;
  size_t slots_ = 1;
  size_t shown_ = 0;  // the first job whose messages are not all written
  std::vector<Worker> workers_;
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
  // A worker gone between two files shows as a failed write to its input, not as the batch's
  // end.
  std::signal(SIGPIPE, SIG_IGN);
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
