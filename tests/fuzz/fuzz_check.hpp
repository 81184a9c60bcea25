// The harnesses' assertion: a property that does not hold names itself on
// standard error and aborts, which libFuzzer records as a crash with the
// input that caused it. Written with write(2): libFuzzer owns the stderr
// stream and its orientation.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

[[noreturn]] inline void fuzz_fail(const char* what, const char* file, int line) {
  char msg[512];
  const int n = snprintf(msg, sizeof msg, "%s:%d: check failed: %s\n", file, line, what);
  if (n > 0) {
    const size_t len = (size_t)n < sizeof msg ? (size_t)n : sizeof msg - 1;
    if (write(STDERR_FILENO, msg, len) < 0) {
      // Nothing more to tell; the abort below still records the input.
    }
  }
  abort();
}

#define check(cond) ((cond) ? (void)0 : fuzz_fail(#cond, __FILE__, __LINE__))
