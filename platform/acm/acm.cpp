// SPDX-License-Identifier: GPL-3.0-or-later
#include "acm.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "acm_driver.h"
#include "platform/diagnostics.h"
#include "platform/faults.h"
#include "platform/module.h"
#include "platform/module_host.h"
#include "platform/wave_format.h"

// The service's side of a stream: what every driver's contract shares (block alignment, the
// start and end flags, PCM that did not fit the caller's buffer) is kept here, once.
struct AcmStream {
  const AcmDriver* driver;
  void* state;
  uint32_t blockAlign;
  uint32_t frameBytes;  // of the PCM out
  // Decoded PCM not yet given out: held[heldNext, heldEnd).
  std::vector<uint8_t> held;
  size_t heldNext = 0;
  size_t heldEnd = 0;
};

namespace {

const AcmDriver* const kInProcessDrivers[] = {&kPcmDriver, &kG711Driver, &kImaAdpcmDriver,
                                              &kMsAdpcmDriver, &kGsmDriver};

// FFmpeg's driver, loaded at the first format that no in-process driver takes; null when its
// module cannot be loaded, which then takes nothing.
const AcmDriver* ModuleDriver() {
  static const AcmDriver* const driver = []() -> const AcmDriver* {
    const auto* module =
        static_cast<const AcmModule*>(LoadModuleSymbol("ffmpeg", kAcmModuleSymbol));
    if (module == nullptr || module->version != kAcmModuleVersion) return nullptr;
    module->attach(TheModuleHost());
    return &module->driver;
  }();
  return driver;
}

// The one driver asked about `src`: the in-process driver that takes it, else the module's.
const AcmDriver* DriverFor(const WAVEFORMATEX* src) {
  for (const AcmDriver* driver : kInProcessDrivers) {
    if (driver->handles(src)) return driver;
  }
  const AcmDriver* module = ModuleDriver();
  return module != nullptr && module->handles(src) ? module : nullptr;
}

// The PCM format that `src` converts to; false when the source is not convertible or its PCM
// would not fit the record's fields.
bool SuggestPcm(const WAVEFORMATEX* src, WAVEFORMATEX* pcm) {
  if (src->nChannels == 0 || src->nSamplesPerSec == 0 || src->nBlockAlign == 0) return false;
  if (DriverFor(src) == nullptr) return false;
  uint16_t bits = 16;
  switch (LittleEndianCoding(SampleCodingTag(src))) {
    case WAVE_FORMAT_PCM:
      bits = ContainerBytes(src) == 1 ? 8 : ContainerBytes(src) == 2 ? 16 : 32;
      break;
    case WAVE_FORMAT_IEEE_FLOAT:
      bits = 32;
      break;
    default:
      break;
  }
  const uint32_t block = uint32_t{src->nChannels} * bits / 8;
  const uint64_t perSecond = uint64_t{src->nSamplesPerSec} * block;
  if (block > UINT16_MAX || perSecond > UINT32_MAX) return false;
  *pcm = {WAVE_FORMAT_PCM,
          src->nChannels,
          src->nSamplesPerSec,
          static_cast<uint32_t>(perSecond),
          static_cast<uint16_t>(block),
          bits,
          0};
  return true;
}

// Whole frames only, unless the caller's whole destination is smaller than one frame.
uint32_t GiveHeld(AcmStream& s, uint8_t* dst, uint32_t room, bool wholeFrames) {
  auto n = static_cast<uint32_t>(std::min<size_t>(s.heldEnd - s.heldNext, room));
  if (wholeFrames) n -= n % s.frameBytes;
  if (n > 0) std::memcpy(dst, s.held.data() + s.heldNext, n);
  s.heldNext += n;
  return n;
}

// Decodes src[0, take) into dst; what does not fit the room is held for the next call. The
// tail that `end` brings may decode to part of a frame (a sample of some channels only): that
// part is dropped, as a partial block is, so no frame is ever handed on in part.
MMRESULT Decode(AcmStream& s, const uint8_t* src, uint32_t take, bool end, uint8_t* dst,
                uint32_t room, bool wholeFrames, uint32_t* consumed, uint32_t* produced) {
  const uint32_t bound = s.driver->outputBound(s.state, take);
  if (bound == UINT32_MAX) return ACMERR_NOTPOSSIBLE;
  if (bound <= room) {
    const MMRESULT result = s.driver->decode(s.state, src, take, consumed, dst, produced, end);
    if (end) *produced -= *produced % s.frameBytes;
    return result;
  }

  if (s.held.size() < bound) {
    try {
      s.held.resize(bound);
    } catch (const std::bad_alloc&) {
      return MMSYSERR_NOMEM;
    }
  }
  uint32_t decoded = 0;
  const MMRESULT result =
      s.driver->decode(s.state, src, take, consumed, s.held.data(), &decoded, end);
  if (result != MMSYSERR_NOERROR) return result;
  s.heldNext = 0;
  s.heldEnd = end ? decoded - decoded % s.frameBytes : decoded;
  *produced = GiveHeld(s, dst, room, wholeFrames);
  return MMSYSERR_NOERROR;
}

}  // namespace

