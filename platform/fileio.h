// Buffered RIFF file I/O (mmio), read-only, over POSIX read().
//
// A handle is used by one thread at a time; handing it to another thread needs a
// happens-before edge (a posted message is one). No call ever reads outside the file.
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
constexpr MMRESULT MMIOERR_UNBUFFERED = 267;

constexpr FOURCC FOURCC_RIFF = MakeFourCC('R', 'I', 'F', 'F');

// Chunk descriptor. dwDataOffset is the file offset of the chunk's first data byte
// (for a RIFF chunk: the first byte after the form type).
struct MMCKINFO {
  FOURCC ckid;
  uint32_t cksize;
  FOURCC fccType;
  uint32_t dwDataOffset;
  uint32_t dwFlags;
};

// Direct access to the I/O buffer. Between refills the bytes [pchNext, pchEndRead) are
// file bytes read and not yet consumed; the caller consumes them by advancing pchNext.
struct MMIOINFO {
  uint32_t dwFlags;
  int32_t cchBuffer;     // size of the I/O buffer
  uint8_t* pchBuffer;    // start of the I/O buffer
  uint8_t* pchNext;      // next byte to consume
  uint8_t* pchEndRead;   // one past the last byte read into the buffer
  uint8_t* pchEndWrite;  // equals pchBuffer + cchBuffer (read-only service)
  int64_t lBufOffset;    // file offset of pchBuffer
  HMMIO hmmio;
};

// Opens `path` for reading. flags: MMIO_READ, optionally MMIO_ALLOCBUF (buffered, with a
// buffer the service allocates) and MMIO_DENYWRITE (refused when another process holds the
// file open for writing). `info` must be null. Returns null on every failure.
HMMIO mmioOpenA(const char* path, MMIOINFO* info, uint32_t flags);

// Searches forward from the current position for a chunk: MMIO_FINDRIFF matches id "RIFF"
// with ck->fccType, MMIO_FINDCHUNK matches ck->ckid. With a parent, the search stays within
// the parent's data, whatever sizes the chunks inside claim. Non-matching chunks are passed
// over by their size rounded up to even. On success (0) `ck` is filled and the file is at the
// chunk's first data byte; MMIOERR_CHUNKNOTFOUND when no further header can be read.
MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags);

// Reads up to `count` bytes; returns the number read (short at the end of the file), -1 on error.
int32_t mmioRead(HMMIO h, void* dst, int32_t count);

// Replaces the I/O buffer with the caller's `buffer` of `size` bytes (flags 0); a buffer the
// service allocated is freed. Buffered, unread bytes are kept (at most `size` of them) so
// the file position seen by the caller does not move. 0 on success.
MMRESULT mmioSetBuffer(HMMIO h, uint8_t* buffer, int32_t size, uint32_t flags);

// Fills `info` with the buffer state and puts the file into direct buffer access. 0 on success.
MMRESULT mmioGetInfo(HMMIO h, MMIOINFO* info, uint32_t flags);

// Refills the buffer for direct access: the unconsumed bytes [pchNext, pchEndRead) move to the
// start of the buffer and as many following file bytes as fit are read after them; pchNext is
// then the buffer start. At the end of the file: 0, with pchNext == pchEndRead. flags MMIO_READ.
MMRESULT mmioAdvance(HMMIO h, MMIOINFO* info, uint32_t flags);

// Closes the file and frees a buffer the service allocated. A caller's buffer is not touched.
MMRESULT mmioClose(HMMIO h, uint32_t flags);
