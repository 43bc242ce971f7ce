// SPDX-License-Identifier: GPL-3.0-or-later
// The player dialog over the real engine, on Qt's offscreen platform. Modal windows (the file
// chooser and the error boxes) are answered by ModalWindows as they appear.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <deque>

#include "engine/engine.h"
#include "engine/player_state.h"
#include "platform/faults.h"
#include "platform/thread.h"
#include "platform/waveout.h"
#include "support/expected_texts.h"
#include "support/wav_writer.h"
#include "ui/dialog_texts.h"
#include "ui/dialog_units.h"
#include "ui/player_dialog.h"

namespace {

constexpr int kFinishTimeoutMs = 20000;

QString Text(const char* utf8) {
  return QString::fromUtf8(utf8);
}

// Writes 8-bit mono 8 kHz PCM of `milliseconds`.
void WriteWave(const QString& path, int milliseconds) {
  const Bytes data = Pattern(8 * static_cast<size_t>(milliseconds));
  QVERIFY(
      WriteFileBytes(QFile::encodeName(path).toStdString(), WaveFile(PcmFormat(8000, 1, 8), data)));
}

// Answers every file chooser and message box as it is shown, and records what it saw.
class ModalWindows : public QObject {
 public:
  struct Box {
    QString caption;
    QString text;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QObject* parent;
    bool modal;
    uint32_t flags;  // the state bits while the box was up
  };
  struct Chooser {
    QString title;
    QStringList filters;
    QFileDialog::FileMode mode;
    QStringList preselected;
    QObject* parent;
  };

  // The next file chooser chooses `path`; an empty path cancels it.
  void answerChooser(const QString& path) { answers_.push_back(path); }

  QList<Box> boxes;
  QList<Chooser> choosers;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    if (auto* box = qobject_cast<QMessageBox*>(watched)) {
      boxes.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                    box->parent(), box->isModal(), LoadFlags()});
      QTimer::singleShot(0, box, &QMessageBox::accept);
    } else if (auto* chooser = qobject_cast<QFileDialog*>(watched)) {
      choosers.append({chooser->windowTitle(), chooser->nameFilters(), chooser->fileMode(),
                       chooser->selectedFiles(), chooser->parent()});
      const QString answer = answers_.empty() ? QString() : answers_.front();
      if (!answers_.empty()) answers_.pop_front();
      QTimer::singleShot(0, chooser, [chooser, answer] {
        if (answer.isEmpty()) return chooser->reject();
        chooser->selectFile(answer);
        QMetaObject::invokeMethod(chooser, "accept");  // as the Open button does
      });
    }
    return false;
  }

 private:
  std::deque<QString> answers_;
};

QPushButton* FileButton(PlayerDialog& dialog) {
  return dialog.findChild<QPushButton*>("fileButton");
}
QComboBox* OutputList(PlayerDialog& dialog) {
  return dialog.findChild<QComboBox*>("outputList");
}

bool Idle(PlayerDialog& dialog) {
  return !PlaybackPending() && LoadFlags() == 0 && FileButton(dialog)->isEnabled() &&
         FileButton(dialog)->text() == Text(kFileText) && OutputList(dialog)->isEnabled();
}

}  // namespace

class DialogTest : public QObject {
  Q_OBJECT

 private:
  ModalWindows modal_;
  QTemporaryDir files_;
  int32_t timerRequests_ = 0;
  uint32_t priorityClass_ = 0;

  QString wave(const char* name, int milliseconds) {
    const QString path = files_.filePath(name);
    WriteWave(path, milliseconds);
    return path;
  }

  // Plays into a file from now on, as fast as the engine runs.
  void useFileDevice() {
    SetOutputFile(QFile::encodeName(files_.filePath("out.wav")).toStdString());
  }

  // A file named .wav that holds text.
  QString notWave() {
    const QString path = files_.filePath("text.wav");
    QFile text(path);
    if (!text.open(QIODevice::WriteOnly) || text.write("not a RIFF file\n") < 0) return {};
    return path;
  }

  // Chooses `path` with the File button and returns once the start has been made.
  void play(PlayerDialog& dialog, const QString& path) {
    modal_.answerChooser(path);
    FileButton(dialog)->click();
  }

 private slots:
  void initTestCase() {
    QVERIFY(files_.isValid());
    qApp->installEventFilter(&modal_);
  }

