#include "ui/choose_file.h"

#include <QFile>
#include <QFileDialog>
#include <cstring>

#include "engine/player_state.h"
#include "ui/dialog_texts.h"

bool ChooseFile(QWidget* owner) {
  QFileDialog dialog(owner, QString::fromUtf8(kChooseFileTitleText), QString(),
                     QString::fromUtf8(kWaveFilterText));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (player.fileName[0] != '\0') dialog.selectFile(QFile::decodeName(player.fileName));
  if (dialog.exec() != QDialog::Accepted) return false;

  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  const QByteArray path = QFile::encodeName(chosen.first());
  // A path the platform cannot open is refused whole rather than cut short.
  if (path.size() >= static_cast<qsizetype>(sizeof player.fileName)) return false;
  std::memcpy(player.fileName, path.constData(), static_cast<size_t>(path.size()) + 1);
  return true;
}
