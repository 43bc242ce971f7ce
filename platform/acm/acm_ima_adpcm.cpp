// SPDX-License-Identifier: GPL-3.0-or-later
// IMA ADPCM (WAVE_FORMAT_IMA_ADPCM, 0x0011) to 16-bit PCM, bit-exact with the reference
// decoder that sox, libsndfile and the original platform's codec share.
#include <algorithm>
#include <new>

#include "acm_driver.h"
#include "adpcm_blocks.h"

namespace {

constexpr uint16_t WAVE_FORMAT_IMA_ADPCM = 0x0011;
constexpr int kLastIndex = 88;

constexpr int32_t kStepSize[kLastIndex + 1] = {
    7,     8,     9,     10,    11,    12,    13,    14,    16,    17,    19,   21,    23,
    25,    28,    31,    34,    37,    41,    45,    50,    55,    60,    66,   73,    80,
    88,    97,    107,   118,   130,   143,   157,   173,   190,   209,   230,  253,   279,
    307,   337,   371,   408,   449,   494,   544,   598,   658,   724,   796,  876,   963,
    1060,  1166,  1282,  1411,  1552,  1707,  1878,  2066,  2272,  2499,  2749, 3024,  3327,
    3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845,  8630,  9493, 10442, 11487,
    12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr int kIndexAdjust[8] = {-1, -1, -1, -1, 2, 4, 6, 8};

// The change of the sample for every (step index, code) pair, computed once.
struct ImaTables {
  int32_t difference[kLastIndex + 1][16];
};

constexpr ImaTables MakeImaTables() {
  ImaTables tables{};
  for (int index = 0; index <= kLastIndex; ++index) {
    for (int code = 0; code < 16; ++code) {
      // The reference adds shifted steps; multiplying (step * (2 * magnitude + 1) / 8) rounds
      // differently.
      const int32_t step = kStepSize[index];
      int32_t difference = step >> 3;
      if (code & 4) difference += step;
      if (code & 2) difference += step >> 1;
      if (code & 1) difference += step >> 2;
      tables.difference[index][code] = code & 8 ? -difference : difference;
    }
  }
  return tables;
}

constexpr ImaTables kTables = MakeImaTables();

// A block: a 4-byte header per channel (sample, step index, reserved), then words of 4 bytes
// per channel in turn, each holding 8 codes of its channel, low nibble first.
uint32_t ImaSamplesIn(uint32_t channels, uint32_t bytes) {
  const uint32_t word = 4 * channels;
  return bytes < word ? 0 : (bytes - word) / word * 8 + 1;
}

struct ImaChannel {
  int32_t sample;
  int index;
};

ImaChannel StartChannel(const uint8_t* header) {
  // A step index beyond the table restarts at 0, as sox does (libsndfile clamps to 88): only
  // this block sounds wrong, the next header sets the decoder right.
  return {AdpcmReadInt16(header), header[2] <= kLastIndex ? header[2] : 0};
}

inline int32_t Step(ImaChannel& channel, uint32_t code) {
  channel.sample += kTables.difference[channel.index][code];
  // Clipping is rare: a predicted branch keeps the clamp off the chain from sample to sample.
  if (static_cast<uint32_t>(channel.sample) + 32768u > 65535u) [[unlikely]] {
    channel.sample = channel.sample < 0 ? -32768 : 32767;
  }
  channel.index = std::clamp(channel.index + kIndexAdjust[code & 7], 0, kLastIndex);
  return channel.sample;
}

// Decodes channel `first` of one block, and with kPair the next one too: two independent
// chains of dependent steps that the CPU overlaps.
template <bool kPair>
void DecodeChannels(const uint8_t* block, uint32_t channels, uint32_t first, uint32_t samples,
                    uint8_t* out) {
  ImaChannel a = StartChannel(block + 4 * first);
  ImaChannel b = kPair ? StartChannel(block + 4 * first + 4) : ImaChannel{};
  const size_t stride = size_t{2} * channels;
  auto put = [&](uint8_t* at, uint32_t codeA, uint32_t codeB) {
    AdpcmPutSample(at, Step(a, codeA));
    if constexpr (kPair) AdpcmPutSample(at + 2, Step(b, codeB));
  };
  AdpcmPutSample(out, a.sample);
  if constexpr (kPair) AdpcmPutSample(out + 2, b.sample);
  out += stride;

  // The second channel's word follows the first's; alone, the first's is read twice.
  const uint8_t* word = block + 4 * channels + 4 * first;
  const uint32_t second = kPair ? 4 : 0;
  uint32_t left = samples - 1;
  for (; left >= 8; left -= 8, word += 4 * channels) {
    for (uint32_t i = 0; i < 4; ++i, out += 2 * stride) {
      put(out, word[i] & 15u, word[second + i] & 15u);
      put(out + stride, word[i] >> 4u, word[second + i] >> 4u);
    }
  }
  for (uint32_t i = 0; i < left; ++i, out += stride) {
    const uint32_t shift = i % 2 * 4;
    put(out, (word[i / 2] >> shift) & 15u, (word[second + i / 2] >> shift) & 15u);
  }
}

bool Handles(const WAVEFORMATEX* src) {
  return AdpcmFormatFits(src, WAVE_FORMAT_IMA_ADPCM, ImaSamplesIn);
}

void* Open(const WAVEFORMATEX* src, const WAVEFORMATEX* dst) {
  if (!Handles(src) || !AdpcmOutputFits(src, dst)) return nullptr;
  return new (std::nothrow) AdpcmLayout(AdpcmLayoutOf(src, ImaSamplesIn));
}

uint32_t OutputBound(void* state, uint32_t srcBytes) {
  return AdpcmOutputBound(*static_cast<const AdpcmLayout*>(state), srcBytes);
}

MMRESULT Decode(void* state, const uint8_t* src, uint32_t srcLength, uint32_t* consumed,
                uint8_t* out, uint32_t* produced, bool end) {
  const AdpcmLayout& layout = *static_cast<const AdpcmLayout*>(state);
  return DecodeAdpcmBlocks(
      layout, src, srcLength, consumed, out, produced, end,
      [&layout](const uint8_t* block, uint32_t samples, uint8_t* pcm) {
        const uint32_t channels = layout.channels;
        uint32_t channel = 0;
        for (; channels - channel >= 2; channel += 2) {
          DecodeChannels<true>(block, channels, channel, samples, pcm + 2 * channel);
        }
        if (channel < channels) {
          DecodeChannels<false>(block, channels, channel, samples, pcm + 2 * channel);
        }
      });
}

// Each block restarts the decoder from its own header: nothing carries over to forget.
void Reset(void*) {}

void Close(void* state) {
  delete static_cast<AdpcmLayout*>(state);
}

uint32_t PeakByteRate(void* state) {
  return AdpcmByteRate(*static_cast<const AdpcmLayout*>(state));
}

}  // namespace

const AcmDriver kImaAdpcmDriver = {Handles, Open, OutputBound, Decode, Reset, Close, PeakByteRate};
