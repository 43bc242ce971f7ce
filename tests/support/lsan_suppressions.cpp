// Leaks that LeakSanitizer reports in the libraries under us, not in rtplayer. Linked into
// the tests that open SDL devices; without a sanitizer nothing calls it.
//
// SDL 2.26's PulseAudio backend starts sink-information requests from its hotplug callback
// and never releases the pa_operation they return.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libpulse.so\n";
}
