// SPDX-License-Identifier: GPL-3.0-or-later
#include "player_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QUrl>
#include <filesystem>

#include "choose_file.h"
#include "dialog_texts.h"
#include "dialog_units.h"
#include "engine/engine.h"

namespace {

constexpr Qt::WindowFlags kWindowFlags = Qt::Dialog | Qt::CustomizeWindowHint |
                                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

// The window and its controls in dialog units. The list's height is its own: the template's
// 98 units include the dropped-down part, which Qt sizes by itself.
constexpr DialogUnitRect kWindowUnits{0, 0, 212, 46};
constexpr DialogUnitRect kFileButtonUnits{175, 25, 30, 14};
constexpr DialogUnitRect kOutputListUnits{35, 5, 170, 98};
constexpr DialogUnitRect kOutputLabelUnits{5, 10, 23, 8};

// The one local file (not a folder) that a drag carries; empty for anything else.
QString DraggedFile(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls() || data->urls().size() != 1) return {};
  const QString path = data->urls().first().toLocalFile();
  if (path.isEmpty() || QFileInfo(path).isDir()) return {};
  return path;
}

}  // namespace

PlayerDialog::PlayerDialog(QWidget* parent)
    : QDialog(parent, kWindowFlags),
      port_{this,
            &ShowErrorPort,
            &SelectedOutputEntryPort,
            &EnableFileControlPort,
            &ShowPlayingPort,
            &PostMessagePort},
      // Created in the template's order, which is also the tab order.
      fileButton_(new QPushButton(QString::fromUtf8(kFileText), this)),
      outputList_(new QComboBox(this)),
      outputLabel_(new QLabel(QString::fromUtf8(kOutputLabelText), this)) {
  AttachFrontEnd(&port_);

  setWindowTitle(QString::fromUtf8(kCaptionText));
  fileButton_->setObjectName("fileButton");
  outputList_->setObjectName("outputList");
  outputLabel_->setObjectName("outputLabel");
  fillOutputList();
  layOut();
  setTabOrder(fileButton_, outputList_);
  fileButton_->setFocus();
  connect(fileButton_, &QPushButton::clicked, this, &PlayerDialog::fileCommand);
  setAcceptDrops(true);
}

void PlayerDialog::fillOutputList() {
  // Entry i stands for device id i - 1, so the entries keep the order in which they are added
  // (a QComboBox that is not editable never sorts); entry 0 is the default device.
  for (const std::string& text : OutputEntryTexts()) {
    outputList_->addItem(QString::fromStdString(text));
  }
  outputList_->setCurrentIndex(0);
}

void PlayerDialog::layOut() {
  const QFontMetrics metrics = fontMetrics();
  setFixedSize(DialogUnitsToPixels(metrics, kWindowUnits).size());
  fileButton_->setGeometry(DialogUnitsToPixels(metrics, kFileButtonUnits));
  QRect list = DialogUnitsToPixels(metrics, kOutputListUnits);
  list.setHeight(outputList_->sizeHint().height());
  outputList_->setGeometry(list);
  outputLabel_->setGeometry(DialogUnitsToPixels(metrics, kOutputLabelUnits));
}

void PlayerDialog::reject() {
  if (PlaybackPlaying()) return;
  if (PlaybackPending()) {
    closeWhenFinished_ = true;
    return;
  }
  QDialog::reject();
}

void PlayerDialog::fileCommand() {
  fileButton_->setEnabled(false);
  if (PlaybackPlaying()) {
    // The button comes back with the finish.
    StopPlayback();
    return;
  }
  std::string path;
  if (!ChooseFile(this, &path) || !SetFileToPlay(path)) {
    RestoreIdleState();
    return;
  }
  // Every outcome is reported and the controls set by the engine through the port; a
  // started thread always ends in playbackFinished().
  LaunchPlayback();
}

void PlayerDialog::playbackFinished() {
  FinishPlayback();
  setWindowTitle(QString::fromUtf8(kCaptionText));
  outputList_->setEnabled(true);
  fileButton_->setText(QString::fromUtf8(kFileText));
  fileButton_->setEnabled(true);
  if (closeWhenFinished_) QDialog::reject();
}

bool PlayerDialog::idle() const {
  return !PlaybackPending() && fileButton_->isEnabled() && !terminating_;
}

bool PlayerDialog::playFile(const std::string& path) {
  if (!idle()) return false;
  fileButton_->setEnabled(false);
  // Made absolute, so that the next File command opens the chooser on it.
  std::error_code noFolder;
  std::string name = path;
  if (!path.empty()) {
    const std::filesystem::path absolute = std::filesystem::absolute(path, noFolder);
    if (!noFolder) name = absolute.string();
  }
  if (!SetFileToPlay(name)) {
    RestoreIdleState();
    return true;
  }
  LaunchPlayback();
  return true;
}

void PlayerDialog::terminationRequested() {
  terminating_ = true;
  // A chooser or a box of the start runs a nested loop on this thread; it ends once closed.
  // A box of the playback thread lets that thread go on to its finish.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    auto* modal = qobject_cast<QDialog*>(window);
    if (modal != nullptr && modal != this && modal->isVisible() && modal->isModal()) {
      modal->reject();
    }
  }
  if (PlaybackPlaying() && !PlaybackStopping()) {
    fileButton_->setEnabled(false);
    StopPlayback();
  }
  if (PlaybackPending()) {
    closeWhenFinished_ = true;
    return;
  }
  QDialog::reject();
}

void PlayerDialog::dragEnterEvent(QDragEnterEvent* event) {
  dragMoveEvent(event);
}

void PlayerDialog::dragMoveEvent(QDragMoveEvent* event) {
  // Asked again as the pointer moves, so a playback that starts meanwhile refuses the drop.
  if (idle() && !DraggedFile(event->mimeData()).isEmpty()) {
    event->acceptProposedAction();
  } else {
    event->ignore();
  }
}

void PlayerDialog::dropEvent(QDropEvent* event) {
  const QString path = DraggedFile(event->mimeData());
  if (path.isEmpty() || !idle()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  // Started once the drop has been answered, so that a message box of the start does not
  // hold up the program the file was dragged from.
  QMetaObject::invokeMethod(
      this, [this, name = QFile::encodeName(path).toStdString()] { playFile(name); },
      Qt::QueuedConnection);
}
