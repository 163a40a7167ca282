// The sanitizers' options of every test executable, compiled into it: ctest
// cannot hand more than one variable to the tests that gtest_discover_tests
// adds, so ASAN_OPTIONS and UBSAN_OPTIONS would never reach them. An
// ASAN_OPTIONS or UBSAN_OPTIONS of the environment still takes precedence.
// Unused in a build without sanitizers.

extern "C" const char* __asan_default_options() {
  return "detect_leaks=1:abort_on_error=0";
}

extern "C" const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1";
}
