// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <iterator>

extern char** environ;

namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outputPrefix,
                           std::initializer_list<int> blocked)
    : prefix_(outputPrefix) {
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&files, 1, (prefix_ + ".out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, (prefix_ + ".err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  // The child starts with every signal at its default action and only those asked for
  // blocked, whatever the test runner left ignored (a shell's background job ignores SIGINT).
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all;
  sigset_t mask;
  sigfillset(&all);
  sigemptyset(&mask);
  for (const int signal : blocked) sigaddset(&mask, signal);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], &files, &attributes, args.data(), environ) != 0) pid_ = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&files);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    wait();
  }
}

void ChildProcess::signal(int number) {
  if (pid_ > 0) kill(pid_, number);
}

int ChildProcess::wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  killed_ = !WIFEXITED(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ChildProcess::output() const {
  return Slurp(prefix_ + ".out");
}
std::string ChildProcess::errors() const {
  return Slurp(prefix_ + ".err");
}

int RunToEnd(const std::vector<std::string>& argv, const std::string& outputPrefix,
             std::string* errors) {
  ChildProcess child(argv, outputPrefix);
  const int status = child.wait();
  if (errors != nullptr) *errors = child.errors();
  return status;
}
