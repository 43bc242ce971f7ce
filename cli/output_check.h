// SPDX-License-Identifier: GPL-3.0-or-later
// The check that keeps --output from ever naming a file being played.
#pragma once

#include <string>

// True when `output` is the file `file` itself: the same device and inode, however either is
// named (another path to it, a hard link, a symbolic link either way, /dev/fd/N open on it).
// `file` is opened for reading first, as the engine opens it, then compared with what `output`
// names now; nothing is opened for writing. False when `file` cannot be opened or is no regular
// file (the playback reports either) or `output` names nothing yet.
bool OutputIsFileToPlay(const std::string& output, const std::string& file);
