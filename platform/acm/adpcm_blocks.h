// SPDX-License-Identifier: GPL-3.0-or-later
// What the IMA ADPCM and MS ADPCM drivers share. Both formats cut the data into blocks of
// nBlockAlign bytes, each starting with a header per channel that restarts the decoder, so a
// driver is a block decoder plus this layout and loop. Nothing here allocates or keeps state
// between calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/mmtypes.h"

// Samples per channel that the first `bytes` bytes of one block hold: 0 when they do not hold
// every channel's header. The same rule gives a whole block's capacity.
using AdpcmSamplesIn = uint32_t (*)(uint32_t channels, uint32_t bytes);

struct AdpcmLayout {
  uint32_t channels;
  uint32_t blockAlign;
  uint32_t samplesPerBlock;  // per channel, in a whole block; at least 1
  AdpcmSamplesIn samplesIn;
  uint32_t rate;  // samples per second
};

// True when `src` has `tag`, 4 bits per sample, a rate, channels, and blocks large enough for
// every channel's header.
bool AdpcmFormatFits(const WAVEFORMATEX* src, uint16_t tag, AdpcmSamplesIn samplesIn);

// True when `dst` is the 16-bit PCM with the rate and channels of `src` that the drivers write.
bool AdpcmOutputFits(const WAVEFORMATEX* src, const WAVEFORMATEX* dst);

// The layout of `src` (which AdpcmFormatFits). Samples per block come from the first two extra
// bytes when they are there and fit the block alignment; otherwise from the block alignment.
AdpcmLayout AdpcmLayoutOf(const WAVEFORMATEX* src, AdpcmSamplesIn samplesIn);

// The extra bytes that follow `src`'s 18 bytes.
inline const uint8_t* AdpcmExtraBytes(const WAVEFORMATEX* src) {
  return reinterpret_cast<const uint8_t*>(src) + sizeof(WAVEFORMATEX);
}

inline int32_t AdpcmReadInt16(const uint8_t* p) {
  return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
}

// Stores one 16-bit little-endian sample; any alignment.
inline void AdpcmPutSample(uint8_t* out, int32_t sample) {
  out[0] = static_cast<uint8_t>(sample);
  out[1] = static_cast<uint8_t>(sample >> 8);
}

// PCM bytes that `srcBytes` source bytes decode to (whole blocks, then the samples a partial
// last block holds), saturated at UINT32_MAX.
uint32_t AdpcmOutputBound(const AdpcmLayout& layout, uint32_t srcBytes);

// The source bytes per second: whole blocks at the sample rate, rounded up.
uint32_t AdpcmByteRate(const AdpcmLayout& layout);

// The AcmDriver decode entry for both formats: decodes every whole block of src[0, srcLength)
// and, with `end`, the samples that a partial last block holds (a tail too short for its
// headers is consumed and gives nothing). decodeBlock(block, samplesPerChannel, out) writes
// that many interleaved samples per channel. Refuses input whose PCM would not fit 32 bits.
template <typename DecodeBlock>
MMRESULT DecodeAdpcmBlocks(const AdpcmLayout& layout, const uint8_t* src, uint32_t srcLength,
                           uint32_t* consumed, uint8_t* out, uint32_t* produced, bool end,
                           DecodeBlock decodeBlock) {
  *consumed = 0;
  *produced = 0;
  if (AdpcmOutputBound(layout, srcLength) == UINT32_MAX) return MMSYSERR_INVALPARAM;
  const size_t frameBytes = size_t{2} * layout.channels;
  uint32_t used = 0;
  size_t made = 0;
  for (; srcLength - used >= layout.blockAlign; used += layout.blockAlign) {
    decodeBlock(src + used, layout.samplesPerBlock, out + made);
    made += layout.samplesPerBlock * frameBytes;
  }
  if (end && used < srcLength) {
    uint32_t samples = layout.samplesIn(layout.channels, srcLength - used);
    if (samples > layout.samplesPerBlock) samples = layout.samplesPerBlock;
    if (samples > 0) decodeBlock(src + used, samples, out + made);
    made += samples * frameBytes;
    used = srcLength;
  }
  *consumed = used;
  *produced = static_cast<uint32_t>(made);
  return MMSYSERR_NOERROR;
}
