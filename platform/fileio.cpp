#include "platform/fileio.h"

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

#include "platform/faults.h"

struct MmioFile {
  explicit MmioFile(int descriptor, uint32_t flags) : fd(descriptor), openFlags(flags) {}
  ~MmioFile() { close(fd); }
  MmioFile(const MmioFile&) = delete;
  MmioFile& operator=(const MmioFile&) = delete;

  const int fd;
  const uint32_t openFlags;
  std::unique_ptr<uint8_t[]> ownBuffer;  // MMIO_ALLOCBUF's, until mmioSetBuffer replaces it
  uint8_t* buffer = nullptr;             // null: unbuffered
  int32_t size = 0;
  int32_t next = 0;  // buffer[next, endRead) is read and unconsumed
  int32_t endRead = 0;
  int64_t bufferOffset = 0;  // file offset of buffer[0]
  bool direct = false;       // the caller's MMIOINFO holds the truth
};

namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Up to `count` bytes at `offset`, straight from the file; -1 on error.
int64_t ReadAt(int fd, uint8_t* dst, int64_t count, int64_t offset) {
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = pread(fd, dst + done, static_cast<size_t>(count - done), offset + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += n;
  }
  return done;
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
    const int64_t n = ReadAt(f.fd, dst + done, count - done, position);
    if (n < 0) return -1;
    f.bufferOffset = position + n;
    f.next = f.endRead = 0;
    return done + n;
  }
  const int64_t n = ReadAt(f.fd, f.buffer, f.size, position);
  if (n < 0) return -1;
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

int OpenRegularFile(const char* path, bool denyWrite) {
  // O_NONBLOCK: a FIFO must not hold the open until a writer comes; it is refused below.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      (denyWrite && HeldOpenForWriting(fd))) {
    close(fd);
    return -1;
  }
  return fd;
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

HMMIO mmioOpenA(const char* path, MMIOINFO* info, uint32_t flags) {
  if (ServiceCallFails("mmioOpenA")) return nullptr;
  if (path == nullptr || info != nullptr || (flags & ~(MMIO_ALLOCBUF | MMIO_DENYWRITE)) != 0) {
    return nullptr;
  }
  const int fd = OpenRegularFile(path, (flags & MMIO_DENYWRITE) != 0);
  if (fd < 0) return nullptr;
  std::unique_ptr<MmioFile> file(new (std::nothrow) MmioFile(fd, flags));
  if (!file) {
    close(fd);
    return nullptr;
  }
  if ((flags & MMIO_ALLOCBUF) != 0) {
    file->ownBuffer.reset(new (std::nothrow) uint8_t[MMIO_DEFAULTBUFFER]);
    if (!file->ownBuffer) return nullptr;
    file->buffer = file->ownBuffer.get();
    file->size = MMIO_DEFAULTBUFFER;
  }
  return file.release();
}

MMRESULT mmioDescend(HMMIO h, MMCKINFO* ck, const MMCKINFO* parent, uint32_t flags) {
  if (h == nullptr) return MMSYSERR_INVALHANDLE;
  if (ck == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != MMIO_FINDCHUNK && flags != MMIO_FINDRIFF) return MMSYSERR_INVALFLAG;
  if (h->direct) return MMSYSERR_ERROR;

  // 64-bit throughout: a declared size near 4 GiB, rounded up to even, must not wrap.
  const int64_t start = Position(*h);
  int64_t end = INT64_MAX;
  if (parent != nullptr) {
    const int64_t formType = parent->ckid == FOURCC_RIFF ? 4 : 0;
    end = int64_t{parent->dwDataOffset} - formType + parent->cksize;
    if (start < parent->dwDataOffset) return MMIOERR_CHUNKNOTFOUND;
  }

  for (int64_t at = start; at + 8 <= end;) {
    uint8_t header[8];
    SeekTo(*h, at);
    if (ReadBuffered(*h, header, 8) != 8) break;
    const FOURCC id = Le32(header);
    const uint32_t size = Le32(header + 4);
    const int64_t data = at + 8;
    const bool riff = id == FOURCC_RIFF;
    bool match = flags == MMIO_FINDRIFF ? riff : id == ck->ckid;
    FOURCC form = 0;
    if (match && riff) {
      // The form type belongs to the chunk's data and must lie within the parent too.
      uint8_t type[4];
      match = size >= 4 && data + 4 <= end && ReadBuffered(*h, type, 4) == 4;
      if (match) form = Le32(type);
      if (flags == MMIO_FINDRIFF && form != ck->fccType) match = false;
    }
    const int64_t dataOffset = data + (riff ? 4 : 0);
    if (match && dataOffset <= UINT32_MAX) {
      *ck = {id, size, form, static_cast<uint32_t>(dataOffset), 0};
      SeekTo(*h, dataOffset);
      return MMSYSERR_NOERROR;
    }
    at = data + size + (size & 1);
  }
  SeekTo(*h, start);
  return MMIOERR_CHUNKNOTFOUND;
}

