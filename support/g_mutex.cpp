// A POSIX mutex with explicit init and close, optionally shared.
#include "support/g_mutex.hpp"

#include <cerrno>
#include <cstring>

#include "support/g_event.hpp"

g_mutex::g_mutex() : b_valid(false), p_base(this), holder(pthread_t{}) {
  memset(&mutex, 0, sizeof mutex);
}

g_mutex::~g_mutex() {
  if (b_valid.load()) close();
}

bool g_mutex::usable() const {
  return b_valid.load() && p_base->b_valid.load();
}

int g_mutex::enter() {
  // Counting before testing the flags pairs with close, which clears its
  // flag before reading the count (both flags count here: the gate's own
  // test covers one).
  p_base->gate.users.fetch_add(1, std::memory_order_seq_cst);
  if (!usable()) {
    leave();
    return G_CLOSED;
  }
  return 0;
}

void g_mutex::leave() {
  p_base->gate.leave();
}

int g_mutex::init() {
  if (b_valid.load()) return -1;
  const int rc = pthread_mutex_init(&mutex, nullptr);
  if (rc != 0) return rc;
  p_base = this;
  holder.store(pthread_t{});
  b_valid.store(true, std::memory_order_seq_cst);
  return 0;
}

int g_mutex::init(bool locked) {
  const int rc = init();
  // A fresh mutex that nobody shares yet: taking it cannot fail or block.
  if (rc == 0 && locked) (void)lock();
  return rc;
}

int g_mutex::init(g_mutex* other) {
  if (b_valid.load() || other == nullptr || !other->usable()) return -1;
  p_base = other->p_base;
  b_valid.store(true, std::memory_order_seq_cst);
  return 0;
}

int g_mutex::taken() {
  g_mutex* base = p_base;
  if (!usable()) {
    // Closed while we waited: hand the lock on to the next one in line.
    pthread_mutex_unlock(&base->mutex);
    leave();
    return G_CLOSED;
  }
  base->holder.store(pthread_self());
  leave();
  return 0;
}

int g_mutex::lock() {
  if (!b_valid.load()) return G_CLOSED;
  if (enter() != 0) return G_CLOSED;
  const int rc = pthread_mutex_lock(&p_base->mutex);
  if (rc != 0) {
    leave();
    return rc;
  }
  return taken();
}

int g_mutex::lock_time(unsigned ms) {
  if (!b_valid.load()) return G_CLOSED;
  if (enter() != 0) return G_CLOSED;
  struct timespec until;
  g_event::deadline(ms, &until);
  const int rc = pthread_mutex_timedlock(&p_base->mutex, &until);
  if (rc != 0) {
    leave();
    return rc;
  }
  return taken();
}

int g_mutex::unlock() {
  g_mutex* base = p_base;
  // Read before the release: once released, a closer may go on and
  // destroy the object.
  const bool ok = usable();
  if (!pthread_equal(base->holder.load(), pthread_self())) return ok ? EPERM : G_CLOSED;
  base->holder.store(pthread_t{});
  const int rc = pthread_mutex_unlock(&base->mutex);
  return ok ? rc : G_CLOSED;
}

int g_mutex::close() {
  if (!b_valid.exchange(false, std::memory_order_seq_cst)) return G_CLOSED;
  g_mutex* base = p_base;
  const bool held = pthread_equal(base->holder.load(), pthread_self());
  if (base != this) {
    // A sharing object releases a lock it holds and leaves the mutex alone.
    if (held) {
      base->holder.store(pthread_t{});
      pthread_mutex_unlock(&base->mutex);
    }
    return 0;
  }
  if (!held) {
    // Another thread may hold it: take it, so it is not destroyed while held.
    pthread_mutex_lock(&mutex);
  }
  holder.store(pthread_t{});
  pthread_mutex_unlock(&mutex);
  // Blocked lockers take the lock in turn, see the object closed and pass
  // it on; the mutex is destroyed only when the last one has left.
  gate.wait_until_unused();
  const int rc = pthread_mutex_destroy(&mutex);
  memset(&mutex, 0, sizeof mutex);
  return rc;
}
