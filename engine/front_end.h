// SPDX-License-Identifier: GPL-3.0-or-later
// The front-end port: the engine's only way out to the user. A front end (the dialog, the
// terminal, a test) fills one and attaches it (AttachFrontEnd) before any playback.
#pragma once

#include <cstdint>

// Posted to the front end by the playback thread as its last act; both parameters 0.
constexpr uint32_t WM_PLAYBACK_FINISHED = 0x0800;

struct FrontEnd {
  void* context;
  // Shows a fixed message and returns once the user has acknowledged it. Called from either
  // thread; on the playback thread it blocks that thread until then.
  void (*showError)(void* context, const char* text);
  // The selected entry of the output device list (0 = the default device).
  int (*selectedOutputEntry)(void* context);
  // Enables the File control (its text is not touched). Front end's thread only.
  void (*enableFileControl)(void* context);
  // A start has succeeded: disable the device list and make the File control read "Стоп".
  // Front end's thread only.
  void (*showPlaying)(void* context);
  // Delivers `message` to the front end's own thread, where it is handled later (the
  // playback thread calls it with WM_PLAYBACK_FINISHED). Must not block.
  void (*postMessage)(void* context, uint32_t message);
};
