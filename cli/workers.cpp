// SPDX-License-Identifier: GPL-3.0-or-later
#include "workers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "worker_report.h"

extern char** environ;

namespace {

void CloseAll(std::initializer_list<int> fds) {
  for (const int fd : fds) {
    if (fd >= 0) close(fd);
  }
}

}  // namespace

bool StartWorker(const std::vector<std::string>& arguments, WorkerProcess* worker) {
  int input[2] = {-1, -1};
  int reports[2] = {-1, -1};
  int messages[2] = {-1, -1};
  // Close-on-exec: the worker keeps only the ends it was given as 0, 1 and 2, so no worker holds
  // another's pipe open past that one's end, and only the batch holds a worker's input.
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(reports, O_CLOEXEC) != 0 ||
      pipe2(messages, O_CLOEXEC) != 0) {
    const int error = errno;
    CloseAll({input[0], input[1], reports[0], reports[1], messages[0], messages[1]});
    errno = error;
    return false;
  }
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&files, reports[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&files, messages[1], STDERR_FILENO);
  // The batch blocks the signals it waits for; a worker takes them as rtplayer-cli does.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> argv{const_cast<char*>("rtplayer-cli")};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const int result =
      posix_spawn(&worker->pid, "/proc/self/exe", &files, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
  CloseAll({input[0], reports[1], messages[1]});
  if (result != 0) {
    CloseAll({input[1], reports[0], messages[0]});
    worker->pid = -1;
    errno = result;
    return false;
  }
  fcntl(reports[0], F_SETFL, O_NONBLOCK);
  fcntl(messages[0], F_SETFL, O_NONBLOCK);
  worker->files = input[1];
  worker->reports = reports[0];
  worker->messages = messages[0];
  return true;
}

bool SendWorkerFile(WorkerProcess* worker, const std::string& output, const std::string& file) {
  // The worker has no file, so it is reading: a write longer than the pipe holds waits only
  // for that.
  const std::string fields = WorkerFile(output, file);
  for (size_t at = 0; at < fields.size();) {
    const ssize_t n = write(worker->files, fields.data() + at, fields.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    at += static_cast<size_t>(n);
  }
  return true;
}

void CloseWorkerInput(WorkerProcess* worker) {
  if (worker->files >= 0) close(worker->files);
  worker->files = -1;
}

int ReapWorker(WorkerProcess* worker, bool* killed) {
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(worker->pid, &status, 0)) < 0 && errno == EINTR) {
  }
  worker->pid = -1;
  CloseWorkerInput(worker);
  *killed = false;
  if (reaped < 0) return -1;
  *killed = WIFSIGNALED(status);
  return *killed ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