MMRESULT acmFormatSuggest(const WAVEFORMATEX* src, WAVEFORMATEX* dst, uint32_t /*cbDst*/,
                          uint32_t /*flags*/) {
  WAVEFORMATEX pcm;
  if (!SuggestPcm(src, &pcm)) {
    Diagnose("acm", "no driver converts format 0x%04X, %u Hz, %u channels, block %u",
             src->wFormatTag, src->nSamplesPerSec, src->nChannels, src->nBlockAlign);
    return ACMERR_NOTPOSSIBLE;
  }
  *dst = pcm;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamOpen(HACMSTREAM* stream, const WAVEFORMATEX* src, const WAVEFORMATEX* dst,
                       uint32_t /*flags*/) {
  *stream = nullptr;
  if (ServiceCallFails("acmStreamOpen")) return MMSYSERR_NOMEM;
  WAVEFORMATEX pcm;
  if (!SuggestPcm(src, &pcm)) return ACMERR_NOTPOSSIBLE;

  const AcmDriver* driver = DriverFor(src);
  const char* where = std::find(std::begin(kInProcessDrivers), std::end(kInProcessDrivers),
                                driver) != std::end(kInProcessDrivers)
                          ? "in process"
                          : "FFmpeg's module";
  void* state = driver->open(src, dst);
  if (state == nullptr) {
    Diagnose("acm", "the driver (%s) refuses format 0x%04X", where, src->wFormatTag);
    return ACMERR_NOTPOSSIBLE;
  }
  Diagnose("acm", "format 0x%04X, %u Hz, %u channels -> PCM %u-bit (%s)", src->wFormatTag,
           src->nSamplesPerSec, src->nChannels, dst->wBitsPerSample, where);
  // The driver has checked that `dst` is this PCM.
  auto* opened = new (std::nothrow) AcmStream{driver, state, src->nBlockAlign, pcm.nBlockAlign, {}};
  if (opened == nullptr) {
    driver->close(state);
    return MMSYSERR_NOMEM;
  }
  *stream = opened;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM stream, uint32_t srcBytes, uint32_t* dstBytes,
                       uint32_t /*flags*/) {
  if (ServiceCallFails("acmStreamSize")) return MMSYSERR_ERROR;
  const uint32_t bound = srcBytes == 0 ? 0 : stream->driver->outputBound(stream->state, srcBytes);
  if (bound > kAcmOutputLimit) return ACMERR_NOTPOSSIBLE;
  *dstBytes = bound;
  return MMSYSERR_NOERROR;
}

uint32_t PeakSourceRate(HACMSTREAM stream) {
  return stream->driver->peakByteRate(stream->state);
}

bool AcmModuleLoaded() {
  return ModuleLoaded("ffmpeg");
}

MMRESULT acmStreamPrepareHeader(HACMSTREAM /*stream*/, ACMSTREAMHEADER* header,
                                uint32_t /*flags*/) {
  if (ServiceCallFails("acmStreamPrepareHeader")) return MMSYSERR_NOMEM;
  header->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM stream, ACMSTREAMHEADER* header, uint32_t flags) {
  if (ServiceCallFails("acmStreamConvert")) return MMSYSERR_ERROR;
  AcmStream& s = *stream;
  header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
  header->cbSrcLengthUsed = 0;
  header->cbDstLengthUsed = 0;
  if (flags & ACM_STREAMCONVERTF_START) {
    s.driver->reset(s.state);
    s.heldNext = s.heldEnd = 0;
  }

  // PCM held from the last call goes first; until it is all out nothing new is decoded.
  const bool wholeFrames = header->cbDstLength >= s.frameBytes;
  uint32_t produced = GiveHeld(s, header->pbDst, header->cbDstLength, wholeFrames);
  uint32_t consumed = 0;
  if (s.heldNext == s.heldEnd) {
    const bool end = flags & ACM_STREAMCONVERTF_END;
    // Drivers take whole blocks; only the last portion, without block alignment, brings its
    // tail.
    uint32_t take = header->cbSrcLength;
    if (!end || (flags & ACM_STREAMCONVERTF_BLOCKALIGN)) take -= take % s.blockAlign;
    if (take > 0 || end) {
      uint32_t decoded = 0;
      const MMRESULT result =
          Decode(s, header->pbSrc, take, end, header->pbDst + produced,
                 header->cbDstLength - produced, wholeFrames, &consumed, &decoded);
      if (result != MMSYSERR_NOERROR) return result;
      produced += decoded;
    }
  }
  header->cbSrcLengthUsed = consumed;
  header->cbDstLengthUsed = produced;
  header->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM /*stream*/, ACMSTREAMHEADER* header,
                                  uint32_t /*flags*/) {
  header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM stream, uint32_t /*flags*/) {
  stream->driver->close(stream->state);
  delete stream;
  return MMSYSERR_NOERROR;
}
