// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a program for a test, its standard output and error captured in files.
#pragma once

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

class ChildProcess {
 public:
  // Starts argv[0] (a path) with `argv`; output goes to `outputPrefix`.out and .err. The
  // child starts with the `blocked` signals blocked (a signal sent then waits for the program
  // to take it) and every other at its default action.
  ChildProcess(const std::vector<std::string>& argv, const std::string& outputPrefix,
               std::initializer_list<int> blocked = {});
  ~ChildProcess();  // kills and reaps a child still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  void signal(int number);
  // Waits for the exit: the exit status, 128 + the signal's number for a killed child, -1 if
  // it was never started.
  int wait();
  // After wait(): whether a signal ended the child (rather than its own exit).
  bool killed() const { return killed_; }
  // The child's process id while it runs, else -1.
  pid_t pid() const { return pid_; }
  std::string output() const;
  std::string errors() const;

 private:
  pid_t pid_ = -1;
  bool killed_ = false;
  std::string prefix_;
};

// Runs to the end; the exit status as wait() gives it.
int RunToEnd(const std::vector<std::string>& argv, const std::string& outputPrefix,
             std::string* errors = nullptr);
