// SPDX-License-Identifier: GPL-3.0-or-later
#include "decompression.h"

#include <algorithm>

#include "messages.h"
#include "platform/memory.h"
#include "player_state.h"

namespace {

constexpr uint32_t kSourceMilliseconds = 100;
constexpr uint32_t kDeviceMilliseconds = 125;

// BytesForDuration counts in 32 bits and divides by the block alignment.
bool DurationFits(const WAVEFORMATEX& format, uint32_t milliseconds) {
  return format.nBlockAlign != 0 &&
         uint64_t{milliseconds} * format.nAvgBytesPerSec + 500 <= UINT32_MAX;
}

uint32_t Buffered() {
  return static_cast<uint32_t>(player.fileInfo.pchEndRead - player.fileInfo.pchNext);
}

// A fill comes short of a whole buffer only at the end of the file: everything the file still
// holds is in the buffer.
bool FileExhausted() {
  return player.fileInfo.pchEndRead != player.sourceBuffer + player.sourceBufferSize;
}

bool StopWith(const char* message) {
  RequestStop();
  ShowError(message);
  return false;
}

}  // namespace

bool OpenConversionStream() {
  const WAVEFORMATEX& source = player.sourceFormat.format;
  player.outputFormat.wFormatTag = WAVE_FORMAT_PCM;
  // The service reads cbSize extra bytes; only those of the stored chunk are the file's. PCM
  // and float have none to read, whatever their count says.
  const bool extraBytesRead =
      source.wFormatTag != WAVE_FORMAT_PCM && source.wFormatTag != WAVE_FORMAT_IEEE_FLOAT;
  if ((extraBytesRead && source.cbSize > MAX_FORMAT_CHUNK - sizeof(WAVEFORMATEX)) ||
      acmFormatSuggest(&source, &player.outputFormat, sizeof(WAVEFORMATEX),
                       ACM_FORMATSUGGESTF_WFORMATTAG) != 0 ||
      !DurationFits(source, kSourceMilliseconds) ||
      !DurationFits(player.outputFormat, kDeviceMilliseconds)) {
    ShowError(kNoOutputFormatText);
    return false;
  }
  if (acmStreamOpen(&player.streamHandle, &source, &player.outputFormat, 0) != 0) {
    ShowError(kCannotOpenStreamText);
    return false;
  }
  return true;
}

bool AllocateConversionBuffers() {
  WAVEFORMATEX sizing = player.sourceFormat.format;
  // Variable-rate writers leave the rate 0: size as if the source ran at its highest.
  if (sizing.nAvgBytesPerSec == 0) {
    sizing.nAvgBytesPerSec = PeakSourceRate(player.streamHandle);
    if (!DurationFits(sizing, kSourceMilliseconds)) sizing.nAvgBytesPerSec = 0;
  }
  player.sourceBufferSize = RoundUp(BytesForDuration(sizing, kSourceMilliseconds), 4096);
  player.sourceBuffer = static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, player.sourceBufferSize));
  if (player.sourceBuffer == nullptr) {
    ShowError(kNoSourceMemoryText);
    return false;
  }
  if (acmStreamSize(player.streamHandle, player.sourceBufferSize, &player.convertedBufferSize,
                    ACM_STREAMSIZEF_SOURCE) != 0) {
    ShowError(kNoResultSizeText);
    return false;
  }
  if (player.convertedBufferSize == 0) {
    ShowError(kSourceBufferTooSmallText);
    return false;
  }
  player.convertedBuffer =
      static_cast<uint8_t*>(LocalAlloc(LMEM_FIXED, player.convertedBufferSize));
  if (player.convertedBuffer == nullptr) {
    ShowError(kNoResultMemoryText);
    return false;
  }
  return true;
}

bool NeedsRefill() {
  const uint32_t buffered = Buffered();
  if (buffered == 0) return true;
  return buffered < player.dataRemaining && buffered < player.sourceFormat.format.nBlockAlign &&
         !FileExhausted();
}

bool ConvertNextBlock() {
  const uint32_t buffered = Buffered();
  const bool exhausted = FileExhausted();
  const bool last = buffered >= player.dataRemaining || exhausted;
  const auto offered = static_cast<uint32_t>(std::min<uint64_t>(buffered, player.dataRemaining));

  ACMSTREAMHEADER header{};
  header.cbStruct = sizeof header;
  header.pbSrc = player.fileInfo.pchNext;
  header.cbSrcLength = offered;
  header.pbDst = player.convertedBuffer;
  header.cbDstLength = player.convertedBufferSize;
  if (acmStreamPrepareHeader(player.streamHandle, &header, 0) != 0) {
    return StopWith(kCannotPrepareStreamHeaderText);
  }
  if (last) {
    player.convertFlags =
        (player.convertFlags & ~ACM_STREAMCONVERTF_BLOCKALIGN) | ACM_STREAMCONVERTF_END;
  }
  const MMRESULT result = acmStreamConvert(player.streamHandle, &header, player.convertFlags);
  acmStreamUnprepareHeader(player.streamHandle, &header, 0);
  player.convertFlags &= ~ACM_STREAMCONVERTF_START;
  if (result != 0) return StopWith(kCannotConvertText);
  // Draining a decoder that holds nothing, with nothing left to offer, is the quiet end.
  if (header.cbSrcLengthUsed == 0 && header.cbDstLengthUsed == 0 && !(last && offered == 0)) {
    return StopWith(kSourcePortionTooShortText);
  }

  player.fileInfo.pchNext += header.cbSrcLengthUsed;
  player.convertedNext = player.convertedBuffer;
  player.convertedPending = header.cbDstLengthUsed;
  player.dataRemaining -= header.cbSrcLengthUsed;
  // The file ended before the data chunk did: once all it held is converted, the data is over.
  if (exhausted && header.cbSrcLengthUsed == offered) player.dataRemaining = 0;
  return true;
}
