// SPDX-License-Identifier: GPL-3.0-or-later
// The file device: pulls whatever is queued as soon as it is written and appends it to a WAV
// file, so the engine runs as fast as it can and its output is exact. The file is written
// beside its target and takes the target's place at the close only when the writer has said
// to keep it (WaveOutKeepOutput) and all of it was written; otherwise it is removed, and a
// target that existed is left as it was.
//
// The file is a plain RIFF/WAVE file with the canonical 44-byte header while its RIFF size fits
// in 32 bits, and an RF64 file (as sox and FFmpeg write them) once the PCM passes that: a ds64
// chunk after the form type holds the 64-bit sizes, the 32-bit ones read 0xFFFFFFFF. Reserving
// the ds64 chunk's room up front would change every small file, so the PCM is written right
// after the 44-byte header, and moved on by the ds64 chunk's 36 bytes once, when it passes
// 4 GiB.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "platform/diagnostics.h"
#include "platform/positioned_io.h"
#include "replacement_file.h"
#include "waveout_backend.h"

namespace {

constexpr uint32_t kHeaderBytes = 44;
// The RIFF size counts everything after its own 8 bytes, the pad byte too; past this much PCM
// it no longer fits in 32 bits.
constexpr uint64_t kMaxRiffDataBytes = 0xFFFFFFFFull - (kHeaderBytes - 8) - 1;
// "ds64", its size, then the RIFF size, the data size, the sample count and an empty table.
constexpr uint32_t kDs64ChunkBytes = 8 + 28;
constexpr uint32_t kLargeHeaderBytes = kHeaderBytes + kDs64ChunkBytes;

struct FileOutput {
  const WaveOutQueueServices* services = nullptr;
  WaveOutQueue* queue = nullptr;
  WAVEFORMATEX format{};
  ReplacementFile file;

  std::mutex lock;  // one drain at a time, so bytes land in the order pulled
  // Guarded by lock.
  uint64_t dataBytes = 0;
  uint64_t dataOffset = kHeaderBytes;  // kLargeHeaderBytes once the file is RF64
  bool failed = false;
  uint8_t chunk[65536];
};

void Put16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* at, uint32_t value) {
  Put16(at, value);
  Put16(at + 2, value >> 16);
}

void Put64(uint8_t* at, uint64_t value) {
  Put32(at, static_cast<uint32_t>(value));
  Put32(at + 4, static_cast<uint32_t>(value >> 32));
}

// Makes the file RF64: the PCM written so far moves on by the ds64 chunk's room, last piece
// first, so no piece overwrites one not yet moved. Once per file, at 4 GiB.
bool MakeRoomForDs64(FileOutput& output) {
  constexpr size_t kPiece = size_t{1} << 20;
  const std::unique_ptr<uint8_t[]> piece(new (std::nothrow) uint8_t[kPiece]);
  if (!piece) return false;
  for (uint64_t end = output.dataBytes; end > 0;) {
    const auto size = static_cast<size_t>(std::min<uint64_t>(end, kPiece));
    end -= size;
    if (ReadAt(output.file.fd(), piece.get(), size, kHeaderBytes + end) !=
            static_cast<int64_t>(size) ||
        !WriteAt(output.file.fd(), piece.get(), size, kLargeHeaderBytes + end)) {
      return false;
    }
  }
  output.dataOffset = kLargeHeaderBytes;
  return true;
}

