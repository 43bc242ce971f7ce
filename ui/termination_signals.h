// SPDX-License-Identifier: GPL-3.0-or-later
// SIGTERM, SIGINT and SIGHUP (a logout, `kill`, Ctrl-C in the terminal that started the
// dialog) turned into a Qt signal on the GUI thread, through a signalfd: no handler runs, so
// nothing is done in signal context and no library's handler for them can ever be called.
#pragma once

#include <QObject>

class QSocketNotifier;

// Blocks the three signals in the calling thread. Call first thing in main, before Qt or any
// library makes a thread, so that every thread inherits the mask and the signals can only
// be taken from the signalfd. (Programs started from here inherit the mask too; the dialog
// starts none.)
void BlockTerminationSignals();

// Reports the blocked signals as received(). GUI thread only; BlockTerminationSignals must
// have run.
class TerminationSignals : public QObject {
  Q_OBJECT

 public:
  explicit TerminationSignals(QObject* parent = nullptr);
  ~TerminationSignals() override;

 signals:
  // One or more of the signals has come since the last report.
  void received();

 private:
  void drain();

  int fd_;
  QSocketNotifier* notifier_ = nullptr;
};
