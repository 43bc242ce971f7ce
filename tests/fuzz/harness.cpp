// SPDX-License-Identifier: GPL-3.0-or-later
#include "fuzz/harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/buffer_fill.h"
#include "engine/messages.h"
#include "engine/player_state.h"
#include "engine/start_and_teardown.h"
#include "engine/wave_reader.h"

namespace {

int messagesShown = 0;
bool readErrorShown = false;

void CountMessage(void* /*context*/, const char* text) {
  ++messagesShown;
  if (std::strcmp(text, kFileReadErrorText) == 0) readErrorShown = true;
}
int DefaultEntry(void* /*context*/) {
  return 0;
}
void Ignore(void* /*context*/) {}
void IgnoreMessage(void* /*context*/, uint32_t /*message*/) {}

const FrontEnd kSilentFrontEnd{nullptr, &CountMessage, &DefaultEntry,
                               &Ignore, &Ignore,       &IgnoreMessage};

// One file per process, rewritten for every input. libFuzzer may end the process without
// running exit handlers, so scripts/fuzz points TMPDIR at a folder it empties itself. A plain
// array: the exit handler runs after static objects have been destroyed.
const char* ScratchPath() {
  static char path[PATH_MAX] = "";
  if (path[0] == '\0') {
    const char* dir = std::getenv("TMPDIR");
    std::snprintf(path, sizeof path, "%s/rtplayer-fuzz-%d.wav", dir != nullptr ? dir : "/tmp",
                  static_cast<int>(getpid()));
    std::atexit([] { unlink(path); });
  }
  return path;
}

// The open for reading refuses a file that anyone holds open for writing, so the writer is
// closed before the engine sees the file.
bool WriteInput(const uint8_t* data, size_t size) {
  const int fd = open(ScratchPath(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0 && done == size;
}

void BeginPlayback() {
  player = {};
  player.frontEndPort = &kSilentFrontEnd;
  std::strcpy(player.fileName, ScratchPath());
  messagesShown = 0;
  readErrorShown = false;
}

// The engine's own teardown, as the finish runs it.
void TearDown() {
  CloseHandles();
  ReleaseBuffers();
}

uint32_t Buffered() {
  return static_cast<uint32_t>(player.fileInfo.pchEndRead - player.fileInfo.pchNext);
}

// Buffer sizes from one byte short of a block to a whole page, picked by the input's length so
// the same bytes meet the same size every time.
uint32_t PickBufferSize(size_t size) {
  constexpr uint32_t kSizes[] = {3, 61, 512, 4096};
  return kSizes[size % 4];
}

const char* WalkToEnd(const uint8_t* data, size_t size) {
  const uint32_t bufferSize = PickBufferSize(size);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[bufferSize]);
  player.sourceBuffer = buffer.get();
  player.sourceBufferSize = bufferSize;
  if (BindFileBuffer() == 0) return "the buffer of an open file was refused";
  if (Buffered() != 0) return "the bound buffer holds bytes before the first refill";

  size_t position = player.dataChunk.dwDataOffset;
  if (position > size) return "the data chunk starts past the end of the file";
  for (size_t step = 0;; ++step) {
    if (step > size + 2) return "the refills never reach the end of the file";
    if (RefillFileBuffer() == 0) return "a refill failed on a readable file";
    const uint32_t n = Buffered();
    if (player.fileInfo.pchNext != player.sourceBuffer || n > bufferSize) {
      return "a refill left the buffer outside its bounds";
    }
    if (n == 0) break;
    if (n > size - position || std::memcmp(player.fileInfo.pchNext, data + position, n) != 0) {
      return "a refill served bytes out of order";
    }
    // Leave a third behind, as a converter leaves part of a block; the next refill must
    // serve it again first.
    const uint32_t take = n - n / 3;
    player.fileInfo.pchNext += take;
    position += take;
  }
  if (position != size) return "the refills ended before the end of the file";
  if (RefillFileBuffer() == 0 || Buffered() != 0) return "a refill after the end was not empty";
  return nullptr;
}

// 100 ms of the most a header may claim (about 43 MB/s) comes to 4.3 MB of source; no real
// decoder expands that past this.
constexpr uint32_t kConvertedBufferLimit = 64 << 20;

// Every PCM byte is read once, as the copy into device buffers would, so that a count that
// runs past the converted buffer shows.
uint8_t ReadOut(const uint8_t* pcm, uint32_t count) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + pcm[i]);
  return sum;
}