  void init() {
    ClearServiceFaults();
    SetOutputFile("");
    modal_.boxes.clear();
    modal_.choosers.clear();
    timerRequests_ = TimerResolutionRequests();
    priorityClass_ = GetPriorityClass();
  }

  // Every case ends with the record idle, the timer resolution given back as often as it was
  // asked for, and the process in the priority class it started in.
  void cleanup() {
    QTRY_VERIFY_WITH_TIMEOUT(!PlaybackPending(), kFinishTimeoutMs);
    QCOMPARE(TimerResolutionRequests(), timerRequests_);
    QCOMPARE(GetPriorityClass(), priorityClass_);
    QCOMPARE(LoadFlags(), 0u);
    QVERIFY(player.playbackThread == nullptr && player.playbackThreadId == 0);
    QVERIFY(player.fileHandle == nullptr && player.streamHandle == nullptr);
    QVERIFY(player.waveOutHandle == nullptr);
    QVERIFY(player.sourceBuffer == nullptr && player.convertedBuffer == nullptr);
  }

  void windowFollowsTheTemplate() {
    PlayerDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(dialog.windowTitle(), Text(kCaptionText));

    auto* button = FileButton(dialog);
    auto* list = OutputList(dialog);
    auto* label = dialog.findChild<QLabel*>("outputLabel");
    QCOMPARE(dialog.children().mid(0, 3), (QObjectList{button, list, label}));
    QCOMPARE(button->text(), Text(kFileText));
    QCOMPARE(label->text(), Text(kOutputLabelText));

    const QFontMetrics metrics = dialog.fontMetrics();
    QCOMPARE(dialog.minimumSize(), DialogUnitsToPixels(metrics, {0, 0, 212, 46}).size());
    QCOMPARE(dialog.maximumSize(), dialog.minimumSize());
    QCOMPARE(button->geometry(), DialogUnitsToPixels(metrics, {175, 25, 30, 14}));
    QCOMPARE(label->geometry(), DialogUnitsToPixels(metrics, {5, 10, 23, 8}));
    const QRect listUnits = DialogUnitsToPixels(metrics, {35, 5, 170, 98});
    QCOMPARE(list->pos(), listUnits.topLeft());
    QCOMPARE(list->width(), listUnits.width());
    QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());