int32_t mmioRead(HMMIO h, void* dst, int32_t count) {
  if (h == nullptr || h->direct || count < 0 || (dst == nullptr && count > 0)) return -1;
  return static_cast<int32_t>(ReadBuffered(*h, static_cast<uint8_t*>(dst), count));
}

MMRESULT mmioSetBuffer(HMMIO h, uint8_t* buffer, int32_t size, uint32_t flags) {
  if (ServiceCallFails("mmioSetBuffer")) return MMIOERR_OUTOFMEMORY;
  if (h == nullptr) return MMSYSERR_INVALHANDLE;
  if (flags != 0) return MMSYSERR_INVALFLAG;
  if (size < 0 || (buffer == nullptr && size > 0)) return MMSYSERR_INVALPARAM;
  if (h->direct) return MMSYSERR_ERROR;
  h->bufferOffset = Position(*h);
  h->next = h->endRead = 0;
  h->ownBuffer.reset();
  h->buffer = buffer;
  h->size = size;
  return MMSYSERR_NOERROR;
}

MMRESULT mmioGetInfo(HMMIO h, MMIOINFO* info, uint32_t flags) {
  if (ServiceCallFails("mmioGetInfo")) return MMSYSERR_ERROR;
  if (h == nullptr) return MMSYSERR_INVALHANDLE;
  if (info == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != 0) return MMSYSERR_INVALFLAG;
  FillInfo(*h, info);
  h->direct = true;
  return MMSYSERR_NOERROR;
}

MMRESULT mmioAdvance(HMMIO h, MMIOINFO* info, uint32_t flags) {
  if (ServiceCallFails("mmioAdvance")) return MMIOERR_CANNOTREAD;
  if (h == nullptr) return MMSYSERR_INVALHANDLE;
  if (info == nullptr) return MMSYSERR_INVALPARAM;
  if (flags != MMIO_READ) return MMSYSERR_INVALFLAG;
  if (h->buffer == nullptr) return MMIOERR_UNBUFFERED;
  if (!h->direct) return MMSYSERR_ERROR;
  const auto next = reinterpret_cast<uintptr_t>(info->pchNext);
  const auto first = reinterpret_cast<uintptr_t>(h->buffer);
  if (next < first || next > first + static_cast<uintptr_t>(h->endRead)) {
    return MMSYSERR_INVALPARAM;
  }

  // The unconsumed remainder is read again with what follows it, so it is never lost.
  h->bufferOffset += static_cast<int64_t>(next - first);
  h->next = h->endRead = 0;
  const int64_t n = ReadAt(h->fd, h->buffer, h->size, h->bufferOffset);
  if (n > 0) h->endRead = static_cast<int32_t>(n);
  FillInfo(*h, info);
  return n < 0 ? MMIOERR_CANNOTREAD : MMSYSERR_NOERROR;
}

MMRESULT mmioClose(HMMIO h, uint32_t /*flags*/) {
  if (h == nullptr) return MMSYSERR_INVALHANDLE;
  delete h;
  return MMSYSERR_NOERROR;
}
