// SPDX-License-Identifier: GPL-3.0-or-later
// The output device of a playback and its four device buffers.
#pragma once

#include "platform/waveout.h"

constexpr int kDeviceBufferCount = 4;

// Front end's thread, during the start: opens the file device when an output file is named,
// else the device of the selected list entry (entry 0 = WAVE_MAPPER, entry k = device k-1),
// for outputFormat, posting to the playback thread, and pauses it. True on success; shows its
// own message on failure.
bool OpenOutputDevice();

// Front end's thread, right after OpenOutputDevice: creates and queues the four buffers of
// 125 ms on the paused device, counting them in deviceBuffersLive. True on success;
// on failure the earlier passes' buffers stay queued and counted. An output format whose
// 125 ms round to no byte at all is refused before any buffer is made.
bool CreateDeviceBuffers();

// Playback thread only, for a returned, unprepared buffer it will not queue again: frees it;
// the free that takes deviceBuffersLive to 0 posts WM_QUIT to the playback thread.
void FreeDeviceBuffer(WAVEHDR* header);
