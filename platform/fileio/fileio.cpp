// SPDX-License-Identifier: GPL-3.0-or-later
#include "fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/faults.h"
#include "platform/positioned_io.h"
#include "platform/unique_fd.h"
#include "platform/wave_format.h"

namespace {

// The sizes an RF64 form's ds64 chunk gives.
struct LargeSizes {
  uint64_t riff = 0;
  uint64_t data = 0;
  uint32_t count = 0;  // entries held in the table below
  FOURCC ids[MMIO_MAXLARGECHUNKS] = {};
  uint64_t sizes[MMIO_MAXLARGECHUNKS] = {};
};

// Where a search may read: up to `end` (exclusive); whether the parent is an RF64 form, whose
// chunks declaring 0xFFFFFFFF bytes take their sizes from its ds64 chunk; and whether it is a
// RIFX form, whose chunks' sizes are big-endian.
struct Scope {
  int64_t end = INT64_MAX;
  bool large = false;
  bool bigEndian = false;
};

}  // namespace

struct MmioFile {
  MmioFile(UniqueFd descriptor, uint32_t flags) : file(std::move(descriptor)), openFlags(flags) {}

  const UniqueFd file;
  const uint32_t openFlags;
  std::unique_ptr<uint8_t[]> ownBuffer;  // MMIO_ALLOCBUF's, until mmioSetBuffer replaces it
  uint8_t* buffer = nullptr;             // null: unbuffered
  int32_t size = 0;
  int32_t next = 0;  // buffer[next, endRead) is read and unconsumed
  int32_t endRead = 0;
  int64_t bufferOffset = 0;  // file offset of buffer[0]
  LargeSizes large;          // of the last RF64 form found
  // The last chunk found and where it was searched, for mmioAscend, and for mmioRead to give
  // a RIFX form's `fmt ` chunk in the platform's byte order.
  FOURCC foundId = 0;
  uint64_t foundDataOffset = UINT64_MAX;
  Scope foundScope;
};

namespace {

constexpr FOURCC FOURCC_DS64 = MakeFourCC('d', 's', '6', '4');
constexpr FOURCC FOURCC_DATA = MakeFourCC('d', 'a', 't', 'a');
constexpr FOURCC FOURCC_FMT = MakeFourCC('f', 'm', 't', ' ');
constexpr uint32_t kDs64FixedBytes = 28;
constexpr uint32_t kDs64EntryBytes = 12;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Le64(const uint8_t* p) {
  return Le32(p) | uint64_t{Le32(p + 4)} << 32;
}

uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[3]) | static_cast<uint32_t>(p[2]) << 8 |
         static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[0]) << 24;
}

// The forms whose sizes a ds64 chunk gives.
bool IsLargeForm(FOURCC id) {
  return id == FOURCC_RF64 || id == FOURCC_BW64;
}

bool IsForm(FOURCC id) {
  return id == FOURCC_RIFF || id == FOURCC_RIFX || IsLargeForm(id);
}

// The size in a chunk header: big-endian in a RIFX form, and for the RIFX form itself.
uint32_t DeclaredSize(const uint8_t* header, const Scope& scope) {
  return scope.bigEndian || Le32(header) == FOURCC_RIFX ? Be32(header + 4) : Le32(header + 4);
}

// `base` + `size` without passing INT64_MAX.
int64_t Plus(int64_t base, uint64_t size) {
  return size > static_cast<uint64_t>(INT64_MAX - base) ? INT64_MAX
                                                        : base + static_cast<int64_t>(size);
}

// A read that failed: its reason is kept for whoever reports the failure.
int64_t Failed() {
  NoteSystemError(errno);
  Diagnose("fileio", "read: %s", std::strerror(errno));
  return -1;
}

int64_t Position(const MmioFile& f) {
  return f.bufferOffset + f.next;
}

void SeekTo(MmioFile& f, int64_t position) {
  if (position >= f.bufferOffset && position <= f.bufferOffset + f.endRead) {
    f.next = static_cast<int32_t>(position - f.bufferOffset);
    return;
  }
  f.bufferOffset = position;
  f.next = f.endRead = 0;
}

