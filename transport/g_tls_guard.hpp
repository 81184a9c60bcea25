// Scoped guards of the transport's protocols, for its own sources only. Each
// gives back on destruction what it took, so a pump operation may leave from
// anywhere: declared in the order reference, lock, they are released lock
// first, reference last, as the lock protocol requires.
//
// Threading: a guard belongs to the thread that made it, on its stack.
#pragma once

#include <cerrno>

#include "transport/g_tls.hpp"

// One reference on the session attached to the transport (hold/drop).
class g_tls_t::session_ref {
 public:
  explicit session_ref(g_tls_t& t) : t_(t), state_(t.hold(s_)) {}
  // The last holder of a session that end_session retired frees it here.
  ~session_ref() { t_.drop(s_); }
  session_ref(const session_ref&) = delete;
  session_ref& operator=(const session_ref&) = delete;

  bool held() const { return state_ == HOLD_HELD; }
  // The held session; null when none was held.
  SSL* get() const { return s_; }
  // False once end_session has taken the session off the transport: the
  // caller still holds it (nothing is freed), but must not go on with it.
  bool current() const { return t_.ssl.load() == s_; }

 private:
  g_tls_t& t_;
  SSL* s_ = nullptr;
  const int state_;
};

// The lock sem_bio, taken at construction. It is never held across a
// blocking socket call: release() before the call, acquire() after it.
class g_tls_t::bio_lock {
 public:
  // take false: constructed without the lock (held() is false).
  explicit bio_lock(g_event_sem& sem, bool take = true) : sem_(sem), held_(take && sem.wait() == 0) {}
  ~bio_lock() { release(); }
  bio_lock(const bio_lock&) = delete;
  bio_lock& operator=(const bio_lock&) = delete;

  // False when the lock could not be taken: it was closed, the transport is
  // being destroyed.
  bool held() const { return held_; }
  void release() {
    if (!held_) return;
    held_ = false;
    // Fails only on a closed lock, which nobody can wait for any more.
    (void)sem_.signal();
  }
  // Takes the lock back after a socket call; false as for held().
  [[nodiscard]] bool acquire() {
    if (!held_) held_ = sem_.wait() == 0;
    return held_;
  }

 private:
  g_event_sem& sem_;
  bool held_;
};

// A pump operation's hold on the session: a reference, then the lock (not
// tried without a reference). Released in the reverse order.
class g_tls_t::session_lock {
 public:
  explicit session_lock(g_tls_t& t) : ref(t), lock(t.sem_bio, ref.held()) {}
  session_lock(const session_lock&) = delete;
  session_lock& operator=(const session_lock&) = delete;

  // Both taken: the operation may go on.
  bool ready() const { return ref.held() && lock.held(); }

  session_ref ref;
  bio_lock lock;
};

// The live socket, counted as in use (use_fd/unuse_fd) so that end_session
// leaves its close to this call. fd() is -1 when no socket is attached. The
// release keeps errno, which the socket call has just set.
class g_tls_t::fd_use {
 public:
  explicit fd_use(g_tls_t& t) : t_(t), fd_(t.use_fd()) {}
  ~fd_use() {
    if (fd_ == -1) return;
    const int e = errno;
    t_.unuse_fd(fd_);
    errno = e;
  }
  fd_use(const fd_use&) = delete;
  fd_use& operator=(const fd_use&) = delete;

  int fd() const { return fd_; }

 private:
  g_tls_t& t_;
  const int fd_;
};

// b_reading set for the guard's lifetime: the receive thread reads the socket
// and the read BIO now, so the drain keeps out.
class g_tls_t::reading_mark {
 public:
  explicit reading_mark(g_tls_t& t) : t_(t) { t_.b_reading = true; }
  ~reading_mark() { t_.b_reading = false; }
  reading_mark(const reading_mark&) = delete;
  reading_mark& operator=(const reading_mark&) = delete;

 private:
  g_tls_t& t_;
};
