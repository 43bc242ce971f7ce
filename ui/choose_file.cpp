// SPDX-License-Identifier: GPL-3.0-or-later
#include "choose_file.h"

#include <QFile>
#include <QFileDialog>

#include "dialog_texts.h"
#include "engine/engine.h"

bool ChooseFile(QWidget* owner, std::string* path) {
  QFileDialog dialog(owner, QString::fromUtf8(kChooseFileTitleText), QString(),
                     QString::fromUtf8(kWaveFilterText));
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const std::string last = FileToPlay();
  if (!last.empty()) dialog.selectFile(QFile::decodeName(last.c_str()));
  if (dialog.exec() != QDialog::Accepted) return false;

  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return false;
  *path = QFile::encodeName(chosen.first()).toStdString();
  return true;
}
