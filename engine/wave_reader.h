// The wave file reader: opens player.fileName, walks it to its `fmt ` and `data` chunks, and
// serves the data through the file's own I/O buffer (player.sourceBuffer), never copied.
// Each returns non-zero on success and 0 on failure.
#pragma once

// Front end's thread, during the start. Shows its own message on failure; the file stays open
// (in player.fileHandle) when it could be opened at all.
int OpenWaveFile();

// Front end's thread, after OpenWaveFile and AllocateConversionBuffers: makes sourceBuffer the
// file's I/O buffer, in direct access through player.fileInfo, holding no unread bytes yet.
// Shows its own message on failure; nothing is released.
int BindFileBuffer();

// Playback thread only. Refills the buffer with the next file bytes, starting at the first
// unconsumed one (fileInfo.pchNext); at the end of the file it succeeds with no bytes.
// Shows no message: the caller does.
int RefillFileBuffer();
