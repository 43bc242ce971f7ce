// SPDX-License-Identifier: GPL-3.0-or-later
// GSM 6.10 in its WAVE form (WAVE_FORMAT_GSM610, 0x0031) to 16-bit PCM on libgsm, the
// reference implementation: mono, 65-byte blocks of two frames (320 samples), packed as the
// original platform's codec packs them (libgsm's WAV49 option: the first frame in 33 bytes,
// the second in 32). The decoder keeps its history from block to block.
#include <gsm.h>

#include <cstring>
#include <new>

#include "acm_driver.h"
#include "platform/wave_format.h"

namespace {

constexpr uint16_t WAVE_FORMAT_GSM610 = 0x0031;
constexpr uint32_t kBlockBytes = 65;
constexpr uint32_t kFirstFrameBytes = 33;
constexpr uint32_t kFrameSamples = 160;
constexpr uint32_t kBlockPcmBytes = 2 * 2 * kFrameSamples;

struct GsmStream {
  gsm decoder = nullptr;  // null when a reset could not make a new one
  uint32_t rate = 0;
  bool used = false;  // anything decoded since the decoder was made

  ~GsmStream() {
    if (decoder != nullptr) gsm_destroy(decoder);
  }
};

gsm MakeDecoder() {
  gsm decoder = gsm_create();
  if (decoder == nullptr) return nullptr;
  int on = 1;
  gsm_option(decoder, GSM_OPT_WAV49, &on);
  return decoder;
}

// Any block alignment and channel count are taken here, so that a GSM file no other way
// fits is refused by this driver's open rather than passed elsewhere.
bool Handles(const WAVEFORMATEX* src) {
  return SampleCodingTag(src) == WAVE_FORMAT_GSM610;
}

void* Open(const WAVEFORMATEX* src, const WAVEFORMATEX* dst) {
  if (!Handles(src) || src->nChannels != 1 || src->nBlockAlign != kBlockBytes ||
      dst->wFormatTag != WAVE_FORMAT_PCM || dst->wBitsPerSample != 16 || dst->nChannels != 1 ||
      dst->nSamplesPerSec != src->nSamplesPerSec) {
    return nullptr;
  }
  auto* s = new (std::nothrow) GsmStream;
  if (s == nullptr) return nullptr;
  s->decoder = MakeDecoder();
  if (s->decoder == nullptr) {
    delete s;
    return nullptr;
  }
  s->rate = src->nSamplesPerSec;
  return s;
}

uint32_t OutputBound(void*, uint32_t srcBytes) {
  const uint64_t bytes = uint64_t{srcBytes / kBlockBytes} * kBlockPcmBytes;
  return bytes >= UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

void PutFrame(const gsm_signal* samples, uint8_t* out) {
  for (uint32_t i = 0; i < kFrameSamples; ++i) {
    const auto sample = static_cast<uint16_t>(samples[i]);
    out[2 * i] = static_cast<uint8_t>(sample);
    out[2 * i + 1] = static_cast<uint8_t>(sample >> 8);
  }
}

MMRESULT Decode(void* state, const uint8_t* src, uint32_t srcLength, uint32_t* consumed,
                uint8_t* out, uint32_t* produced, bool end) {
  GsmStream& s = *static_cast<GsmStream*>(state);
  *consumed = 0;
  *produced = 0;
  if (s.decoder == nullptr) return MMSYSERR_NOMEM;
  const uint32_t blocks = srcLength / kBlockBytes;
  if (blocks > 0) s.used = true;
  gsm_signal samples[kFrameSamples];
  for (uint32_t i = 0; i < blocks; ++i) {
    // libgsm reads its input through a non-const pointer but does not write it.
    auto* block = const_cast<gsm_byte*>(src + i * kBlockBytes);
    // Damaged frames decode to noise, as in the reference; libgsm refuses nothing in WAV49.
    gsm_decode(s.decoder, block, samples);
    PutFrame(samples, out + i * kBlockPcmBytes);
    gsm_decode(s.decoder, block + kFirstFrameBytes, samples);
    PutFrame(samples, out + i * kBlockPcmBytes + 2 * kFrameSamples);
  }
  // A partial block at the end holds no whole pair of frames and is dropped, as sox does.
  *consumed = end ? srcLength : blocks * kBlockBytes;
  *produced = blocks * kBlockPcmBytes;
  return MMSYSERR_NOERROR;
}

// A fresh decoder (libgsm has no reset); only after use, so the first start allocates nothing.
void Reset(void* state) {
  GsmStream& s = *static_cast<GsmStream*>(state);
  if (!s.used && s.decoder != nullptr) return;
  if (s.decoder != nullptr) gsm_destroy(s.decoder);
  s.decoder = MakeDecoder();
  s.used = false;
}

void Close(void* state) {
  delete static_cast<GsmStream*>(state);
}

uint32_t PeakByteRate(void* state) {
  const uint64_t rate = static_cast<const GsmStream*>(state)->rate;
  return static_cast<uint32_t>((rate * kBlockBytes + 2 * kFrameSamples - 1) / (2 * kFrameSamples));
}

}  // namespace

const AcmDriver kGsmDriver = {Handles, Open, OutputBound, Decode, Reset, Close, PeakByteRate};
