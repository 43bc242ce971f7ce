// SPDX-License-Identifier: GPL-3.0-or-later
#include "adpcm_blocks.h"

bool AdpcmFormatFits(const WAVEFORMATEX* src, uint16_t tag, AdpcmSamplesIn samplesIn) {
  return src->wFormatTag == tag && src->wBitsPerSample == 4 && src->nChannels > 0 &&
         src->nSamplesPerSec > 0 && samplesIn(src->nChannels, src->nBlockAlign) > 0;
}

bool AdpcmOutputFits(const WAVEFORMATEX* src, const WAVEFORMATEX* dst) {
  return dst->wFormatTag == WAVE_FORMAT_PCM && dst->wBitsPerSample == 16 &&
         dst->nChannels == src->nChannels && dst->nSamplesPerSec == src->nSamplesPerSec &&
         dst->nBlockAlign == 2 * src->nChannels;
}

AdpcmLayout AdpcmLayoutOf(const WAVEFORMATEX* src, AdpcmSamplesIn samplesIn) {
  AdpcmLayout layout{src->nChannels, src->nBlockAlign, 0, samplesIn, src->nSamplesPerSec};
  const uint32_t capacity = samplesIn(layout.channels, layout.blockAlign);
  // A field that claims more than the block holds, or none, is decided by the block alignment
  // rather than refused: the blocks themselves are what is decoded.
  layout.samplesPerBlock = capacity;
  if (src->cbSize >= 2) {
    const uint8_t* extra = AdpcmExtraBytes(src);
    const uint32_t declared = static_cast<uint32_t>(extra[0] | extra[1] << 8);
    if (declared >= 1 && declared <= capacity) layout.samplesPerBlock = declared;
  }
  return layout;
}

uint32_t AdpcmOutputBound(const AdpcmLayout& layout, uint32_t srcBytes) {
  uint64_t samples = uint64_t{srcBytes / layout.blockAlign} * layout.samplesPerBlock;
  const uint32_t tail = layout.samplesIn(layout.channels, srcBytes % layout.blockAlign);
  samples += tail < layout.samplesPerBlock ? tail : layout.samplesPerBlock;
  const uint64_t bytes = samples * layout.channels * 2;
  return bytes >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

uint32_t AdpcmByteRate(const AdpcmLayout& layout) {
  const uint64_t perBlock = layout.samplesPerBlock;
  const uint64_t bytes = (uint64_t{layout.rate} * layout.blockAlign + perBlock - 1) / perBlock;
  return bytes >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}
