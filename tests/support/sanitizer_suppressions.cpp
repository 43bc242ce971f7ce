// Reports that the sanitizers make about the libraries under us, not about rtplayer. Linked
// into the tests that open SDL devices; without a sanitizer nothing calls these.
//
// SDL 2.26's PulseAudio backend starts sink-information requests from its hotplug callback
// and never releases the pa_operation they return.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libpulse.so\n";
}

// libpulse recycles its packet memory through lock-free lists whose atomics ThreadSanitizer
// cannot see in the uninstrumented library, so the reuse looks like a race.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulsecommon\n";
}
