// SPDX-License-Identifier: GPL-3.0-or-later
#include "memory.h"

#include <cstdlib>

#include "faults.h"

void* LocalAlloc(unsigned /*flags*/, size_t bytes) {
  if (ServiceCallFails("LocalAlloc")) return nullptr;
  // malloc(0) may return null; a zero-byte block is still a block.
  return std::malloc(bytes > 0 ? bytes : 1);
}

void* LocalFree(void* block) {
  std::free(block);
  return nullptr;
}
