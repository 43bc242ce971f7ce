// SPDX-License-Identifier: GPL-3.0-or-later
// What a loadable module may use of the program that loads it. A module cannot call the
// program's functions: its layer hands it this table once, right after loading it, through the
// module's own table. Any thread may call the entries.
#pragma once

struct ModuleHost {
  // Diagnostics (diagnostics.h): whether they are written, and one line under `area`.
  bool (*diagnosing)();
  void (*diagnose)(const char* area, const char* text);
};

// The program's side, for the layers that load modules.
const ModuleHost* TheModuleHost();
