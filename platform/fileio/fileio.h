// SPDX-License-Identifier: GPL-3.0-or-later
// Buffered RIFF file I/O (mmio), read-only, over POSIX pread().
//
// A handle is used by one thread at a time; handing it to another thread needs a
// happens-before edge (a posted message is one). No call ever reads outside the file, and
// only regular files are opened, so every search ends.
//
// Two modes of reading: through the service (mmioRead, mmioDescend) and, after mmioGetInfo,
// direct access to the I/O buffer (mmioAdvance). Once in direct access the caller's MMIOINFO
// is the file's state: only mmioAdvance and mmioClose may follow.
//
// Arguments are as the classic calls take them: handles this service gave, valid pointers,
// flags as stated. None of that is checked; what comes from the file is.
#pragma once

#include <cstdint>

#include "platform/mmtypes.h"

struct MmioFile;
using HMMIO = MmioFile*;

constexpr uint32_t MMIO_READ = 0x00000000;
constexpr uint32_t MMIO_DENYWRITE = 0x00000020;
constexpr uint32_t MMIO_ALLOCBUF = 0x00010000;

constexpr uint32_t MMIO_FINDCHUNK = 0x0010;
constexpr uint32_t MMIO_FINDRIFF = 0x0020;

constexpr MMRESULT MMIOERR_CHUNKNOTFOUND = 265;
constexpr MMRESULT MMIOERR_CANNOTREAD = 261;
constexpr MMRESULT MMIOERR_OUTOFMEMORY = 258;

constexpr FOURCC FOURCC_RIFF = MakeFourCC('R', 'I', 'F', 'F');
// RIFF's big-endian form: every chunk size in it, its own too, is big-endian, and so are the
// fields of its `fmt ` chunk.
constexpr FOURCC FOURCC_RIFX = MakeFourCC('R', 'I', 'F', 'X');
// The 64-bit forms of RIFF (RF64, and BW64 as broadcast WAVE files name it): their sizes,
// 0xFFFFFFFF in the headers, are in a `ds64` chunk right after the form type.
constexpr FOURCC FOURCC_RF64 = MakeFourCC('R', 'F', '6', '4');
constexpr FOURCC FOURCC_BW64 = MakeFourCC('B', 'W', '6', '4');

// The size of the buffer that MMIO_ALLOCBUF gives.
constexpr int32_t MMIO_DEFAULTBUFFER = 8192;

// The large chunks (beyond `data`) whose sizes a ds64 table may give that are honoured; a
// longer table's further entries are not, and such a chunk counts as 0xFFFFFFFF bytes long.
constexpr uint32_t MMIO_MAXLARGECHUNKS = 16;

// Chunk descriptor. dwDataOffset is the file offset of the chunk's first data byte
// (for a RIFF chunk: the first byte after the form type). cksize is the size the chunk
// declares, which may run past its parent or past the end of the file. Both are 64-bit, as an
// RF64 form and the chunks in it may pass 4 GiB; in an RF64 form a chunk declaring 0xFFFFFFFF
// bytes has the size its ds64 chunk gives (`data`, or a chunk in its table), the form itself
// the RIFF size from ds64.
struct MMCKINFO {
  FOURCC ckid;
  uint64_t cksize;
  FOURCC fccType;  // RIFF chunks only; 0 for others
  uint64_t dwDataOffset;
  uint32_t dwFlags;  // always 0
};

// Direct access to the I/O buffer. Between refills the bytes [pchNext, pchEndRead) are
// file bytes read and not yet consumed; the caller consumes them by advancing pchNext and
// touches no other field.
struct MMIOINFO {
  uint32_t dwFlags;      // the flags the file was opened with
  int32_t cchBuffer;     // size of the I/O buffer
  uint8_t* pchBuffer;    // start of the I/O buffer
  uint8_t* pchNext;      // next byte to consume
  uint8_t* pchEndRead;   // one past the last byte read into the buffer
  uint8_t* pchEndWrite;  // equals pchBuffer + cchBuffer (read-only service)
  int64_t lBufOffset;    // file offset of pchBuffer
  HMMIO hmmio;
};

