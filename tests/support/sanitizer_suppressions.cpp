// SPDX-License-Identifier: GPL-3.0-or-later
// Reports that the sanitizers make about the libraries under us, not about rtplayer. Linked
// into the tests that open the sound server's devices; without a sanitizer nothing calls these.

// libpulse recycles its packet memory through lock-free lists whose atomics ThreadSanitizer
// cannot see in the uninstrumented library, so the reuse looks like a race.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulsecommon\n";
}
