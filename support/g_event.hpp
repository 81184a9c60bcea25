#pragma once
// Event on a mutex and a condition variable: auto-reset (a successful wait
// consumes the signal) or manual-reset (the signal stays until reset).
// Results: 0 = success, an error number from the threading call = failure,
// G_CLOSED (43, EIDRM) = not initialised or closed.

#include <atomic>
#include <ctime>
#include <pthread.h>

#include "support/g_event_gate.hpp"
#include "support/g_result.hpp"

class g_event {
 public:
  g_event();
  ~g_event();
  g_event(const g_event&) = delete;
  g_event& operator=(const g_event&) = delete;

  // 0 or the failing initialisation's error number; EBUSY (16) when the
  // event is already valid (re-initialising live primitives is not allowed).
  int init(bool manual_reset, bool initially_signaled);
  int signal();
  int reset();
  [[nodiscard]] int wait();
  // 0, 110 (ETIMEDOUT) at the deadline, 43 when closed, or another error.
  [[nodiscard]] int wait_time(unsigned ms);
  // Wakes every waiter (they return 43) and waits until they have left
  // before the primitives are destroyed.
  int close();

  // Absolute wall-clock deadline ms milliseconds from now; the current
  // time's fraction below one millisecond is dropped.
  static void deadline(unsigned ms, struct timespec* out);

  pthread_cond_t cond;
  pthread_mutex_t mutex;
  bool b_manual_reset;
  bool b_signaled;  // guarded by mutex
  std::atomic<bool> b_valid;

 private:
  // Ends a wait that holds the mutex with the condition wait's rc (0:
  // signalled): G_CLOSED when the event was closed meanwhile, else rc; an
  // auto-reset event is reset by the waiter it let pass. Unlocks the mutex
  // and leaves the gate.
  int woken(int rc);
  // Threads currently inside an operation; close waits for none.
  g_event_gate gate;
};
