// SPDX-License-Identifier: GPL-3.0-or-later
// The filling of one device buffer with converted PCM: the playback thread's work for every
// buffer the device hands back. Whatever plays a file without a device (the tests, the fuzz
// targets, the conversion bench) calls the same functions.
//
// Playback thread only while a playback runs; the caller owns the reading and conversion
// fields of `player` (fileInfo, dataRemaining, convertFlags, convertedNext, convertedPending).
#pragma once

#include <cstdint>

// Copies converted PCM into data[0, size), converting the next block (and refilling the file
// buffer first when the decompression stage asks for it) whenever the pending PCM runs out,
// until the buffer is full, a stop is requested, or the data chunk is over: the conversion
// that finishes the data chunk ends the fill, and its PCM goes into the next buffer. Sets
// *filled to the bytes copied; 0 means there is nothing left to play. A conversion that
// consumes without producing does not end the fill, but so much source without sound that
// the thread would stop queueing (damaged data) ends the playback. False on a failure, after
// the stop has been requested and the message shown.
bool FillBuffer(uint8_t* data, uint32_t size, uint32_t* filled);

// One step of the fill, when no converted PCM is pending: makes the next converted block
// pending while the data chunk is not finished (nothing when it is), refilling the file
// buffer first when the stage asks for it. False on a failure, after the stop has been
// requested and the message shown.
bool ConvertNextPortion();
