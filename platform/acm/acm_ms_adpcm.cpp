// SPDX-License-Identifier: GPL-3.0-or-later
// MS ADPCM (WAVE_FORMAT_ADPCM, 0x0002) to 16-bit PCM, bit-exact with the reference decoder
// that sox, libsndfile and the original platform's codec share.
#include <algorithm>
#include <new>

#include "acm_driver.h"
#include "adpcm_blocks.h"

namespace {

constexpr uint16_t WAVE_FORMAT_ADPCM = 0x0002;
constexpr uint32_t kStandardCount = 7;
constexpr uint32_t kMostCoefficients = 256;  // a block names its predictor in one byte

constexpr int16_t kStandardCoefficients[kStandardCount][2] = {
    {256, 0}, {512, -256}, {0, 0}, {192, 64}, {240, 0}, {460, -208}, {392, -232}};

constexpr uint32_t kAdaptation[16] = {230, 230, 230, 230, 307, 409, 512, 614,
                                      768, 614, 512, 409, 307, 230, 230, 230};

struct MsAdpcmStream {
  AdpcmLayout layout;
  uint32_t coefficientCount;
  int16_t coefficients[kMostCoefficients][2];
};

// A block: per channel a predictor index byte, then per channel the delta, then the newer and
// the older sample (16 bits each); then 4-bit codes, channels in turn, high nibble first.
uint32_t MsSamplesIn(uint32_t channels, uint32_t bytes) {
  const uint32_t header = 7 * channels;
  return bytes < header ? 0 : 2 * (bytes - header) / channels + 2;
}

// The file's coefficient sets (after samples per block and their count in the extra bytes),
// or the standard seven when the file's set is absent or has fewer than seven.
void ReadCoefficients(const WAVEFORMATEX* src, MsAdpcmStream* stream) {
  const uint8_t* extra = AdpcmExtraBytes(src);
  uint32_t count = 0;
  if (src->cbSize >= 4) {
    count = std::min({static_cast<uint32_t>(extra[2] | extra[3] << 8), (src->cbSize - 4u) / 4u,
                      kMostCoefficients});
  }
  if (count < kStandardCount) {
    stream->coefficientCount = kStandardCount;
    std::copy(&kStandardCoefficients[0][0], &kStandardCoefficients[0][0] + 2 * kStandardCount,
              &stream->coefficients[0][0]);
    return;
  }
  stream->coefficientCount = count;
  for (uint32_t i = 0; i < count; ++i) {
    stream->coefficients[i][0] = static_cast<int16_t>(AdpcmReadInt16(extra + 4 + 4 * i));
    stream->coefficients[i][1] = static_cast<int16_t>(AdpcmReadInt16(extra + 6 + 4 * i));
  }
}

// The reference computes in 32-bit int and wraps there when a corrupt delta grows without
// bound; unsigned arithmetic wraps the same way, without overflow here.
struct MsChannel {
  uint32_t coefficient1;
  uint32_t coefficient2;
  uint32_t delta;
  uint32_t newer;
  uint32_t older;
};

MsChannel StartChannel(const MsAdpcmStream& stream, const uint8_t* block, uint32_t channel) {
  const uint32_t channels = stream.layout.channels;
  uint32_t predictor = block[channel];
  // A predictor beyond the table decodes with the first set, as sox does: only this block
  // sounds wrong, the next header sets the decoder right.
  if (predictor >= stream.coefficientCount) predictor = 0;
  auto word = [](int32_t value) { return static_cast<uint32_t>(value); };
  return {word(stream.coefficients[predictor][0]), word(stream.coefficients[predictor][1]),
          word(AdpcmReadInt16(block + channels + 2 * channel)),
          word(AdpcmReadInt16(block + 3 * channels + 2 * channel)),
          word(AdpcmReadInt16(block + 5 * channels + 2 * channel))};
}

inline int32_t Step(MsChannel& channel, uint32_t code) {
  // Flooring shift, not a truncating division.
  const auto prediction = static_cast<int32_t>(channel.newer * channel.coefficient1 +
                                               channel.older * channel.coefficient2) >>
                          8;
  const uint32_t signedCode = code - ((code & 8u) << 1);
  auto sample =
      static_cast<int32_t>(signedCode * channel.delta + static_cast<uint32_t>(prediction));
  // Clipping is rare: a predicted branch keeps the clamp off the chain from sample to sample.
  if (static_cast<uint32_t>(sample) + 32768u > 65535u) [[unlikely]] {
    sample = sample < 0 ? -32768 : 32767;
  }
  const int32_t delta = static_cast<int32_t>(kAdaptation[code] * channel.delta) >> 8;
  channel.delta = static_cast<uint32_t>(std::max(delta, 16));
  channel.older = channel.newer;
  channel.newer = static_cast<uint32_t>(sample);
  return sample;
}

// Decodes channel `first` of one block, and with kPair the next one too: two independent
// chains of dependent steps that the CPU overlaps.
template <bool kPair>
void DecodeChannels(const MsAdpcmStream& stream, const uint8_t* block, uint32_t first,
                    uint32_t samples, uint8_t* out) {
  const uint32_t channels = stream.layout.channels;
  const size_t stride = size_t{2} * channels;
  MsChannel a = StartChannel(stream, block, first);
  MsChannel b = kPair ? StartChannel(stream, block, first + 1) : MsChannel{};
  // The older sample comes out first.
  AdpcmPutSample(out, static_cast<int32_t>(a.older));
  if constexpr (kPair) AdpcmPutSample(out + 2, static_cast<int32_t>(b.older));
  if (samples < 2) return;
  AdpcmPutSample(out + stride, static_cast<int32_t>(a.newer));
  if constexpr (kPair) AdpcmPutSample(out + stride + 2, static_cast<int32_t>(b.newer));
  out += 2 * stride;

  const uint8_t* codes = block + 7 * channels;
  auto code = [codes](uint32_t nibble) {
    return (codes[nibble / 2] >> ((~nibble & 1u) * 4)) & 15u;
  };
  if (kPair && channels % 2 == 0) {
    // The pair's two codes share a byte on every row.
    for (uint32_t i = 2, byte = first / 2; i < samples; ++i, byte += channels / 2, out += stride) {
      AdpcmPutSample(out, Step(a, codes[byte] >> 4u));
      AdpcmPutSample(out + 2, Step(b, codes[byte] & 15u));
    }
    return;
  }
  for (uint32_t i = 2, nibble = first; i < samples; ++i, nibble += channels, out += stride) {
    AdpcmPutSample(out, Step(a, code(nibble)));
    if constexpr (kPair) AdpcmPutSample(out + 2, Step(b, code(nibble + 1)));
  }
}

bool Handles(const WAVEFORMATEX* src) {
  return AdpcmFormatFits(src, WAVE_FORMAT_ADPCM, MsSamplesIn);
}

void* Open(const WAVEFORMATEX* src, const WAVEFORMATEX* dst) {
  if (!Handles(src) || !AdpcmOutputFits(src, dst)) return nullptr;
  auto* stream = new (std::nothrow) MsAdpcmStream;
  if (stream == nullptr) return nullptr;
  stream->layout = AdpcmLayoutOf(src, MsSamplesIn);
  ReadCoefficients(src, stream);
  return stream;
}

uint32_t OutputBound(void* state, uint32_t srcBytes) {
  return AdpcmOutputBound(static_cast<const MsAdpcmStream*>(state)->layout, srcBytes);
}

MMRESULT Decode(void* state, const uint8_t* src, uint32_t srcLength, uint32_t* consumed,
                uint8_t* out, uint32_t* produced, bool end) {
  const MsAdpcmStream& stream = *static_cast<const MsAdpcmStream*>(state);
  const uint32_t channels = stream.layout.channels;
  return DecodeAdpcmBlocks(
      stream.layout, src, srcLength, consumed, out, produced, end,
      [&](const uint8_t* block, uint32_t samples, uint8_t* pcm) {
        uint32_t channel = 0;
        for (; channels - channel >= 2; channel += 2) {
          DecodeChannels<true>(stream, block, channel, samples, pcm + 2 * channel);
        }
        if (channel < channels) {
          DecodeChannels<false>(stream, block, channel, samples, pcm + 2 * channel);
        }
      });
}

// Each block restarts the decoder from its own header: nothing carries over to forget.
void Reset(void*) {}

void Close(void* state) {
  delete static_cast<MsAdpcmStream*>(state);
}

uint32_t PeakByteRate(void* state) {
  return AdpcmByteRate(static_cast<const MsAdpcmStream*>(state)->layout);
}

}  // namespace

const AcmDriver kMsAdpcmDriver = {Handles, Open, OutputBound, Decode, Reset, Close, PeakByteRate};
