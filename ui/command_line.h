// SPDX-License-Identifier: GPL-3.0-or-later
// The dialog's command line: rtplayer [--help | --version | [--] FILE].
#pragma once

#include <string>

struct DialogCommandLine {
  enum Action { kOpen, kHelp, kVersion, kWrong };
  Action action = kOpen;
  bool hasFile = false;
  std::string file;   // the path's bytes as given
  std::string error;  // kWrong: a one-line reason
};

// --help and --version win over anything else before "--", so they can be answered before
// Qt starts (without a display, with Qt's own options still in argv); otherwise an unknown
// option or a second file makes it kWrong.
DialogCommandLine ParseDialogCommandLine(int argc, const char* const* argv);

extern const char* const kDialogUsage;
