// Auto- and manual-reset events on a mutex and a condition variable.
#include "support/g_event.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/time.h>

g_event::g_event() : b_manual_reset(false), b_signaled(false), b_valid(false) {
  memset(&cond, 0, sizeof cond);
  memset(&mutex, 0, sizeof mutex);
}

g_event::~g_event() {
  close();
}

void g_event::deadline(unsigned ms, struct timespec* out) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  // 64-bit sum: a 32-bit one would wrap for time-outs near UINT_MAX and
  // expire at once instead of after ~49 days.
  const uint64_t total = static_cast<uint64_t>(ms) + static_cast<uint64_t>(now.tv_usec) / 1000u;
  out->tv_sec = now.tv_sec + static_cast<time_t>(total / 1000u);
  out->tv_nsec = static_cast<long>((total % 1000u) * 1000000u);
}

int g_event::init(bool manual_reset, bool initially_signaled) {
  if (b_valid.load()) return EBUSY;
  int rc = pthread_mutex_init(&mutex, nullptr);
  if (rc != 0) return rc;
  rc = pthread_cond_init(&cond, nullptr);
  if (rc != 0) {
    pthread_mutex_destroy(&mutex);
    memset(&mutex, 0, sizeof mutex);
    return rc;
  }
  b_manual_reset = manual_reset;
  b_signaled = initially_signaled;
  b_valid.store(true, std::memory_order_seq_cst);
  return 0;
}

int g_event::signal() {
  if (!gate.enter(b_valid)) return G_CLOSED;
  pthread_mutex_lock(&mutex);
  b_signaled = true;
  pthread_mutex_unlock(&mutex);
  // Wake after unlocking: a waiter woken while the mutex is still held would
  // at once block again on it, costing a second sleep and wake-up. No wake-up
  // is lost: a waiter either sees the flag before sleeping or is already
  // registered on the condition variable.
  const int rc = b_manual_reset ? pthread_cond_broadcast(&cond) : pthread_cond_signal(&cond);
  gate.leave();
  return rc;
}

int g_event::reset() {
  if (!gate.enter(b_valid)) return G_CLOSED;
  pthread_mutex_lock(&mutex);
  b_signaled = false;
  pthread_mutex_unlock(&mutex);
  gate.leave();
  return 0;
}

int g_event::woken(int rc) {
  if (!b_valid.load()) {
    rc = G_CLOSED;
  } else if (rc == 0 && !b_manual_reset) {
    b_signaled = false;
  }
  pthread_mutex_unlock(&mutex);
  gate.leave();
  return rc;
}

int g_event::wait() {
  if (!gate.enter(b_valid)) return G_CLOSED;
  pthread_mutex_lock(&mutex);
  int rc = 0;
  while (!b_signaled && rc == 0)
    rc = pthread_cond_wait(&cond, &mutex);
  return woken(rc);
}

int g_event::wait_time(unsigned ms) {
  if (!gate.enter(b_valid)) return G_CLOSED;
  struct timespec until;
  deadline(ms, &until);
  int rc = pthread_mutex_timedlock(&mutex, &until);
  if (rc != 0) {
    gate.leave();
    return rc;
  }
  while (!b_signaled && rc == 0)
    rc = pthread_cond_timedwait(&cond, &mutex, &until);
  return woken(rc);
}

int g_event::close() {
  if (!b_valid.exchange(false, std::memory_order_seq_cst)) return G_CLOSED;
  // Under the mutex, so that a waiter between its test and its sleep
  // cannot miss the wake-up.
  pthread_mutex_lock(&mutex);
  b_signaled = true;
  pthread_cond_broadcast(&cond);
  pthread_mutex_unlock(&mutex);
  // Every woken waiter still has to re-take the mutex to return 43.
  gate.wait_until_unused();
  const int rc = pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&mutex);
  memset(&cond, 0, sizeof cond);
  memset(&mutex, 0, sizeof mutex);
  return rc;
}
