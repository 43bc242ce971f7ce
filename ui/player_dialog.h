// SPDX-License-Identifier: GPL-3.0-or-later
// The player's one window: the output device list and the File/Stop button over the engine.
//
// Everything here runs on the GUI thread, except the FrontEnd port's showError and
// postMessage, which the playback thread calls too (see player_dialog_port.cpp).
//
// The dialog attaches its port to the engine and takes the process's priority class
// as the one to come back to when it is constructed; only one may exist at a time. It may be
// destroyed only while idle (no playback pending), which its cancel command guarantees.
#pragma once

#include <QDialog>
#include <string>

#include "engine/engine.h"

class QComboBox;
class QLabel;
class QPushButton;

class PlayerDialog : public QDialog {
  Q_OBJECT

 public:
  explicit PlayerDialog(QWidget* parent = nullptr);

  // The cancel command (Escape, the close box, the window menu). Refused while a playback
  // runs. While a failed start's thread is still ending, the dialog closes as
  // soon as that playback's finish has been handled, so no thread outlives the window.
  void reject() override;

  // Plays `path` (a file name's bytes, relative to the working folder or absolute) as if it
  // had been chosen with File. Only while idle: no playback pending and the File button
  // enabled; otherwise it does nothing and returns false.
  bool playFile(const std::string& path);

  // SIGTERM, SIGINT or SIGHUP: the dialog closes as soon as it can. Idle, at once; playing,
  // after a stop made as Stop makes it; a failed start, after its finish. Open file choosers
  // and message boxes are closed, and no further message box is shown.
  void terminationRequested();

 protected:
  // A drag of one local file is accepted while the dialog is idle and refused otherwise; the
  // dropped file plays as if chosen with File.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  bool idle() const;
  // The File button: Stop while playing, else choose a file and start it.
  void fileCommand();
  // WM_PLAYBACK_FINISHED, on the GUI thread.
  void playbackFinished();
  void fillOutputList();
  void layOut();
  void showErrorBox(const QString& text);

  // The FrontEnd port; `context` is the dialog.
  static void ShowErrorPort(void* context, const char* text);
  static int SelectedOutputEntryPort(void* context);
  static void EnableFileControlPort(void* context);
  static void ShowPlayingPort(void* context);
  static void PostMessagePort(void* context, uint32_t message);

  FrontEnd port_;
  QPushButton* fileButton_;
  QComboBox* outputList_;
  QLabel* outputLabel_;
  bool closeWhenFinished_ = false;
  bool terminating_ = false;
};
