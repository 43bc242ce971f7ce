// SPDX-License-Identifier: GPL-3.0-or-later
// The playback thread: made for each playback, it keeps the device fed.
#pragma once

#include <cstdint>

// The playback thread's entry: keeps the device fed until the data runs out, a stop, or a
// failure, then closes the file and posts WM_PLAYBACK_FINISHED. `param` is unused; returns 0.
uint32_t PlaybackThreadProc(void* param);
