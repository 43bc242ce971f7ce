// SPDX-License-Identifier: GPL-3.0-or-later
// The wave file reader: opens player.fileName, walks it to its `fmt ` and `data` chunks, and
// serves the data through the file's own I/O buffer (player.sourceBuffer), never copied.
// Each returns true on success and false on failure.
#pragma once

// Front end's thread, during the start; no file open. Walks the RIFF/WAVE structure strictly
// forward: the first `fmt ` chunk in the RIFF chunk (at most MAX_FORMAT_CHUNK bytes, copied
// into a cleared player.sourceFormat), then the first `data` chunk after it (an odd format
// chunk's pad byte skipped first, where the file has one). On success the file is at the data
// chunk's first byte and player.dataRemaining is its size. Shows its own message on failure; the
// file stays open (in player.fileHandle) when it could be opened at all.
bool OpenWaveFile();

// Front end's thread, after OpenWaveFile and AllocateConversionBuffers: makes sourceBuffer the
// file's I/O buffer, in direct access through player.fileInfo, holding no unread bytes yet.
// Shows its own message on failure; nothing is released.
bool BindFileBuffer();

// Playback thread only. Refills the buffer with the next file bytes, starting at the first
// unconsumed one (fileInfo.pchNext), and goes on past the data chunk to the end of the file,
// where it succeeds with no bytes, every time. Shows no message: the caller does.
bool RefillFileBuffer();
