// SPDX-License-Identifier: GPL-3.0-or-later
// The test seam: makes a named service call fail, so tests run the engine's real code on
// failures that no real input provokes. Names are the service calls' own ("LocalAlloc",
// "mmioSetBuffer", "waveOutWrite", ...). Thread-safe; costs one relaxed load when unused.
#pragma once

#include <cstdint>

// The nth call of `name` from now on (1 = the next one) fails, once.
void InjectServiceFault(const char* name, uint32_t nth);
// Forgets every injected fault.
void ClearServiceFaults();

// Called by each service at its entry: true when this call must fail.
bool ServiceCallFails(const char* name);
