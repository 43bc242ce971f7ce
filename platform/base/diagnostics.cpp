// SPDX-License-Identifier: GPL-3.0-or-later
#include "diagnostics.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "module_host.h"

namespace {

bool AskedByEnvironment() {
  const char* value = std::getenv("RTPLAYER_DEBUG");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

std::atomic<bool>& Enabled() {
  static std::atomic<bool> enabled{AskedByEnvironment()};
  return enabled;
}

thread_local int systemError = 0;

}  // namespace

void EnableDiagnostics() {
  Enabled().store(true);
}

bool DiagnosticsEnabled() {
  return Enabled().load(std::memory_order_relaxed);
}

void Diagnose(const char* area, const char* format, ...) {
  if (!DiagnosticsEnabled()) return;
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  // One write a line, so lines of two threads never mix.
  std::fprintf(stderr, "rtplayer: %s: %s\n", area, text);
}

void NoteSystemError(int error) {
  systemError = error;
}

int TakeSystemError() {
  const int error = systemError;
  systemError = 0;
  return error;
}

namespace {

void DiagnoseText(const char* area, const char* text) {
  Diagnose(area, "%s", text);
}

}  // namespace

const ModuleHost* TheModuleHost() {
  static const ModuleHost host{&DiagnosticsEnabled, &DiagnoseText};
  return &host;
}
