// SPDX-License-Identifier: GPL-3.0-or-later
// Must not compile in the platform: it never sees the engine above it.
#include "engine/engine.h"

int BoundaryProbe() {
  return PlaybackPlaying() ? 1 : 0;
}
