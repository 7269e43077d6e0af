// Built into data_tests under ThreadSanitizer only. The embedded engine runs inside the test
// process: its deadlock detector aborts on the engine's deeply nested locks ("CHECK failed"),
// and races between the engine's own threads are reported from its frames. Both are turned
// off here, so the tests see the same settings however they are started; options given in
// TSAN_OPTIONS still apply on top.
extern "C" const char* __tsan_default_options() {
  return "detect_deadlocks=0 suppressions=" QIT_TSAN_SUPPRESSIONS;
}
