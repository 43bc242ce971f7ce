// SPDX-License-Identifier: GPL-3.0-or-later
#include "termination_signals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <csignal>

namespace {

sigset_t TerminationSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void BlockTerminationSignals() {
  const sigset_t set = TerminationSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
  const sigset_t set = TerminationSet();
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    // Without the descriptor the signals end the process by their default action instead.
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    return;
  }
  notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::drain);
}

TerminationSignals::~TerminationSignals() {
  delete notifier_;
  if (fd_ >= 0) close(fd_);
}

void TerminationSignals::drain() {
  signalfd_siginfo info;
  bool any = false;
  while (read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) any = true;
  if (any) emit received();
}
