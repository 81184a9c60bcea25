#pragma once
// One POSIX mutex (default attributes) with explicit init/close.
// Results: init answers -1 for an object that is already valid; every other
// operation answers G_CLOSED (43, EIDRM) for an object that is not valid, else 0 or
// the threading call's error number.
//
// Threading: init and close by the owner; lock, lock_time and unlock from
// any thread (close waits for lockers inside, see g_event_gate).

#include <atomic>
#include <pthread.h>

#include "support/g_event_gate.hpp"
#include "support/g_result.hpp"

class g_mutex {
 public:
  g_mutex();
  // As close when valid.
  ~g_mutex();
  g_mutex(const g_mutex&) = delete;
  g_mutex& operator=(const g_mutex&) = delete;

  int init();
  // As init(); when locked, also takes the lock for the calling thread.
  int init(bool locked);
  // Shares other's lock: both objects then lock the same mutex. The object
  // that owns the mutex must outlive the use of the sharing one; once it
  // is closed, the sharing object answers 43.
  int init(g_mutex* other);
  // 43 also when the object was closed while the caller waited.
  [[nodiscard]] int lock();
  [[nodiscard]] int lock_time(unsigned ms);
  // EPERM (1) when the calling thread does not hold the lock. A holder may
  // still release it after the object was closed (the result is then 43).
  int unlock();
  // Releases the lock only when the calling thread holds it; a lock held by
  // another thread is waited for, and blocked lockers leave with 43, before
  // the mutex is destroyed. Result: the destruction's.
  int close();

  pthread_mutex_t mutex;
  std::atomic<bool> b_valid;

 private:
  bool usable() const;
  int enter();
  void leave();
  // Shared tail of lock and lock_time once the mutex was taken.
  int taken();

  // The object whose mutex is used: this, or the one shared by init(other).
  g_mutex* p_base;
  // The thread that holds the lock, or 0.
  std::atomic<pthread_t> holder;
  // Threads inside lock or lock_time; close waits for none.
  g_event_gate gate;
};
