// SPDX-License-Identifier: GPL-3.0-or-later
// Conversion of any WAVE format that a driver can decode to PCM (the audio compression
// manager). A small table of drivers stands behind these calls: in-process drivers for PCM of
// every width and float, A-law, mu-law, IMA and MS ADPCM and GSM 6.10; FFmpeg, in a module
// loaded at the first format none of them takes, for every other format tag.
//
// A stream is used by one thread at a time (opened on one thread and converted on another
// is fine after a happens-before edge). Nothing here blocks beyond the decoding work.
#pragma once

#include <cstdint>

#include "platform/mmtypes.h"

struct AcmStream;
using HACMSTREAM = AcmStream*;

constexpr MMRESULT ACMERR_NOTPOSSIBLE = 512;

constexpr uint32_t ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
constexpr uint32_t ACM_STREAMSIZEF_SOURCE = 0x00000000;
constexpr uint32_t ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
constexpr uint32_t ACM_STREAMCONVERTF_START = 0x00000010;
constexpr uint32_t ACM_STREAMCONVERTF_END = 0x00000020;

constexpr uint32_t ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
constexpr uint32_t ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;

struct ACMSTREAMHEADER {
  uint32_t cbStruct;  // sizeof(ACMSTREAMHEADER)
  uint32_t fdwStatus;
  uintptr_t dwUser;
  uint8_t* pbSrc;
  uint32_t cbSrcLength;
  uint32_t cbSrcLengthUsed;  // set by acmStreamConvert
  uintptr_t dwSrcUser;
  uint8_t* pbDst;
  uint32_t cbDstLength;
  uint32_t cbDstLengthUsed;  // set by acmStreamConvert
  uintptr_t dwDstUser;
  uintptr_t dwReservedDriver[10];
};

// Arguments are as the classic calls take them: handles this service gave, valid pointers,
// cb and cbStruct the records' sizes, flags as stated. None of that is checked; what comes
// from a file (the format, the data) is.

// Fills `dst` with a complete PCM format that `src` converts to: same rate and channels;
// 8-bit PCM stays 8-bit; 16-bit PCM and every compressed format give 16-bit; 24/32-bit
// integer and float PCM give 32-bit. cbDst: sizeof(WAVEFORMATEX); flags:
// ACM_FORMATSUGGESTF_WFORMATTAG (only PCM is suggested). Fails (ACMERR_NOTPOSSIBLE) for a tag
// no driver decodes, 0 channels, a rate of 0 or a block alignment of 0. `src` is followed by
// src->cbSize bytes, except for PCM and IEEE float (plain, not extensible): their extra-byte
// count means nothing, and no driver reads past the 18 bytes, whatever it says (old writers put
// 196 after an 18-byte chunk). The same holds for acmStreamOpen.
MMRESULT acmFormatSuggest(const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t cbDst,
                          uint32_t flags);

// Opens a synchronous stream from `src` to `dst`, the format acmFormatSuggest gave for it
// (flags 0). Fails (ACMERR_NOTPOSSIBLE) for a source that cannot be suggested for, or that
// its decoder refuses after all. On failure *stream is null. Fault seam: "acmStreamOpen".
MMRESULT acmStreamOpen(HACMSTREAM* stream, const WAVEFORMATEX* src, const WAVEFORMATEX* dst,
                       uint32_t flags);

// flags ACM_STREAMSIZEF_SOURCE: *dstBytes is a size that every conversion of at most
// srcBytes source bytes fits in, with whatever the stream holds from earlier input (0 for 0
// bytes). Fails (ACMERR_NOTPOSSIBLE) when that size is above kAcmOutputLimit: no real format
// needs that much for a buffer's worth of source, and a header whose rate, channels or block
// size would promise it lies (a few KB of MP3 claiming 256 channels at 85 bytes per second
// would otherwise ask the caller for 2.4 GB). Fault seam: "acmStreamSize".
constexpr uint32_t kAcmOutputLimit = 64 << 20;
MMRESULT acmStreamSize(HACMSTREAM stream, uint32_t srcBytes, uint32_t* dstBytes, uint32_t flags);

// rtplayer's own, beside the classic calls: the highest source rate in bytes per second that
// the stream's compressed format allows, for sizing from a header that gives 0 (variable-rate
// MP3 in WAV: 40 000, 320 kb/s). 0 for PCM, float and G.711, whose headers must give their
// rate, and where no limit is known.
uint32_t PeakSourceRate(HACMSTREAM stream);

// rtplayer's own: true once a format that no in-process driver takes has loaded FFmpeg's
// module, which stays, with the memory its libraries hold, for the life of the process.
bool AcmModuleLoaded();

// Marks the header prepared (flags 0). A header is prepared before each acmStreamConvert with
// the buffers it converts between, and unprepared after. Fault seam: "acmStreamPrepareHeader".
MMRESULT acmStreamPrepareHeader(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags);

// Converts synchronously from pbSrc/cbSrcLength into pbDst/cbDstLength, setting
// cbSrcLengthUsed and cbDstLengthUsed. BLOCKALIGN: only whole source blocks are consumed (a
// byte stream such as MP3, block alignment 1, takes everything). Without BLOCKALIGN, END also
// takes the tail of less than a block. START: the decoder starts afresh. END: the decoder also
// gives out everything it holds. Never writes past cbDstLength: PCM that does not fit stays in
// the stream and comes out first at the next call, which may then produce without consuming.
// A driver may take less than it is offered when its PCM would not fit acmStreamSize's size
// for the offer; the caller offers the rest again. What a conversion gives is whole frames of
// the PCM format (a destination smaller than one frame gets it a part at a time): part of a
// frame that the tail decodes to (a sample of some channels only) is dropped, as a partial
// block is. Fault seam: "acmStreamConvert".
MMRESULT acmStreamConvert(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags);

// Undoes the preparation (flags 0).
MMRESULT acmStreamUnprepareHeader(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags);

// Closes the stream (flags 0).
MMRESULT acmStreamClose(HACMSTREAM stream, uint32_t flags);
