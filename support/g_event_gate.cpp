// The wait of a closing primitive for the threads still inside it.
#include "support/g_event_gate.hpp"

#include <sched.h>
#include <time.h>

void g_event_gate::wait_until_unused(void (*nudge)(void*), void* ctx) const {
  for (unsigned round = 0;; ++round) {
    if (nudge != nullptr) nudge(ctx);
    if (users.load(std::memory_order_acquire) == 0) return;
    if (round < 100) {
      sched_yield();
    } else {
      struct timespec pause = {0, 100000};
      nanosleep(&pause, nullptr);
    }
  }
}
