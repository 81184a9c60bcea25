// Auto- and manual-reset events on an unnamed semaphore (the TLS pump's
// lock).
#include "support/g_event_sem.hpp"

#include <cerrno>
#include <cstring>

#include "support/g_eintr.hpp"
#include "support/g_event.hpp"

g_event_sem::g_event_sem() : b_manual_reset(false), b_signaled(false), b_valid(false) {
  memset(&sem, 0, sizeof sem);
}

g_event_sem::~g_event_sem() {
  close();
}

void g_event_sem::drain() {
  while (no_eintr([&] { return sem_trywait(&sem); }) == 0) {
  }
}

int g_event_sem::init(bool manual_reset, bool initially_signaled) {
  if (b_valid.load()) return EBUSY;
  if (sem_init(&sem, 0, initially_signaled ? 1u : 0u) != 0) return errno;
  b_manual_reset = manual_reset;
  b_signaled.store(initially_signaled);
  b_valid.store(true, std::memory_order_seq_cst);
  return 0;
}

int g_event_sem::signal() {
  if (!gate.enter(b_valid)) return G_CLOSED;
  b_signaled.store(true);
  const int rc = sem_post(&sem) == 0 ? 0 : errno;
  gate.leave();
  return rc;
}

int g_event_sem::reset() {
  if (!gate.enter(b_valid)) return G_CLOSED;
  b_signaled.store(false);
  drain();
  gate.leave();
  return 0;
}

int g_event_sem::woken(int err) {
  if (!b_valid.load()) {
    gate.leave();
    return G_CLOSED;
  }
  if (err == 0) return passed();
  gate.leave();
  return err;
}

int g_event_sem::passed() {
  if (b_manual_reset) {
    // Put the count back so the next waiter passes too.
    sem_post(&sem);
  } else {
    b_signaled.store(false);
    drain();
  }
  gate.leave();
  return 0;
}

int g_event_sem::wait() {
  if (!gate.enter(b_valid)) return G_CLOSED;
  if (b_manual_reset && b_signaled.load()) {
    gate.leave();
    return 0;
  }
  const int rc = no_eintr([&] { return sem_wait(&sem); });
  return woken(rc == 0 ? 0 : errno);
}

int g_event_sem::wait_time(unsigned ms) {
  if (!gate.enter(b_valid)) return G_CLOSED;
  if (b_manual_reset && b_signaled.load()) {
    gate.leave();
    return 0;
  }
  struct timespec until;
  g_event::deadline(ms, &until);
  const int rc = no_eintr([&] { return sem_timedwait(&sem, &until); });
  return woken(rc == 0 ? 0 : errno);
}

int g_event_sem::close() {
  if (!b_valid.exchange(false, std::memory_order_seq_cst)) return G_CLOSED;
  b_signaled.store(true);
  // Keep the count at least as high as the number of threads still inside,
  // so every blocked waiter is released; then wait for all to leave before
  // the semaphore is destroyed.
  gate.wait_until_unused(
      [](void* self) {
        g_event_sem* e = static_cast<g_event_sem*>(self);
        const int inside = e->gate.users.load(std::memory_order_acquire);
        int count = 0;
        if (sem_getvalue(&e->sem, &count) == 0) {
          for (; count < inside; ++count)
            sem_post(&e->sem);
        }
      },
      this);
  const int rc = sem_destroy(&sem) == 0 ? 0 : errno;
  memset(&sem, 0, sizeof sem);
  return rc;
}
