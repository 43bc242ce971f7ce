// The decompression stage: chooses the PCM output format, opens the conversion stream,
// sizes and allocates the source and converted buffers, and converts the data chunk a
// portion at a time. Each returns non-zero on success and 0 on failure, after showing its
// own message.
#pragma once

// Front end's thread, during the start, after OpenWaveFile.
int OpenConversionStream();

// Front end's thread, during the start, after OpenConversionStream. What was allocated
// stays in its field on failure, for the teardown to free.
int AllocateConversionBuffers();

// Playback thread only, when convertedPending is 0 and the file buffer holds unconsumed
// bytes. Converts at most dataRemaining of them into convertedBuffer. On failure the stop has
// been requested (RequestStop) before the message was shown.
int ConvertNextBlock();
