// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a command and records what it cost, for scripts/bench:
//   rtplayer_measure RESULT_FILE COMMAND [ARG...]
// appends "user_seconds system_seconds peak_rss_kib wall_seconds voluntary_switches" to
// RESULT_FILE (the switches of all the command's threads) and exits with the command's status. The
// command's own output passes through untouched.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>

extern char** environ;

namespace {

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: rtplayer_measure RESULT_FILE COMMAND [ARG...]\n");
    return 2;
  }
  const auto started = std::chrono::steady_clock::now();
  pid_t child = -1;
  if (posix_spawnp(&child, argv[2], nullptr, nullptr, argv + 2, environ) != 0) {
    std::perror(argv[2]);
    return 127;
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) {
    std::perror("wait4");
    return 1;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  std::FILE* out = std::fopen(argv[1], "a");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  // ru_maxrss is in KiB on Linux.
  std::fprintf(out, "%.6f %.6f %ld %.6f %ld\n", Seconds(usage.ru_utime), Seconds(usage.ru_stime),
               usage.ru_maxrss, wall, usage.ru_nvcsw);
  std::fclose(out);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