// Opens the regular file `path` for reading. flags: MMIO_READ, optionally MMIO_ALLOCBUF
// (buffered, in a buffer of MMIO_DEFAULTBUFFER bytes that the service allocates; without it
// every read goes to the file) and MMIO_DENYWRITE (refused when another process holds the file
// open for writing; checked once, here, with a read lease that is released at once, so
// writers are never held up; skipped where the kernel grants no lease for another reason, such
// as a file of another owner or a file system without leases). `info` is null. Returns null on
// every failure: a missing or unreadable file, anything but a regular file (a FIFO would wait
// for a writer, a device may never end), no memory.
// Fault seam: "mmioOpenA".
HMMIO mmioOpenA(const char* path, MMIOINFO* info, uint32_t flags);

// Searches forward from the current position for a chunk: MMIO_FINDRIFF matches id "RIFF",
// "RIFX", "RF64" or "BW64" with ck->fccType, MMIO_FINDCHUNK matches ck->ckid. Without a parent,
// MMIO_FINDRIFF reads one header, the one at the current position: a file is a RIFF form from
// its first byte or not at all, so one that is not is refused at once, however long. With a
// parent, the search starts inside the parent's data and reads nothing outside it, whatever
// sizes the chunks inside claim: a header (and a RIFF chunk's form type) is read only where it
// lies wholly within the parent. Non-matching chunks are passed over by their size rounded up
// to even, unless the pad byte is missing: after an odd chunk the next header is taken from the
// unpadded place when the padded one holds no plausible header (four printable ASCII
// characters, a size that fits in the parent) and the unpadded one does. The sizes of a RIFX
// form and of the chunks in it are read big-endian. On success (0) `ck` is filled and the file
// is at the chunk's first data byte. MMIOERR_CHUNKNOTFOUND when no further header can be read,
// or when the matching RF64 form's ds64 chunk is missing, shorter than its 28 fixed bytes and
// its table, or does not fit in the form it sizes; the position is then unchanged. The 32-bit
// size in an RF64 form's own header is not used.
MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags);

// Leaves the chunk `ck` that the last mmioDescend found (flags 0): the file goes to the end of
// its contents, and past the pad byte after an odd size, by the same rule as the search above,
// judged within the parent of that search. 0 on success.
MMRESULT mmioAscend(HMMIO h, const MMCKINFO* ck, uint32_t flags);

// Reads up to `count` (>= 0) bytes; returns the number read (short at the end of the file), -1
// on error. The `fmt ` chunk of a RIFX form, read from its first byte right after mmioDescend
// found it, comes as a RIFF file's would (WaveFormatFromBigEndian in wave_format.h): its fields
// in the platform's byte order, and its samples under the tags that say they are big-endian.
int32_t mmioRead(HMMIO h, void* dst, int32_t count);

// Replaces the I/O buffer with the caller's `buffer` of `size` bytes (flags 0; null and 0 make
// the file unbuffered); a buffer the service allocated is freed, the caller's is never freed.
// A negative size (one beyond int32_t, from a file's header) is refused: MMSYSERR_INVALPARAM.
// Buffered, unread bytes are dropped, not moved: the file position stays where the caller saw
// it and those bytes are read again from the file, so the new buffer starts empty. 0 on success.
// Fault seam: "mmioSetBuffer".
MMRESULT mmioSetBuffer(HMMIO h, uint8_t* buffer, int32_t size, uint32_t flags);

// Fills `info` with the buffer state and puts the file into direct buffer access (flags 0).
// Right after mmioSetBuffer the buffer holds no unread bytes (pchNext == pchEndRead). 0 on
// success. Fault seam: "mmioGetInfo".
MMRESULT mmioGetInfo(HMMIO h, MMIOINFO* info, uint32_t flags);

// Refills the buffer for direct access (flags MMIO_READ) with as many file bytes as fit,
// starting at the first unconsumed one (pchNext), so an unconsumed remainder comes first; then
// pchNext is the buffer start. At the end of the file: 0, with pchNext == pchEndRead, again and
// again. The file is buffered, and pchNext lies in [pchBuffer, pchEndRead]. MMIOERR_CANNOTREAD
// on a read error (the buffer is then empty). Fault seam: "mmioAdvance".
MMRESULT mmioAdvance(HMMIO h, MMIOINFO* info, uint32_t flags);

// Closes the file (flags 0) and frees a buffer the service allocated; works in either mode.
MMRESULT mmioClose(HMMIO h, uint32_t flags);
