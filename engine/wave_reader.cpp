// SPDX-License-Identifier: GPL-3.0-or-later
#include "wave_reader.h"

#include "messages.h"
#include "player_state.h"

namespace {

constexpr FOURCC FOURCC_WAVE = MakeFourCC('W', 'A', 'V', 'E');
constexpr FOURCC FOURCC_FMT = MakeFourCC('f', 'm', 't', ' ');
constexpr FOURCC FOURCC_DATA = MakeFourCC('d', 'a', 't', 'a');

}  // namespace

bool OpenWaveFile() {
  player.fileHandle =
      mmioOpenA(player.fileName, nullptr, MMIO_ALLOCBUF | MMIO_DENYWRITE | MMIO_READ);
  if (player.fileHandle == nullptr) {
    ShowError(kCannotOpenFileText);
    return false;
  }

  player.riffChunk = {};
  player.riffChunk.fccType = FOURCC_WAVE;
  if (mmioDescend(player.fileHandle, &player.riffChunk, nullptr, MMIO_FINDRIFF) != 0) {
    ShowError(kNotRiffWaveText);
    return false;
  }

  MMCKINFO formatChunk{};
  formatChunk.ckid = FOURCC_FMT;
  if (mmioDescend(player.fileHandle, &formatChunk, &player.riffChunk, MMIO_FINDCHUNK) != 0) {
    ShowError(kNoFormatChunkText);
    return false;
  }
  if (formatChunk.cksize > MAX_FORMAT_CHUNK) {
    ShowError(kFormatChunkTooLargeText);
    return false;
  }

  // A short chunk must not inherit the previous file's fields past its end.
  player.sourceFormat = {};
  const auto size = static_cast<int32_t>(formatChunk.cksize);
  if (mmioRead(player.fileHandle, player.sourceFormat.bytes, size) != size) {
    ShowError(kFormatChunkReadErrorText);
    return false;
  }
  // Past the pad byte of an odd chunk, where the file has one.
  mmioAscend(player.fileHandle, &formatChunk, 0);

  player.dataChunk = {};
  player.dataChunk.ckid = FOURCC_DATA;
  if (mmioDescend(player.fileHandle, &player.dataChunk, &player.riffChunk, MMIO_FINDCHUNK) != 0) {
    ShowError(kNoDataChunkText);
    return false;
  }
  player.dataRemaining = player.dataChunk.cksize;
  return true;
}

bool BindFileBuffer() {
  // A size beyond int32_t arrives negative and the service refuses it.
  if (mmioSetBuffer(player.fileHandle, player.sourceBuffer,
                    static_cast<int32_t>(player.sourceBufferSize), 0) != 0) {
    ShowError(kCannotSetFileBufferText);
    return false;
  }
  if (mmioGetInfo(player.fileHandle, &player.fileInfo, 0) != 0) {
    ShowError(kCannotGetFileInfoText);
    return false;
  }
  return true;
}

bool RefillFileBuffer() {
  return mmioAdvance(player.fileHandle, &player.fileInfo, MMIO_READ) == 0;
}
