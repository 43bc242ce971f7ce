#include <QApplication>

#include "ui/player_dialog.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // Lets the desktop match the window to rtplayer.desktop (its icon and name).
  QGuiApplication::setDesktopFileName("rtplayer");
  PlayerDialog dialog;
  return dialog.exec();
}
