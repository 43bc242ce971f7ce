// The file device: pulls whatever is queued as soon as it is written and appends it to a WAV
// file, so the engine runs as fast as it can and its output is exact.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/waveout_backend.h"

namespace {

constexpr uint32_t kHeaderBytes = 44;
// The RIFF size counts everything after its own 8 bytes, and must fit in 32 bits.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kHeaderBytes - 8) - 1;

struct FileOutput {
  const WaveOutQueueServices* services = nullptr;
  WaveOutQueue* queue = nullptr;
  WAVEFORMATEX format{};
  int fd = -1;

  std::mutex lock;  // one drain at a time, so bytes land in the order pulled
  // Guarded by lock.
  uint64_t dataBytes = 0;
  bool failed = false;
  uint8_t chunk[65536];
};

bool WriteAt(int fd, const uint8_t* bytes, size_t size, uint64_t offset) {
  while (size > 0) {
    const ssize_t written = pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<size_t>(written);
    offset += static_cast<uint64_t>(written);
  }
  return true;
}

void Put16(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* at, uint32_t value) {
  Put16(at, value);
  Put16(at + 2, value >> 16);
}

bool WriteHeader(const FileOutput& output) {
  const auto data = static_cast<uint32_t>(output.dataBytes);
  const uint32_t pad = data & 1;
  uint8_t header[kHeaderBytes];
  std::memcpy(header, "RIFF", 4);
  Put32(header + 4, kHeaderBytes - 8 + data + pad);
  std::memcpy(header + 8, "WAVEfmt ", 8);
  Put32(header + 16, 16);
  Put16(header + 20, output.format.wFormatTag);
  Put16(header + 22, output.format.nChannels);
  Put32(header + 24, output.format.nSamplesPerSec);
  Put32(header + 28, output.format.nAvgBytesPerSec);
  Put16(header + 32, output.format.nBlockAlign);
  Put16(header + 34, output.format.wBitsPerSample);
  std::memcpy(header + 36, "data", 4);
  Put32(header + 40, data);
  const uint8_t zero = 0;
  return WriteAt(output.fd, header, sizeof header, 0) &&
         (pad == 0 || WriteAt(output.fd, &zero, 1, kHeaderBytes + data));
}

void Drain(void* priv) {
  auto* output = static_cast<FileOutput*>(priv);
  std::lock_guard lock(output->lock);
  for (;;) {
    const uint32_t got = output->services->take(output->queue, output->chunk, sizeof output->chunk);
    if (got == 0) return;
    if (output->dataBytes + got > kMaxDataBytes ||
        !WriteAt(output->fd, output->chunk, got, kHeaderBytes + output->dataBytes)) {
      // The buffers go back, so nothing waits for them.
      output->failed = true;
      output->services->fail(output->queue);
      return;
    }
    output->dataBytes += got;
    output->services->played(output->queue, 0);
  }
}

MMRESULT Open(const WaveOutTarget& target, const WAVEFORMATEX& format,
              const WaveOutQueueServices* services, WaveOutQueue* queue, void** priv) {
  if (target.path == nullptr) return MMSYSERR_INVALPARAM;
  auto output = std::make_unique<FileOutput>();
  output->services = services;
  output->queue = queue;
  output->format = format;
  output->fd = open(target.path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output->fd < 0) return MMSYSERR_ERROR;
  *priv = output.release();
  return MMSYSERR_NOERROR;
}

MMRESULT Close(void* priv) {
  std::unique_ptr<FileOutput> output(static_cast<FileOutput*>(priv));
  bool complete = !output->failed && WriteHeader(*output);
  complete = close(output->fd) == 0 && complete;
  return complete ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
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
                                     nullptr,
                                     &Open,
                                     &Close,
                                     &Drain,
                                     nullptr,
                                     &Drain,
                                     &Reset};
