// SPDX-License-Identifier: GPL-3.0-or-later
// Compiles where the includer's layer may see the engine's surface (a front end).
#include "engine/engine.h"

int BoundaryProbe() {
  return PlaybackPlaying() ? 1 : 0;
}
