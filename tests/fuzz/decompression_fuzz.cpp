// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: arbitrary bytes as a wave file, through the reader and the decompression
// stage with the real decoders.
#include <cstdio>
#include <cstdlib>

#include "fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (const char* problem = FuzzDecompression(data, size)) {
    std::fprintf(stderr, "decompression: %s\n", problem);
    std::abort();
  }
  return 0;
}
