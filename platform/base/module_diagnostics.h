// SPDX-License-Identifier: GPL-3.0-or-later
// A loadable module's diagnostics line, through the table its host handed it (module_host.h).
// Header only: a module takes nothing of the program but that table.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "module_host.h"

// Writes one line under `area` when the host writes diagnostics; nothing before the host is
// attached. `format` is printf's.
inline void ModuleDiagnose(const ModuleHost* host, const char* area, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
inline void ModuleDiagnose(const ModuleHost* host, const char* area, const char* format, ...) {
  if (host == nullptr || !host->diagnosing()) return;
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  host->diagnose(area, text);
}