    QCOMPARE(dialog.focusWidget(), button);
    QTest::keyClick(button, Qt::Key_Tab);
    QCOMPARE(dialog.focusWidget(), list);
    QTest::keyClick(list, Qt::Key_Tab);
    QCOMPARE(dialog.focusWidget(), button);
  }

  void outputListHoldsTheDefaultDeviceThenEveryDevice() {
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER")) QSKIP("needs the PulseAudio test daemon");
    PlayerDialog dialog;
    auto* list = OutputList(dialog);
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->currentIndex(), 0);
    for (int entry = 0; entry < list->count(); ++entry) {
      WAVEOUTCAPSA caps{};
      waveOutGetDevCapsA(static_cast<uint32_t>(entry) - 1, &caps, sizeof caps);
      QCOMPARE(list->itemText(entry), Text(caps.szPname));
    }
    list->setCurrentIndex(2);
    QCOMPARE(player.frontEndPort->selectedOutputEntry(player.frontEndPort->context), 2);
  }

  // Run by its own registration, with an audio system that cannot be reached.
  void withoutAnyAudioDeviceTheListHoldsTheDefaultOnly() {
    if (qEnvironmentVariableIsEmpty("RTPLAYER_NO_AUDIO")) QSKIP("needs RTPLAYER_NO_AUDIO");
    PlayerDialog dialog;
    dialog.show();
    QCOMPARE(OutputList(dialog)->count(), 1);
    QCOMPARE(OutputList(dialog)->currentIndex(), 0);

    play(dialog, wave("short.wav", 300));
    QCOMPARE(modal_.boxes.size(), 1);
    QCOMPARE(modal_.boxes.first().text, Text(expected::kCannotOpenDevice));
    QVERIFY(!FileButton(dialog)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
  }

  void cancellingTheChoiceLeavesTheDialogIdle() {
    PlayerDialog dialog;
    dialog.show();
    modal_.answerChooser(QString());
    FileButton(dialog)->click();

    QCOMPARE(modal_.choosers.size(), 1);
    const auto& chooser = modal_.choosers.first();
    QCOMPARE(chooser.title, Text(kChooseFileTitleText));
    QCOMPARE(chooser.filters, QStringList{Text(kWaveFilterText)});
    QCOMPARE(chooser.mode, QFileDialog::ExistingFile);
    QCOMPARE(chooser.parent, &dialog);
    QVERIFY(Idle(dialog));
    QVERIFY(player.playbackThread == nullptr);
    QCOMPARE(TimerResolutionRequests(), timerRequests_);
    QVERIFY(modal_.boxes.isEmpty());
  }

  void aChosenFilePlaysToItsEndAndOnlyThenTheDialogCloses() {
    const QString path = wave("short.wav", 300);
    PlayerDialog dialog;
    dialog.show();
    play(dialog, path);

    // Nothing of the finish is handled before the event loop runs again.
    QVERIFY(modal_.boxes.isEmpty());
    QCOMPARE(QByteArray(player.fileName), QFile::encodeName(path));
    QCOMPARE(FileButton(dialog)->text(), Text(kStopText));
    QCOMPARE(dialog.windowTitle(), "short.wav — " + Text(kCaptionText));
    QVERIFY(FileButton(dialog)->isEnabled());
    QVERIFY(!OutputList(dialog)->isEnabled());
    QCOMPARE(TimerResolutionRequests(), timerRequests_ + 1);
    QCOMPARE(GetPriorityClass(), priorityClass_);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    dialog.close();
    QVERIFY(dialog.isVisible());

    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
    QVERIFY(modal_.boxes.isEmpty());
    QCOMPARE(dialog.windowTitle(), Text(kCaptionText));

    // The next choice opens on the last chosen path.
    modal_.answerChooser(QString());
    FileButton(dialog)->click();
    QCOMPARE(modal_.choosers.size(), 2);
    QCOMPARE(modal_.choosers.last().preselected, QStringList{path});

    QTimer::singleShot(0, &dialog, [&dialog] { QTest::keyClick(&dialog, Qt::Key_Escape); });
    QCOMPARE(dialog.exec(), 0);
    QVERIFY(!dialog.isVisible());
  }

  void stopDisablesTheButtonUntilTheFinish() {
    const QString path = wave("long.wav", 5000);
    PlayerDialog dialog;
    dialog.show();
    play(dialog, path);
    QCOMPARE(FileButton(dialog)->text(), Text(kStopText));

    FileButton(dialog)->click();
    QVERIFY(!FileButton(dialog)->isEnabled());
    QCOMPARE(LoadFlags(), FLAG_PLAYING | FLAG_STOPPING);
    QTRY_VERIFY_WITH_TIMEOUT(FileButton(dialog)->isEnabled(), kFinishTimeoutMs);
    QVERIFY(Idle(dialog));
    QVERIFY(modal_.boxes.isEmpty());
  }

  // A failed start's thread is still ending when the box has been closed: the button waits for
  // its finish, and so does a close.
  void anUnplayableFileShowsOneBoxAndTheDialogWaitsForItsThread() {
    const QString path = notWave();
    PlayerDialog dialog;
    dialog.show();
    play(dialog, path);
    QCOMPARE(modal_.boxes.size(), 1);
    const auto& box = modal_.boxes.first();
    QCOMPARE(box.text, Text(expected::kNotRiffWave));
    QCOMPARE(box.caption, Text(kErrorCaptionText));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.parent, &dialog);

    QVERIFY(PlaybackPending());
    QVERIFY(!FileButton(dialog)->isEnabled());
    QCOMPARE(FileButton(dialog)->text(), Text(kFileText));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), kFinishTimeoutMs);
    QCOMPARE(dialog.result(), 0);
    QVERIFY(Idle(dialog));
    QCOMPARE(modal_.boxes.size(), 1);
  }

  void aStartFailingAfterTheDeviceOpenedEndsIdle() {
    const QString path = wave("short.wav", 300);
    useFileDevice();
    PlayerDialog dialog;
    dialog.show();
    InjectServiceFault("waveOutWrite", 3);
    play(dialog, path);
    QCOMPARE(modal_.boxes.size(), 1);
    QCOMPARE(modal_.boxes.first().text, Text(expected::kCannotQueueBuffer));
    QCOMPARE(LoadFlags(), FLAG_STOPPING);
    QVERIFY(!FileButton(dialog)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
    QCOMPARE(modal_.boxes.size(), 1);
  }

  void aThreadThatCannotBeMadeIsReportedAndTheDialogStaysIdle() {
    const QString path = wave("short.wav", 300);
    PlayerDialog dialog;
    dialog.show();
    InjectServiceFault("CreateThread", 1);
    play(dialog, path);
    QCOMPARE(modal_.boxes.size(), 1);
    QCOMPARE(modal_.boxes.first().text, Text(expected::kCannotCreateThread));
    QCOMPARE(modal_.boxes.first().icon, QMessageBox::Critical);
    QVERIFY(Idle(dialog));
    QCOMPARE(TimerResolutionRequests(), timerRequests_);
  }

  // The playback thread stops the sound, then waits in its box until the user closes it.
  void aFailureWhilePlayingShowsOneBoxFromThePlaybackThread() {
    const QString path = wave("long.wav", 5000);
    useFileDevice();
    PlayerDialog dialog;
    dialog.show();
    InjectServiceFault("waveOutWrite", 6);
    play(dialog, path);
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
    QCOMPARE(modal_.boxes.size(), 1);
    const auto& box = modal_.boxes.first();
    QCOMPARE(box.text, Text(expected::kCannotQueueBuffer));
    QCOMPARE(box.parent, &dialog);
    QVERIFY(box.modal);
    QCOMPARE(box.flags, FLAG_PLAYING | FLAG_STOPPING);
  }

  // A file given on the command line or dropped on the window plays as if chosen with File;
  // only the idle dialog takes one.
  void aGivenOrDroppedFilePlaysAsIfChosen() {
    const QString path = wave("given.wav", 300);
    useFileDevice();
    PlayerDialog dialog;
    dialog.show();
    const auto drag = [&dialog](const QList<QUrl>& urls) {
      QMimeData data;
      data.setUrls(urls);
      QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(&dialog, &enter);
      if (!enter.isAccepted()) return false;
      QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(&dialog, &drop);
      return drop.isAccepted();
    };

    // A relative name is kept whole, so the next chooser opens on it.
    const QString folder = QDir::currentPath();
    QVERIFY(QDir::setCurrent(files_.path()));
    QVERIFY(dialog.playFile("given.wav"));
    QVERIFY(QDir::setCurrent(folder));
    QCOMPARE(QByteArray(player.fileName), QFile::encodeName(path));
    QCOMPARE(FileButton(dialog)->text(), Text(kStopText));
    QVERIFY(!dialog.playFile(QFile::encodeName(path).toStdString()));
    QVERIFY(!drag({QUrl::fromLocalFile(path)}));
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);

    QVERIFY(!drag({QUrl::fromLocalFile(path), QUrl::fromLocalFile(path)}));
    QVERIFY(!drag({QUrl::fromLocalFile(files_.path())}));
    QVERIFY(!drag({QUrl("https://example.org/a.wav")}));
    const QString dropped = wave("dropped.wav", 300);
    QVERIFY(drag({QUrl::fromLocalFile(dropped)}));
    QTRY_COMPARE(QByteArray(player.fileName), QFile::encodeName(dropped));
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);

    QVERIFY(dialog.playFile(QFile::encodeName(files_.filePath("missing.wav")).toStdString()));
    QCOMPARE(modal_.boxes.size(), 1);
    QCOMPARE(modal_.boxes.first().text, Text(expected::kCannotOpenFile));
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
    QVERIFY(modal_.choosers.isEmpty());
  }

  void playbacksEndedInEveryWayGiveBackWhatTheyTook() {
    const QString shortWave = wave("short.wav", 300);
    const QString longWave = wave("long.wav", 5000);
    PlayerDialog dialog;
    dialog.show();
    play(dialog, shortWave);  // ends by itself
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
    play(dialog, longWave);  // stopped
    FileButton(dialog)->click();
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
    play(dialog, notWave());  // fails at the start, before the device
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
    InjectServiceFault("waveOutWrite", 2);  // fails at the start, after the device
    play(dialog, shortWave);
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
    InjectServiceFault("waveOutWrite", 5);  // fails while playing
    play(dialog, longWave);
    QTRY_VERIFY_WITH_TIMEOUT(Idle(dialog), kFinishTimeoutMs);
    InjectServiceFault("CreateThread", 1);  // no thread
    play(dialog, shortWave);
    QVERIFY(Idle(dialog));
    QCOMPARE(modal_.boxes.size(), 4);
  }
};

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  DialogTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "dialog_test.moc"
