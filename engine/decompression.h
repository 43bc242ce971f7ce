// SPDX-License-Identifier: GPL-3.0-or-later
// The decompression stage: chooses the PCM output format, opens the conversion stream,
// sizes and allocates the source and converted buffers, and converts the data chunk a
// portion at a time. Each returns true on success and false on failure, after showing its
// own message.
//
// Only the data chunk is ever converted: a portion is at most dataRemaining bytes, and the
// portion that reaches the end of the data chunk (or of the file, when the chunk claims more
// than the file holds) goes with the end flag; after it dataRemaining is 0 and stays 0.
// Bytes that follow the data chunk (LIST chunks, pad bytes) are never converted.
#pragma once

// Front end's thread, during the start, after OpenWaveFile. Formats whose sizes cannot be
// computed in 32 bits (no block alignment; 100 ms of the source, or 125 ms of its PCM, not
// countable) or whose extra bytes run past the stored format chunk (but for PCM and float,
// whose extra-byte count the conversion service ignores) are refused here, with the message
// of a format that cannot be converted.
bool OpenConversionStream();

// Front end's thread, during the start, after OpenConversionStream. What was allocated
// stays in its field on failure, for the teardown to free.
bool AllocateConversionBuffers();

// Playback thread only, when convertedPending is 0, before each conversion: true when the
// file buffer must be refilled first, that is when it is used up, or when it holds less than
// one source block while more of the data chunk is still to be read (the refill keeps those
// bytes: they start the next fill).
bool NeedsRefill();

// Playback thread only, when convertedPending is 0 and dataRemaining is above 0, after the
// refill that NeedsRefill asked for. Converts at most dataRemaining of the buffered bytes into
// convertedBuffer. With an empty buffer after the file has ended early (the data chunk claims
// more than the file holds), it only drains the decoder and sets dataRemaining to 0. On
// failure the stop has been requested (RequestStop) before the message was shown.
bool ConvertNextBlock();
