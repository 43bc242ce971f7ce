// SPDX-License-Identifier: GPL-3.0-or-later
// Fixed blocks of memory for the engine's buffers. Failures can be injected (faults.h).
#pragma once

#include <cstddef>

constexpr unsigned LMEM_FIXED = 0x0000;

// Returns a block of `bytes` bytes (contents undefined), or null.
void* LocalAlloc(unsigned flags, size_t bytes);
// Frees a block from LocalAlloc; null does nothing. Returns null.
void* LocalFree(void* block);
