// The open-file dialog of the File command. GUI thread only.
#pragma once

class QWidget;

// Asks for an existing file, opening on player.fileName (the last chosen path, empty at
// first). Returns true with the chosen path in player.fileName; false, leaving it as it was,
// when the user cancels or the path does not fit. Shows no message of its own.
bool ChooseFile(QWidget* owner);
