// SPDX-License-Identifier: GPL-3.0-or-later
// The bodies of the fuzz targets, shared with the test that replays the inputs they once
// failed on. Each plays arbitrary bytes as a wave file through the engine's real code and
// returns what the engine did that it must never do (null when nothing). Sanitizers catch the
// rest. One call at a time: they use the process-wide record `player`.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens, walks and binds the file, then refills and consumes the buffer to the end of the
// file, in portions that leave remainders behind. Checks that a failed open shows exactly one
// message and a successful one none, and that the refills serve every byte from the data
// chunk's first to the file's last, in order, once.
const char* FuzzWaveReader(const uint8_t* data, size_t size);

// Runs the start's reader and decompression steps (the file, the conversion stream, its two
// buffers, the bound file buffer), then refills, converts and copies out the whole data chunk
// as the playback thread does. Checks that a failed step shows exactly one message and stops
// the playback, that a start without a failure shows none, and that every conversion gives
// whole PCM frames within the converted buffer.
const char* FuzzDecompression(const uint8_t* data, size_t size);
