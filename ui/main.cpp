// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QTimer>
#include <cstdio>

#include "command_line.h"
#include "player_dialog.h"
#include "termination_signals.h"

int main(int argc, char** argv) {
  // Answered before Qt starts, so they need no display.
  const DialogCommandLine early = ParseDialogCommandLine(argc, argv);
  if (early.action == DialogCommandLine::kHelp) {
    std::fputs(kDialogUsage, stdout);
    return 0;
  }
  if (early.action == DialogCommandLine::kVersion) {
    std::puts("rtplayer " RTPLAYER_VERSION);
    return 0;
  }

  BlockTerminationSignals();
  QApplication application(argc, argv);
  // Qt has taken its own options (-platform, -style, ...) out of argv by now.
  const DialogCommandLine commandLine = ParseDialogCommandLine(argc, argv);
  if (commandLine.action == DialogCommandLine::kWrong) {
    std::fprintf(stderr, "rtplayer: %s\n%s", commandLine.error.c_str(), kDialogUsage);
    return 2;
  }
  // Lets the desktop match the window to its desktop file (its icon and name).
  QGuiApplication::setDesktopFileName("org.rtplayer.RtPlayer");
  PlayerDialog dialog;
  TerminationSignals termination;
  QObject::connect(&termination, &TerminationSignals::received, &dialog,
                   &PlayerDialog::terminationRequested);
  if (commandLine.hasFile) {
    // Once the window is up, so that a message box has its owner on the screen.
    QTimer::singleShot(0, &dialog, [&dialog, &commandLine] { dialog.playFile(commandLine.file); });
  }
  return dialog.exec();
}