// Once the data chunk is over the playback converts no more, so whatever the stream still held
// would be lost: one more draining conversion must give nothing.
const char* StreamEmptyAtTheEnd() {
  ACMSTREAMHEADER header{};
  header.cbStruct = sizeof header;
  header.pbSrc = player.sourceBuffer;
  header.pbDst = player.convertedBuffer;
  header.cbDstLength = player.convertedBufferSize;
  if (acmStreamPrepareHeader(player.streamHandle, &header, 0) != 0) return nullptr;
  const MMRESULT result = acmStreamConvert(player.streamHandle, &header, ACM_STREAMCONVERTF_END);
  acmStreamUnprepareHeader(player.streamHandle, &header, 0);
  if (result == 0 && header.cbDstLengthUsed != 0) return "PCM was left in the stream at the end";
  return nullptr;
}

const char* ConvertDataChunk() {
  const uint32_t frame = player.outputFormat.nBlockAlign;
  if (frame == 0) return "the suggested PCM format has no block alignment";
  volatile uint8_t sink = 0;
  // Every successful step consumes or produces; a decoder's tail is finite.
  for (uint64_t step = 0; step < 1000000; ++step) {
    if (player.convertedPending > player.convertedBufferSize) {
      return "more PCM pending than the converted buffer holds";
    }
    if (player.convertedPending % frame != 0) return "a conversion gave part of a PCM frame";
    sink = static_cast<uint8_t>(sink + ReadOut(player.convertedNext, player.convertedPending));
    player.convertedPending = 0;

    if (player.dataRemaining == 0) return StreamEmptyAtTheEnd();
    const uint64_t before = player.dataRemaining;
    if (!ConvertNextPortion()) {
      if (readErrorShown) return "a refill failed on a readable file";
      if (messagesShown != 1) return "a failed conversion did not show exactly one message";
      if ((LoadFlags() & FLAG_STOPPING) == 0) return "a failed conversion did not stop playback";
      return nullptr;
    }
    if (messagesShown != 0) return "a conversion that succeeded showed a message";
    if (player.dataRemaining > before) return "the data remaining grew";
    if (player.fileInfo.pchNext > player.fileInfo.pchEndRead) {
      return "a conversion consumed more than the buffer held";
    }
  }
  return "the conversion of the data chunk never ended";
}

}  // namespace

const char* FuzzWaveReader(const uint8_t* data, size_t size) {
  if (!WriteInput(data, size)) return nullptr;
  BeginPlayback();
  const char* problem = nullptr;
  if (OpenWaveFile() == 0) {
    if (messagesShown != 1) problem = "a failed open did not show exactly one message";
  } else {
    problem = WalkToEnd(data, size);
    if (problem == nullptr && messagesShown != 0) problem = "a playable file showed a message";
  }
  // The walk's buffer was its own, so only the file is the engine's to close.
  CloseHandles();
  return problem;
}

const char* FuzzDecompression(const uint8_t* data, size_t size) {
  if (!WriteInput(data, size)) return nullptr;
  BeginPlayback();
  const char* problem = nullptr;
  if (OpenSource() == 0) {
    if (messagesShown != 1) problem = "a failed start did not show exactly one message";
  } else if (messagesShown != 0) {
    problem = "a start that succeeded showed a message";
  } else if (player.convertedBufferSize > kConvertedBufferLimit) {
    problem = "the converted buffer was sized beyond any real file's need";
  } else {
    problem = ConvertDataChunk();
  }
  TearDown();
  return problem;
}
