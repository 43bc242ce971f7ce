// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog's side of the FrontEnd port.
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "dialog_texts.h"
#include "engine/engine.h"
#include "player_dialog.h"

void PlayerDialog::showErrorBox(const QString& text) {
  // Nobody is left to read it once the session is ending, and it would hold the exit up.
  if (terminating_) return;
  QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kErrorCaptionText), text,
                  QMessageBox::Ok, this);
  box.exec();
}

void PlayerDialog::ShowErrorPort(void* context, const char* text) {
  auto* dialog = static_cast<PlayerDialog*>(context);
  const QString message = QString::fromUtf8(text);
  if (QThread::currentThread() == dialog->thread()) {
    dialog->showErrorBox(message);
    return;
  }
  // The playback thread waits here until the user has closed the box.
  QMetaObject::invokeMethod(
      dialog, [dialog, &message] { dialog->showErrorBox(message); }, Qt::BlockingQueuedConnection);
}

int PlayerDialog::SelectedOutputEntryPort(void* context) {
  return static_cast<PlayerDialog*>(context)->outputList_->currentIndex();
}

void PlayerDialog::EnableFileControlPort(void* context) {
  // After a failed start the button waits for that playback's finish: a start made before its
  // handling would have its state torn down by it.
  if (PlaybackPending() && !PlaybackPlaying()) return;
  static_cast<PlayerDialog*>(context)->fileButton_->setEnabled(true);
}

void PlayerDialog::ShowPlayingPort(void* context) {
  auto* dialog = static_cast<PlayerDialog*>(context);
  dialog->outputList_->setEnabled(false);
  dialog->fileButton_->setText(QString::fromUtf8(kStopText));
  // As every desktop player does: the title names what plays.
  const QString file = QFileInfo(QFile::decodeName(FileToPlay().c_str())).fileName();
  dialog->setWindowTitle(file + QString::fromUtf8(" — ") + QString::fromUtf8(kCaptionText));
}

void PlayerDialog::PostMessagePort(void* context, uint32_t message) {
  auto* dialog = static_cast<PlayerDialog*>(context);
  if (message != WM_PLAYBACK_FINISHED) return;
  QMetaObject::invokeMethod(
      dialog, [dialog] { dialog->playbackFinished(); }, Qt::QueuedConnection);
}
