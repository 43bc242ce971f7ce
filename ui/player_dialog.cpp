#include "ui/player_dialog.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "engine/engine.h"
#include "platform/thread.h"
#include "platform/waveout.h"
#include "ui/choose_file.h"
#include "ui/dialog_texts.h"
#include "ui/dialog_units.h"

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
  player.dialogWindow = &port_;
  player.savedPriorityClass = GetPriorityClass();

  setWindowTitle(QString::fromUtf8(kCaptionText));
  fileButton_->setObjectName("fileButton");
  outputList_->setObjectName("outputList");
  outputLabel_->setObjectName("outputLabel");
  fillOutputList();
  layOut();
  setTabOrder(fileButton_, outputList_);
  fileButton_->setFocus();
  connect(fileButton_, &QPushButton::clicked, this, &PlayerDialog::fileCommand);
}

void PlayerDialog::fillOutputList() {
  // Entry i stands for device id i - 1, so the entries keep the order in which they are added
  // (a QComboBox that is not editable never sorts); entry 0 is the default device.
  const uint32_t devices = waveOutGetNumDevs();
  for (uint32_t entry = 0; entry <= devices; ++entry) {
    // Cleared for every query: a device whose query fails gets an empty entry, not the
    // previous device's name.
    WAVEOUTCAPSA caps{};
    waveOutGetDevCapsA(entry - 1, &caps, sizeof caps);
    outputList_->addItem(QString::fromUtf8(caps.szPname, qstrnlen(caps.szPname, MAXPNAMELEN)));
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
  if (LoadFlags() & FLAG_PLAYING) return;
  if (PlaybackPending()) {
    closeWhenFinished_ = true;
    return;
  }
  QDialog::reject();
}

void PlayerDialog::fileCommand() {
  fileButton_->setEnabled(false);
  if (LoadFlags() & FLAG_PLAYING) {
    // The button comes back with the finish.
    RequestStop();
    return;
  }
  if (!ChooseFile(this)) {
    RestoreIdleState();
    return;
  }
  // Every outcome is reported and the controls set by the engine through the port; a
  // started thread always ends in playbackFinished().
  LaunchPlayback();
}

void PlayerDialog::playbackFinished() {
  FinishPlayback();
  outputList_->setEnabled(true);
  fileButton_->setText(QString::fromUtf8(kFileText));
  fileButton_->setEnabled(true);
  if (closeWhenFinished_) QDialog::reject();
}
