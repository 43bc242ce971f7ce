// SPDX-License-Identifier: GPL-3.0-or-later
// Must not compile in the engine: a service's backends and drivers stay behind its surface.
#include "platform/waveout_backend.h"

int BoundaryProbe() {
  return static_cast<int>(kWaveOutBackendVersion);
}
