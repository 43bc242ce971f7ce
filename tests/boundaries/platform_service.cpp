// SPDX-License-Identifier: GPL-3.0-or-later
// Must not compile in a front end: the platform's services are the engine's to use.
#include "platform/waveout.h"

int BoundaryProbe() {
  return static_cast<int>(waveOutGetNumDevs());
}