int64_t ReadBuffered(MmioFile& f, uint8_t* dst, int64_t count) {
  int64_t done = std::min<int64_t>(count, f.endRead - f.next);
  if (done > 0) std::memcpy(dst, f.buffer + f.next, static_cast<size_t>(done));
  f.next += static_cast<int32_t>(done);
  if (done == count) return done;

  const int64_t position = Position(f);
  if (count - done >= f.size) {
    // A buffer's worth or more: straight to the caller, no copy.
    const int64_t n = ReadAt(f.file.get(), dst + done, static_cast<size_t>(count - done),
                             static_cast<uint64_t>(position));
    if (n < 0) return Failed();
    f.bufferOffset = position + n;
    f.next = f.endRead = 0;
    return done + n;
  }
  const int64_t n =
      ReadAt(f.file.get(), f.buffer, static_cast<size_t>(f.size), static_cast<uint64_t>(position));
  if (n < 0) return Failed();
  f.bufferOffset = position;
  f.endRead = static_cast<int32_t>(n);
  const int64_t take = std::min(count - done, n);
  std::memcpy(dst + done, f.buffer, static_cast<size_t>(take));
  f.next = static_cast<int32_t>(take);
  return done + take;
}

// True when another process (or this one) has the file open for writing. A lease is refused
// with EAGAIN exactly then; any other refusal means the check cannot be made here.
bool HeldOpenForWriting(int fd) {
  // A writer opening the file while the lease is held signals us; SIGIO would end the
  // process, SIGURG is ignored unless someone asked for it.
  if (fcntl(fd, F_SETSIG, SIGURG) != 0) return false;
  if (fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
    fcntl(fd, F_SETLEASE, F_UNLCK);
    return false;
  }
  return errno == EAGAIN;
}

