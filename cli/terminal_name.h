// SPDX-License-Identifier: GPL-3.0-or-later
// File names as the terminal front end writes them into its lines.
#pragma once

#include <string>

// `name` as it stands when it is valid UTF-8 and every character in it can be printed (a
// Cyrillic name stays as it is). Otherwise the whole name quoted as GNU's tools quote it with
// --quoting-style=shell-escape: in single quotes, with what cannot be printed (control
// characters, invalid UTF-8 bytes, a line separator) written as $'\n', $'\033', ... So a line
// that names a file is always one line, and the name drives nothing on the terminal; pasted
// into a shell, the quoted form gives the name back.
std::string TerminalName(const std::string& name);
