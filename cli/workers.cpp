// SPDX-License-Identifier: GPL-3.0-or-later
#include "workers.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace {

void CloseAll(std::initializer_list<int> fds) {
  for (const int fd : fds) {
    if (fd >= 0) close(fd);
  }
}

}  // namespace

bool StartWorker(const std::vector<std::string>& arguments, WorkerProcess* worker) {
  int reports[2] = {-1, -1};
  int messages[2] = {-1, -1};
  // Close-on-exec: the worker keeps only the ends it was given as 1 and 2, and no worker holds
  // another's pipe open past that one's end.
  if (pipe2(reports, O_CLOEXEC) != 0 || pipe2(messages, O_CLOEXEC) != 0) {
    const int error = errno;
    CloseAll({reports[0], reports[1], messages[0], messages[1]});
    errno = error;
    return false;
  }
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
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
  CloseAll({reports[1], messages[1]});
  if (result != 0) {
    CloseAll({reports[0], messages[0]});
    worker->pid = -1;
    errno = result;
    return false;
  }
  fcntl(reports[0], F_SETFL, O_NONBLOCK);
  fcntl(messages[0], F_SETFL, O_NONBLOCK);
  worker->reports = reports[0];
  worker->messages = messages[0];
  return true;
}

int ReapWorker(WorkerProcess* worker, bool* killed) {
  int status = 0;
  pid_t reaped;
  while ((reaped = waitpid(worker->pid, &status, 0)) < 0 && errno == EINTR) {
  }
  worker->pid = -1;
  *killed = false;
  if (reaped < 0) return -1;
  *killed = WIFSIGNALED(status);
  return *killed ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