UniqueFd OpenRegularFile(const char* path, bool denyWrite) {
  // O_NONBLOCK: a FIFO must not hold the open until a writer comes; it is refused below.
  UniqueFd file(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  struct stat status {};
  if (file.get() < 0 || fstat(file.get(), &status) != 0) {
    NoteSystemError(errno);
    Diagnose("fileio", "%s: %s", path, std::strerror(errno));
    return UniqueFd();
  }
  if (!S_ISREG(status.st_mode)) {
    if (S_ISDIR(status.st_mode)) NoteSystemError(EISDIR);
    Diagnose("fileio", "%s: not a regular file", path);
    return UniqueFd();
  }
  if (denyWrite && HeldOpenForWriting(file.get())) {
    Diagnose("fileio", "%s: another process holds it open for writing", path);
    return UniqueFd();
  }
  return file;
}

Scope ScopeOf(const MMCKINFO* parent) {
  if (parent == nullptr) return {};
  const auto offset = static_cast<int64_t>(std::min<uint64_t>(parent->dwDataOffset, INT64_MAX));
  // A form's size counts its form type, which lies before its data offset.
  const int64_t contents = IsForm(parent->ckid) ? std::max<int64_t>(offset - 4, 0) : offset;
  return {Plus(contents, parent->cksize), IsLargeForm(parent->ckid), parent->ckid == FOURCC_RIFX};
}

uint64_t SizeOf(const MmioFile& f, const Scope& scope, FOURCC id, uint32_t declared) {
  if (!scope.large || declared != 0xFFFFFFFF) return declared;
  if (id == FOURCC_DATA) return f.large.data;
  for (uint32_t i = 0; i < f.large.count; ++i) {
    if (f.large.ids[i] == id) return f.large.sizes[i];
  }
  return declared;
}

// Reads the ds64 chunk at `at`, which must lie wholly in `scope` and in the form whose sizes
// it gives. False when it is missing, short or does not fit.
bool ReadLargeSizes(MmioFile& f, const Scope& scope, int64_t at, LargeSizes* large) {
  uint8_t fixed[8 + kDs64FixedBytes];
  SeekTo(f, at);
  if (at > scope.end - static_cast<int64_t>(sizeof fixed) ||
      ReadBuffered(f, fixed, sizeof fixed) != sizeof fixed || Le32(fixed) != FOURCC_DS64) {
    return false;
  }
  const uint32_t size = Le32(fixed + 4);
  const uint32_t entries = Le32(fixed + 8 + 24);
  if (size < kDs64FixedBytes || (size - kDs64FixedBytes) / kDs64EntryBytes < entries) return false;
  large->riff = Le64(fixed + 8);
  large->data = Le64(fixed + 16);
  // The form holds at least its form type and this chunk.
  if (large->riff < 4 + 8 + uint64_t{size}) return false;
  large->count = std::min(entries, MMIO_MAXLARGECHUNKS);
  for (uint32_t i = 0; i < large->count; ++i) {
    uint8_t entry[kDs64EntryBytes];
    if (ReadBuffered(f, entry, sizeof entry) != sizeof entry) return false;
    large->ids[i] = Le32(entry);
    large->sizes[i] = Le64(entry + 4);
  }
  return true;
}

bool PrintableId(const uint8_t* id) {
  return std::all_of(id, id + 4, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

// True when a chunk header seems to lie at `at`: an id of four printable ASCII characters, a
// size that fits in the scope, and after the chunk (padded or not) the end of the scope or of
// the file, or another printable id. The last test keeps a data chunk's size bytes and samples
// from passing for a header one byte on.
bool PlausibleHeader(MmioFile& f, const Scope& scope, int64_t at) {
  uint8_t header[8];
  SeekTo(f, at);
  if (at > scope.end - 8 || ReadBuffered(f, header, 8) != 8 || !PrintableId(header)) return false;
  const uint64_t size = SizeOf(f, scope, Le32(header), DeclaredSize(header, scope));
  if (size > static_cast<uint64_t>(scope.end - at - 8)) return false;
  const int64_t end = at + 8 + static_cast<int64_t>(size);
  for (int64_t next = end; next <= end + static_cast<int64_t>(size & 1); ++next) {
    uint8_t id[4];
    SeekTo(f, next);
    if (next > scope.end - 4 || ReadBuffered(f, id, 4) != 4 || PrintableId(id)) return true;
  }
  return false;
}

// Where the header after a chunk whose contents end at `contentsEnd` lies. RIFF pads an odd
// chunk to even, but some writers leave the pad byte out; the padded place wins whenever it
// holds a plausible header or the unpadded one does not.
int64_t NextHeader(MmioFile& f, const Scope& scope, int64_t contentsEnd, bool odd) {
  if (!odd || contentsEnd == INT64_MAX) return contentsEnd;
  if (!PlausibleHeader(f, scope, contentsEnd + 1) && PlausibleHeader(f, scope, contentsEnd)) {
    return contentsEnd;
  }
  return contentsEnd + 1;
}

void FillInfo(MmioFile& f, MMIOINFO* info) {
  *info = {};
  info->dwFlags = f.openFlags;
  info->cchBuffer = f.size;
  info->pchBuffer = f.buffer;
  info->pchNext = f.buffer + f.next;
  info->pchEndRead = f.buffer + f.endRead;
  info->pchEndWrite = f.buffer + f.size;
  info->lBufOffset = f.bufferOffset;
  info->hmmio = &f;
}

}  // namespace

HMMIO mmioOpenA(const char* path, MMIOINFO* /*info*/, uint32_t flags) {
  if (ServiceCallFails("mmioOpenA")) return nullptr;
  UniqueFd fd = OpenRegularFile(path, (flags & MMIO_DENYWRITE) != 0);
  if (fd.get() < 0) return nullptr;
  std::unique_ptr<MmioFile> file(new (std::nothrow) MmioFile(std::move(fd), flags));
  if (!file) return nullptr;
  if ((flags & MMIO_ALLOCBUF) != 0) {
    file->ownBuffer.reset(new (std::nothrow) uint8_t[MMIO_DEFAULTBUFFER]);
    if (!file->ownBuffer) return nullptr;
    file->buffer = file->ownBuffer.get();
    file->size = MMIO_DEFAULTBUFFER;
  }
  return file.release();
}

MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags) {
  // 64-bit throughout: a declared size near 4 GiB, rounded up to even, must not wrap.
  const int64_t start = Position(*h);
  const Scope scope = ScopeOf(parent);
  if (parent != nullptr && static_cast<uint64_t>(start) < parent->dwDataOffset) {
    return MMIOERR_CHUNKNOTFOUND;
  }

  for (int64_t at = start; at <= scope.end - 8;) {
    uint8_t header[8];
    SeekTo(*h, at);
    if (ReadBuffered(*h, header, 8) != 8) break;
    const FOURCC id = Le32(header);
    const uint64_t size = SizeOf(*h, scope, id, DeclaredSize(header, scope));
    const int64_t data = at + 8;
    const bool form = IsForm(id);
    bool match = flags == MMIO_FINDRIFF ? form : id == ck->ckid;
    FOURCC type = 0;
    uint64_t matchedSize = size;
    if (match && form) {
      // The form type belongs to the chunk's data and must lie within the parent too.
      uint8_t typeBytes[4];
      match = (size >= 4 || IsLargeForm(id)) && data + 4 <= scope.end &&
              ReadBuffered(*h, typeBytes, 4) == 4;
      if (match) type = Le32(typeBytes);
      if (flags == MMIO_FINDRIFF && type != ck->fccType) match = false;
      if (match && IsLargeForm(id)) {
        // The wanted form, unusable without its sizes: nothing after it can be a better one.
        LargeSizes large;
        if (!ReadLargeSizes(*h, scope, data + 4, &large)) break;
        h->large = large;
        matchedSize = large.riff;
      }
    }
    const int64_t dataOffset = data + (form ? 4 : 0);
    if (match) {
      *ck = {id, matchedSize, type, static_cast<uint64_t>(dataOffset), 0};
      h->foundId = id;
      h->foundDataOffset = ck->dwDataOffset;
      h->foundScope = scope;
      SeekTo(*h, dataOffset);
      return MMSYSERR_NOERROR;
    }
    // A file is a RIFF form from its first byte or not at all: the form is never searched for
    // past the first header, however long the file.
    if (parent == nullptr && flags == MMIO_FINDRIFF) break;
    at = NextHeader(*h, scope, Plus(data, size), (size & 1) != 0);
  }
  SeekTo(*h, start);
  return MMIOERR_CHUNKNOTFOUND;
}

MMRESULT mmioAscend(HMMIO h, const MMCKINFO* ck, uint32_t /*flags*/) {
  const Scope scope = ck->dwDataOffset == h->foundDataOffset ? h->foundScope : Scope{};
  const int64_t contents = static_cast<int64_t>(ck->dwDataOffset) - (IsForm(ck->ckid) ? 4 : 0);
  SeekTo(*h, NextHeader(*h, scope, Plus(contents, ck->cksize), (ck->cksize & 1) != 0));
  return MMSYSERR_NOERROR;
}

int32_t mmioRead(HMMIO h, void* dst, int32_t count) {
  const auto at = static_cast<uint64_t>(Position(*h));
  const auto bytes = static_cast<uint8_t*>(dst);
  const int64_t n = ReadBuffered(*h, bytes, count);
  if (n > 0 && h->foundScope.bigEndian && h->foundId == FOURCC_FMT && at == h->foundDataOffset) {
    WaveFormatFromBigEndian(bytes, static_cast<size_t>(n));
  }
  return static_cast<int32_t>(n);
}

MMRESULT mmioSetBuffer(HMMIO h, uint8_t* buffer, int32_t size, uint32_t /*flags*/) {
  if (ServiceCallFails("mmioSetBuffer")) return MMIOERR_OUTOFMEMORY;
  // The size comes from the file's header; one beyond int32_t arrives negative.
  if (size < 0) return MMSYSERR_INVALPARAM;
  h->bufferOffset = Position(*h);
  h->next = h->endRead = 0;
  h->ownBuffer.reset();
  h->buffer = buffer;
  h->size = size;
  return MMSYSERR_NOERROR;
}

MMRESULT mmioGetInfo(HMMIO h, MMIOINFO* info, uint32_t /*flags*/) {
  if (ServiceCallFails("mmioGetInfo")) return MMSYSERR_ERROR;
  FillInfo(*h, info);
  return MMSYSERR_NOERROR;
}

MMRESULT mmioAdvance(HMMIO h, MMIOINFO* info, uint32_t /*flags*/) {
  if (ServiceCallFails("mmioAdvance")) return MMIOERR_CANNOTREAD;
  // The unconsumed remainder is read again with what follows it, so it is never lost.
  h->bufferOffset += info->pchNext - h->buffer;
  h->next = h->endRead = 0;
  const int64_t n = ReadAt(h->file.get(), h->buffer, static_cast<size_t>(h->size),
                           static_cast<uint64_t>(h->bufferOffset));
  if (n > 0) h->endRead = static_cast<int32_t>(n);
  FillInfo(*h, info);
  if (n < 0) {
    Failed();
    return MMIOERR_CANNOTREAD;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT mmioClose(HMMIO h, uint32_t /*flags*/) {
  delete h;
  return MMSYSERR_NOERROR;
}
