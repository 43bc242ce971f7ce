// SPDX-License-Identifier: GPL-3.0-or-later
// A-law and mu-law (G.711, WAVE_FORMAT_ALAW 0x0006 and WAVE_FORMAT_MULAW 0x0007) to 16-bit
// PCM: one byte a sample through the reference expansion tables, which sox and FFmpeg share.
#include <array>
#include <new>

#include "acm_driver.h"
#include "platform/wave_format.h"

namespace {

constexpr uint16_t WAVE_FORMAT_ALAW = 0x0006;
constexpr uint16_t WAVE_FORMAT_MULAW = 0x0007;

constexpr int16_t ExpandALaw(uint8_t code) {
  code ^= 0x55;
  int value = code & 0x0F;
  const int segment = (code & 0x70) >> 4;
  value = segment == 0 ? (2 * value + 1) << 3 : (2 * value + 1 + 32) << (segment + 2);
  return static_cast<int16_t>(code & 0x80 ? value : -value);
}

constexpr int16_t ExpandMuLaw(uint8_t code) {
  constexpr int kBias = 0x84;
  code = static_cast<uint8_t>(~code);
  const int value = (((code & 0x0F) << 3) + kBias) << ((code & 0x70) >> 4);
  return static_cast<int16_t>(code & 0x80 ? kBias - value : value - kBias);
}

using Table = std::array<int16_t, 256>;

template <int16_t (*kExpand)(uint8_t)>
constexpr Table MakeTable() {
  Table table{};
  for (int code = 0; code < 256; ++code) table[code] = kExpand(static_cast<uint8_t>(code));
  return table;
}

constexpr Table kALaw = MakeTable<ExpandALaw>();
constexpr Table kMuLaw = MakeTable<ExpandMuLaw>();

bool Handles(const WAVEFORMATEX* src) {
  const uint16_t tag = SampleCodingTag(src);
  return (tag == WAVE_FORMAT_ALAW || tag == WAVE_FORMAT_MULAW) && ContainerBytes(src) == 1;
}

void* Open(const WAVEFORMATEX* src, const WAVEFORMATEX* dst) {
  if (!Handles(src) || dst->wFormatTag != WAVE_FORMAT_PCM || dst->wBitsPerSample != 16 ||
      dst->nChannels != src->nChannels || dst->nSamplesPerSec != src->nSamplesPerSec) {
    return nullptr;
  }
  // The state is the table itself; nothing is allocated.
  return const_cast<Table*>(SampleCodingTag(src) == WAVE_FORMAT_ALAW ? &kALaw : &kMuLaw);
}

uint32_t OutputBound(void*, uint32_t srcBytes) {
  return srcBytes >= UINT32_MAX / 2 ? UINT32_MAX : 2 * srcBytes;
}

MMRESULT Decode(void* state, const uint8_t* src, uint32_t srcLength, uint32_t* consumed,
                uint8_t* out, uint32_t* produced, bool) {
  const Table& table = *static_cast<const Table*>(state);
  for (uint32_t i = 0; i < srcLength; ++i) {
    const auto sample = static_cast<uint16_t>(table[src[i]]);
    out[2 * i] = static_cast<uint8_t>(sample);
    out[2 * i + 1] = static_cast<uint8_t>(sample >> 8);
  }
  *consumed = srcLength;
  *produced = 2 * srcLength;
  return MMSYSERR_NOERROR;
}

void Reset(void*) {}

void Close(void*) {}

uint32_t PeakByteRate(void*) {
  return 0;
}

}  // namespace

const AcmDriver kG711Driver = {Handles, Open, OutputBound, Decode, Reset, Close, PeakByteRate};
