// The one EINTR retry: every system call that a signal handler may
// interrupt goes through it, so a stop or reload signal never reads as a
// failure.
#pragma once

#include <cerrno>

// Calls call() until it returns anything but -1 with errno EINTR, and
// returns that result; errno is still the failing call's when it is -1.
// Any thread.
template <typename F>
auto no_eintr(F call) -> decltype(call()) {
  for (;;) {
    const auto r = call();
    if (r != -1 || errno != EINTR) return r;
  }
}
