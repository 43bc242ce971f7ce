// SPDX-License-Identifier: GPL-3.0-or-later
// For driver authors: the table behind the conversion service. The service (acm.cpp) owns
// everything the contract of acm.h asks of every driver (block alignment, the start and end
// flags, never writing past the caller's buffer, keeping PCM that did not fit); a driver
// only decodes.
#pragma once

#include <cstdint>

#include "platform/mmtypes.h"
#include "platform/module_host.h"

struct AcmDriver {
  // True when this driver decodes `src` (its format tag and fields). Cheap; no allocation.
  bool (*handles)(const WAVEFORMATEX* src);

  // Opens a decoder from `src` to the PCM format `dst` that acmFormatSuggest chose.
  // Returns the driver's private state, or null when the format cannot be decoded after all.
  void* (*open)(const WAVEFORMATEX* src, const WAVEFORMATEX* dst);

  // The most PCM bytes that decoding `srcBytes` source bytes can produce, counting what the
  // decoder may hold from earlier input and give out with them. UINT32_MAX when the bound
  // does not fit in 32 bits.
  uint32_t (*outputBound)(void* state, uint32_t srcBytes);

  // Decodes from src[0, srcLength): the service passes whole blocks only, except with `end`,
  // when it passes the tail too. Writes PCM to out (room for outputBound(srcLength) bytes), in
  // whole frames but for what the tail decodes to (the service drops a part frame there),
  // and sets *consumed and *produced. With `end`, also gives out everything it holds. It may
  // consume less than it is given (then without `end`'s flush) to stay within that room.
  // Returns MMSYSERR_NOERROR or an error code.
  // clang-format breaks this function pointer's parameter list badly.
  // clang-format off
  MMRESULT (*decode)(void* state, const uint8_t* src, uint32_t srcLength, uint32_t* consumed,
                     uint8_t* out, uint32_t* produced, bool end);
  // clang-format on

  // Forgets all history, as at a fresh stream.
  void (*reset)(void* state);

  void (*close)(void* state);

  // The highest source bytes per second that the opened compressed format allows, for a
  // header that gives no rate (variable-rate encoders write 0). 0 for sample formats (PCM,
  // float, G.711), whose headers must give their rate, and where no limit is known.
  uint32_t (*peakByteRate)(void* state);
};

// The in-process drivers, in the order the service asks them. Each takes the formats whose
// `handles` says so and no other driver is asked about those.
extern const AcmDriver kPcmDriver;
extern const AcmDriver kG711Driver;
extern const AcmDriver kImaAdpcmDriver;
extern const AcmDriver kMsAdpcmDriver;
extern const AcmDriver kGsmDriver;

// A driver in a loadable module (FFmpeg's, for every other format tag): the module exports
// this table under kAcmModuleSymbol. Modules are built with the program, so the version is all
// that is checked; a module that is missing or of another version is a driver that takes
// nothing.
struct AcmModule {
  uint32_t version;  // kAcmModuleVersion
  // Called once, right after loading, before the driver is asked anything.
  void (*attach)(const ModuleHost* host);
  AcmDriver driver;
};
constexpr uint32_t kAcmModuleVersion = 2;
constexpr const char* kAcmModuleSymbol = "rtplayer_acm_module";
