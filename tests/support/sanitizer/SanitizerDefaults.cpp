// The sanitizers' options for every test program, compiled into each one so
// that a program run by hand behaves as under ctest. The runtimes call these
// before main(); variables set in the environment still take precedence.
//
// Deadlock detection is off under ThreadSanitizer: CLucene takes its own
// mutexes in orders that it reports as inversions (see tsan.supp).

#ifndef ZN_TEST_SUPPORT_DIR
#error "ZN_TEST_SUPPORT_DIR must name tests/"
#endif

extern "C" {

__attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1";
}

__attribute__((visibility("default"), used)) const char* __ubsan_default_options() {
  return "print_stacktrace=1:halt_on_error=1";
}

__attribute__((visibility("default"), used)) const char* __lsan_default_options() {
  return "suppressions=" ZN_TEST_SUPPORT_DIR "/lsan.supp:print_suppressions=0";
}

__attribute__((visibility("default"), used)) const char* __tsan_default_options() {
  return "suppressions=" ZN_TEST_SUPPORT_DIR
         "/tsan.supp:detect_deadlocks=0:halt_on_error=1:second_deadlock_stack=1";
}

}  // extern "C"
