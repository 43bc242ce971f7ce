// SPDX-License-Identifier: GPL-3.0-or-later
// Must not compile in a front end: the engine's record is the engine's own.
#include "engine/player_state.h"

int BoundaryProbe() {
  return static_cast<int>(player.flags);
}
