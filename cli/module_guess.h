// SPDX-License-Identifier: GPL-3.0-or-later
// Which files of a batch will need the codec module, told from their first bytes, so the batch
// can give them to the workers that have it loaded already. Main thread only.
#pragma once

#include <string>

// True when `file`, a regular file, holds a RIFF (RF64, BW64) or RIFX form whose `fmt ` chunk
// comes within its first 512 bytes and names a format that the engine's in-process drivers do
// not decode (they take PCM, IEEE float, A-law, mu-law, IMA and MS ADPCM and GSM 6.10; RIFX
// PCM and float alone). A guess, for scheduling only: false for anything else, which the engine
// then tells apart for itself. Reads nothing but those bytes, and never from a FIFO or device.
bool GuessNeedsCodecModule(const std::string& file);