bool WriteHeader(const FileOutput& output) {
  const bool large = output.dataOffset == kLargeHeaderBytes;
  const uint64_t data = output.dataBytes;
  const uint64_t pad = data & 1;
  const uint64_t riff = output.dataOffset - 8 + data + pad;
  uint8_t header[kLargeHeaderBytes];
  uint8_t* at = header;
  std::memcpy(at, large ? "RF64" : "RIFF", 4);
  Put32(at + 4, large ? 0xFFFFFFFF : static_cast<uint32_t>(riff));
  std::memcpy(at + 8, "WAVE", 4);
  at += 12;
  if (large) {
    std::memcpy(at, "ds64", 4);
    Put32(at + 4, kDs64ChunkBytes - 8);
    Put64(at + 8, riff);
    Put64(at + 16, data);
    Put64(at + 24, data / output.format.nBlockAlign);
    Put32(at + 32, 0);
    at += kDs64ChunkBytes;
  }
  std::memcpy(at, "fmt ", 4);
  Put32(at + 4, 16);
  Put16(at + 8, output.format.wFormatTag);
  Put16(at + 10, output.format.nChannels);
  Put32(at + 12, output.format.nSamplesPerSec);
  Put32(at + 16, output.format.nAvgBytesPerSec);
  Put16(at + 20, output.format.nBlockAlign);
  Put16(at + 22, output.format.wBitsPerSample);
  std::memcpy(at + 24, "data", 4);
  Put32(at + 28, large ? 0xFFFFFFFF : static_cast<uint32_t>(data));
  const uint8_t zero = 0;
  return WriteAt(output.file.fd(), header, output.dataOffset, 0) &&
         (pad == 0 || WriteAt(output.file.fd(), &zero, 1, output.dataOffset + data));
}

void Drain(void* priv) {
  auto* output = static_cast<FileOutput*>(priv);
  std::lock_guard lock(output->lock);
  for (;;) {
    const uint32_t got = output->services->take(output->queue, output->chunk, sizeof output->chunk);
    if (got == 0) return;
    const bool passes4GiB =
        output->dataOffset == kHeaderBytes && output->dataBytes + got > kMaxRiffDataBytes;
    if ((passes4GiB && !MakeRoomForDs64(*output)) ||
        !WriteAt(output->file.fd(), output->chunk, got, output->dataOffset + output->dataBytes)) {
      // The buffers go back, so nothing waits for them.
      Diagnose("waveout", "file device: cannot write: %s", std::strerror(errno));
      output->failed = true;
      output->services->fail(output->queue, errno);
      return;
    }
    output->dataBytes += got;
    output->services->played(output->queue, 0);
  }
}

MMRESULT Open(const char* path, const WAVEFORMATEX& format, const WaveOutQueueServices* services,
              WaveOutQueue* queue, void** priv) {
  auto output = std::make_unique<FileOutput>();
  output->services = services;
  output->queue = queue;
  output->format = format;
  if (!output->file.Open(path)) {
    NoteSystemError(errno);
    Diagnose("waveout", "file device: %s: %s", path, std::strerror(errno));
    return MMSYSERR_ERROR;
  }
  Diagnose("waveout", "file device: %s, PCM %u-bit %u Hz, %u channels", path, format.wBitsPerSample,
           format.nSamplesPerSec, format.nChannels);
  *priv = output.release();
  return MMSYSERR_NOERROR;
}

MMRESULT Close(void* priv) {
  std::unique_ptr<FileOutput> output(static_cast<FileOutput*>(priv));
  if (output->failed) {
    // The file is incomplete and goes. The failure is the close's to report only if no refused
    // write has told the writer (the write that failed was the last one).
    output->file.Discard();
    return output->services->failureUnreported(output->queue) ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
  }
  // A playback that failed has said so itself: its output goes without another word.
  if (!output->services->kept(output->queue)) {
    output->file.Discard();
    return MMSYSERR_NOERROR;
  }
  if (!WriteHeader(*output) || !output->file.Keep()) {
    NoteSystemError(errno);
    Diagnose("waveout", "file device: cannot complete the file: %s", std::strerror(errno));
    output->file.Discard();
    return MMSYSERR_ERROR;
  }
  return MMSYSERR_NOERROR;
}

// Nothing is held beyond the queue: the file has what it took.
bool Reset(void* priv) {
  auto* output = static_cast<FileOutput*>(priv);
  return output->services->reset(output->queue);
}

}  // namespace

const WaveOutBackend kFileBackend = {kWaveOutBackendVersion,
                                     nullptr,
                                     nullptr,
                                     &Open,
                                     &Close,
                                     &Drain,
                                     nullptr,
                                     &Drain,
                                     &Reset,
                                     nullptr,
                                     nullptr};
