#pragma once
// Event on an unnamed POSIX semaphore, with the same operations and modes
// as g_event. Used as a lock when auto-reset and created signalled: wait
// takes it, signal gives it back.
// Results: 0 = success, errno = failure, G_CLOSED (43, EIDRM) = not initialised or
// closed.

#include <atomic>
#include <semaphore.h>

#include "support/g_event_gate.hpp"
#include "support/g_result.hpp"

class g_event_sem {
 public:
  g_event_sem();
  ~g_event_sem();
  g_event_sem(const g_event_sem&) = delete;
  g_event_sem& operator=(const g_event_sem&) = delete;

  // 0 or errno; EBUSY (16) when the event is already valid.
  int init(bool manual_reset, bool initially_signaled);
  int signal();
  int reset();
  // Keeps waiting when interrupted by a signal handler.
  [[nodiscard]] int wait();
  // 0, 110 (ETIMEDOUT) at the deadline, 43 when closed, or another errno.
  [[nodiscard]] int wait_time(unsigned ms);
  // Wakes every waiter (they return 43) and waits until they have left
  // before the semaphore is destroyed.
  int close();

  sem_t sem;
  bool b_manual_reset;
  std::atomic<bool> b_signaled;
  std::atomic<bool> b_valid;

 private:
  // Consumes every count that has accumulated.
  void drain();
  // Shared tail of wait and wait_time once the semaphore was taken.
  int passed();
  // Ends a wait the semaphore call ended with err (0: passed): G_CLOSED when
  // the event was closed meanwhile, else passed() or err; leaves the gate.
  int woken(int err);

  // Threads currently inside an operation; close waits for none.
  g_event_gate gate;
};
