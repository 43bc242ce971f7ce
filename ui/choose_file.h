// SPDX-License-Identifier: GPL-3.0-or-later
// The open-file dialog of the File command. GUI thread only.
#pragma once

#include <string>

class QWidget;

// Asks for an existing file, opening on the file last played (none at first). Returns true
// with the chosen path in *path; false when the user cancels. Shows no message of its own.
bool ChooseFile(QWidget* owner, std::string* path);
