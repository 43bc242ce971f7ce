// SPDX-License-Identifier: GPL-3.0-or-later
// PCM of every container width and IEEE float, plain or WAVE_FORMAT_EXTENSIBLE, stored
// little-endian or (a RIFX file's, under kBigEndianPcmTag and kBigEndianFloatTag) big-endian,
// to the PCM that acmFormatSuggest chose: 8-bit stays 8-bit, 16-bit stays 16-bit, wider
// integers and float give 32-bit.
//
// Where the valid bits sit in a container: a plain header whose container is a whole byte
// wider than its bits need holds them in the low bytes (ALSA's S24_LE: 24 bits in 4 bytes,
// the top byte padding); otherwise they are the high bits, as the RIFF and extensible
// definitions say, and an extensible header's pad bits below them are cleared.
#include <algorithm>
#include <cstring>
#include <new>

#include "acm_driver.h"
#include "platform/wave_format.h"

namespace {

enum class Coding { kInteger, kFloat };

struct PcmStream {
  Coding coding;
  bool bigEndian;
  uint32_t container;  // bytes of one sample in
  uint32_t outBytes;   // bytes of one sample out: 1, 2 or 4
  uint32_t blockAlign;
  uint32_t channels;
  // An integer sample is its container read (in its byte order) into 64 bits, shifted left by
  // `shift` (the valid bits then lead), masked with `keep`, and its top outBytes bytes go out.
  uint32_t shift;
  uint64_t keep;
  bool copy;  // the output is the input, byte for byte
};

uint32_t OutputBytesFor(uint32_t container) {
  return container == 1 ? 1 : container == 2 ? 2 : 4;
}

bool Handles(const WAVEFORMATEX* src) {
  const uint32_t container = ContainerBytes(src);
  switch (LittleEndianCoding(SampleCodingTag(src))) {
    case WAVE_FORMAT_PCM:
      return container == 1 || container == 2 || container == 3 || container == 4 || container == 8;
    case WAVE_FORMAT_IEEE_FLOAT:
      return container == 4 || container == 8;
    default:
      return false;
  }
}

void SetUpInteger(const WAVEFORMATEX* src, PcmStream& s) {
  const uint32_t containerBits = 8 * s.container;
  const uint32_t bits = src->wBitsPerSample;
  s.shift = 64 - containerBits;
  s.keep = ~uint64_t{0};
  WaveFormatExtension extension;
  if (ReadExtension(src, &extension)) {
    const uint32_t valid = extension.validBitsPerSample;
    if (valid > 0 && valid < containerBits) s.keep <<= 64 - valid;
  } else if (bits > 0 && (bits + 7) / 8 < s.container) {
    s.shift = 64 - bits;
  }
  s.copy = s.container == s.outBytes && s.shift == 64 - containerBits && s.keep == ~uint64_t{0} &&
           (!s.bigEndian || s.container == 1);
}

void* Open(const WAVEFORMATEX* src, const WAVEFORMATEX* dst) {
  if (!Handles(src)) return nullptr;
  const uint32_t container = ContainerBytes(src);
  const uint32_t outBytes = OutputBytesFor(container);
  if (dst->wFormatTag != WAVE_FORMAT_PCM || dst->nChannels != src->nChannels ||
      dst->nSamplesPerSec != src->nSamplesPerSec || dst->wBitsPerSample != 8 * outBytes) {
    return nullptr;
  }
  auto* s = new (std::nothrow) PcmStream{};
  if (s == nullptr) return nullptr;
  const uint16_t tag = SampleCodingTag(src);
  s->coding = LittleEndianCoding(tag) == WAVE_FORMAT_PCM ? Coding::kInteger : Coding::kFloat;
  s->bigEndian = tag != LittleEndianCoding(tag);
  s->container = container;
  s->outBytes = outBytes;
  s->blockAlign = src->nBlockAlign;
  s->channels = src->nChannels;
  if (s->coding == Coding::kInteger) SetUpInteger(src, *s);
  return s;
}

uint32_t OutputBound(void* state, uint32_t srcBytes) {
  const PcmStream& s = *static_cast<const PcmStream*>(state);
  const uint64_t bytes = uint64_t{srcBytes / s.blockAlign} * s.channels * s.outBytes;
  return bytes >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

template <uint32_t kContainer, uint32_t kOut, bool kBigEndian>
void ConvertIntegers(const PcmStream& s, const uint8_t* in, size_t samples, uint8_t* out) {
  for (size_t i = 0; i < samples; ++i, in += kContainer, out += kOut) {
    uint64_t value = 0;
    for (uint32_t b = 0; b < kContainer; ++b) {
      value |= uint64_t{in[kBigEndian ? kContainer - 1 - b : b]} << (8 * b);
    }
    value = (value << s.shift) & s.keep;
    for (uint32_t b = 0; b < kOut; ++b)
      out[b] = static_cast<uint8_t>(value >> (64 - 8 * kOut + 8 * b));
  }
}

// 24-bit little-endian samples as they stand: into the high three bytes of each 32-bit sample.
void Widen24(const uint8_t* in, size_t samples, uint8_t* out) {
  for (size_t i = 0; i < samples; ++i, in += 3, out += 4) {
    out[0] = 0;
    out[1] = in[0];
    out[2] = in[1];
    out[3] = in[2];
  }
}

// Scaled by 2^31, clipped, and rounded to nearest (ties to even), as FFmpeg's converter does;
// NaN gives the lowest sample, as there.
template <typename Float>
void ConvertFloats(const uint8_t* in, size_t samples, bool bigEndian, uint8_t* out) {
  // Adding and taking away 1.5 * 2^52 leaves a double of this size rounded to an integer,
  // in the default rounding mode, without a call into libm.
  constexpr double kRounder = 6755399441055744.0;
  for (size_t i = 0; i < samples; ++i, in += sizeof(Float), out += 4) {
    uint8_t stored[sizeof(Float)];
    std::memcpy(stored, in, sizeof stored);
    if (bigEndian) std::reverse(stored, stored + sizeof stored);
    Float x;
    std::memcpy(&x, stored, sizeof x);
    double scaled = static_cast<double>(x) * 2147483648.0;
    scaled = std::max(-2147483648.0, scaled);  // NaN compares false: the lowest
    scaled = std::min(scaled, 2147483647.0);
    const auto sample = static_cast<int32_t>((scaled + kRounder) - kRounder);
    std::memcpy(out, &sample, 4);
  }
}

template <bool kBigEndian>
void ConvertIntegers(const PcmStream& s, const uint8_t* in, size_t samples, uint8_t* out) {
  switch (s.container) {
    case 1:
      return ConvertIntegers<1, 1, kBigEndian>(s, in, samples, out);
    case 2:
      return ConvertIntegers<2, 2, kBigEndian>(s, in, samples, out);
    case 3:
      return ConvertIntegers<3, 4, kBigEndian>(s, in, samples, out);
    case 4:
      return ConvertIntegers<4, 4, kBigEndian>(s, in, samples, out);
    default:
      return ConvertIntegers<8, 4, kBigEndian>(s, in, samples, out);
  }
}

void Convert(const PcmStream& s, const uint8_t* in, size_t samples, uint8_t* out) {
  if (s.coding == Coding::kFloat) {
    if (s.container == 4) {
      ConvertFloats<float>(in, samples, s.bigEndian, out);
    } else {
      ConvertFloats<double>(in, samples, s.bigEndian, out);
    }
    return;
  }
  if (s.copy) {
    std::memcpy(out, in, samples * s.container);
    return;
  }
  if (s.container == 3 && s.shift == 40 && s.keep == ~uint64_t{0} && !s.bigEndian) {
    Widen24(in, samples, out);
    return;
  }
  if (s.bigEndian) {
    ConvertIntegers<true>(s, in, samples, out);
  } else {
    ConvertIntegers<false>(s, in, samples, out);
  }
}

MMRESULT Decode(void* state, const uint8_t* src, uint32_t srcLength, uint32_t* consumed,
                uint8_t* out, uint32_t* produced, bool end) {
  const PcmStream& s = *static_cast<const PcmStream*>(state);
  const uint32_t frames = srcLength / s.blockAlign;
  const size_t samples = size_t{frames} * s.channels;
  if (samples > 0) Convert(s, src, samples, out);
  // A partial frame at the end holds no whole sample frame and is dropped.
  *consumed = end ? srcLength : frames * s.blockAlign;
  *produced = static_cast<uint32_t>(samples * s.outBytes);
  return MMSYSERR_NOERROR;
}

// Nothing carries over from one sample frame to the next.
void Reset(void*) {}

void Close(void* state) {
  delete static_cast<PcmStream*>(state);
}

uint32_t PeakByteRate(void*) {
  return 0;
}

}  // namespace

const AcmDriver kPcmDriver = {Handles, Open, OutputBound, Decode, Reset, Close, PeakByteRate};
