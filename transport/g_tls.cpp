// Connection transport: attaching sockets, TLS detection, the plain read and
// write paths and the teardown. The TLS data paths live in g_tls_pump.cpp.
#include "transport/g_tls.hpp"
#include "transport/g_tls_bio.hpp"
#include "transport/g_tls_guard.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/err.h>

#include "support/g_eintr.hpp"

namespace {

// Per-session slot that carries the number of operations still holding a
// session after end_session has detached it from its object.
int retired_refs_index() {
  static const int idx = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return idx;
}

int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

g_tls_t::g_tls_t() {
  // A lock that failed to initialise refuses every wait: each TLS operation
  // then fails instead of running unguarded.
  (void)sem_bio.init(false, true);
  // Make sure the ex-data index exists before two threads could race for it.
  retired_refs_index();
}

g_tls_t::~g_tls_t() {
  // Closed first so that a thread still blocked in its wait leaves; a second
  // close (nothing to close) changes nothing.
  (void)sem_bio.close();
  b_abort = true;
  end_session();
  for (std::atomic<BUF_MEM*>* b : {&spare_w, &pending_w}) {
    BUF_MEM* m = b->exchange(nullptr);
    if (m != nullptr) BUF_MEM_free(m);
  }
}

// ---------------------------------------------------------------------------
// reference protocol

int g_tls_t::hold(SSL*& s) {
  std::lock_guard<std::mutex> lk(ref_mtx);
  s = ssl.load();
  if (s == nullptr) return HOLD_NONE;
  const int64_t before = ssl_refs.fetch_add(1);
  if (before <= 0) {
    ssl_refs.fetch_sub(1);
    err_tls = G_TLS_ERR_GONE;
    s = nullptr;
    return HOLD_RELEASED;
  }
  return HOLD_HELD;
}

void g_tls_t::drop(SSL* s) {
  if (s == nullptr) return;
  bool last = false;
  {
    std::lock_guard<std::mutex> lk(ref_mtx);
    if (ssl.load() == s) {
      // Still attached: the attachment itself keeps one reference.
      ssl_refs.fetch_sub(1);
    } else {
      // end_session retired it and left the count of holders with it.
      const intptr_t left = reinterpret_cast<intptr_t>(SSL_get_ex_data(s, retired_refs_index())) - 1;
      SSL_set_ex_data(s, retired_refs_index(), reinterpret_cast<void*>(left));
      last = left <= 0;
    }
  }
  if (last) release_session(s);
}

void g_tls_t::release_session(SSL* s) {
  ERR_clear_error();
  // No close_notify can leave any more (the write BIO is never flushed after
  // this): the result says nothing the teardown could act on.
  (void)SSL_shutdown(s);
  SSL_free(s);
  // A shutdown in the middle of a handshake queues an error; it must not be
  // mistaken for the cause of a later failure on this thread.
  ERR_clear_error();
}

// ---------------------------------------------------------------------------
// attaching

int g_tls_t::new_client_raw(int fd) {
  b_tls = false;
  so_attached = fd;
  so = fd;
  return fd == -1 ? G_TLS_FAIL : G_TLS_OK;
}

int g_tls_t::new_session(int fd, G_TLS_MODE_E mode) {
  b_tls = true;
  so_attached = fd;
  so = fd;
  const bool client = mode == G_TLS_MODE_CLIENT;
  if (fd == -1) return G_TLS_FAIL;
  SSL* s = nullptr;
  {
    // A reload may replace the server context meanwhile: the session takes
    // its reference on the context under the same lock.
    std::lock_guard<std::mutex> lk(ctx_mtx);
    if (!(client ? client_valid : server_valid.load())) return G_TLS_FAIL;
    s = SSL_new(client ? ctx_client : ctx_server);
  }
  if (s == nullptr) return G_TLS_FAIL;
  BIO* r = g_tls_bio_new();
  BIO* w = g_tls_bio_new();
  if (r == nullptr || w == nullptr) {
    if (r != nullptr) BIO_free(r);
    if (w != nullptr) BIO_free(w);
    SSL_free(s);
    return G_TLS_FAIL;
  }
  SSL_set_bio(s, r, w);
  bio_r = r;
  bio_w = w;
  {
    std::lock_guard<std::mutex> lk(ref_mtx);
    ssl_refs.exchange(1);
    ssl.store(s);
  }
  err_recv = 0;
  err_send = 0;
  err_tls = SSL_ERROR_NONE;
  return G_TLS_OK;
}

int g_tls_t::new_server(int fd) {
  return new_session(fd, G_TLS_MODE_SERVER);
}

int g_tls_t::new_client(int fd) {
  if (new_session(fd, G_TLS_MODE_CLIENT) != G_TLS_OK) return G_TLS_FAIL;
  return connect();
}

int g_tls_t::new_server_detect(int fd) {
  b_tls = false;
  so_attached = fd;
  so = fd;
  if (fd == -1) return G_TLS_FAIL;

  // Attached as plain above, so this looks at the socket's own bytes and
  // leaves them there. A time-out, a close or a failure reads as plain.
  char head[6];
  const int64_t n = peek(head, sizeof head);
  // A handshake record (22) carrying a ClientHello (1); the version and
  // length bytes in between are not examined.
  if (n != static_cast<int64_t>(sizeof head) || head[0] != 22 || head[5] != 1) return G_TLS_PLAIN;

  if (new_session(fd, G_TLS_MODE_SERVER) != G_TLS_OK) return G_TLS_FAIL;
  return accept() == G_TLS_OK ? G_TLS_OK : G_TLS_FAIL;
}

int g_tls_t::get_status() const {
  return ssl.load() != nullptr ? G_TLS_OK : G_TLS_PLAIN;
}

// ---------------------------------------------------------------------------
// reading

int64_t g_tls_t::recv(char* buf, size_t size) {
  return b_tls.load() ? recv_tls(buf, size) : read_socket(buf, size);
}

int64_t g_tls_t::read_socket(char* buf, size_t size) {
  const int64_t deadline = setup_deadline_ms.load();
  if (deadline != 0 && monotonic_ms() >= deadline) {
    err_recv = ETIMEDOUT;
    return G_TLS_FAIL;
  }
  const ssize_t r = sock_recv(buf, size, 0);
  if (r < 0) {
    err_recv = errno;
    return G_TLS_FAIL;
  }
  if (r == 0) err_recv = 0;
  return r;
}

// ---------------------------------------------------------------------------
// writing

int64_t g_tls_t::send(const char* data, size_t len) {
  return b_tls.load() ? send_tls(data, len) : send_raw(data, len);
}

int64_t g_tls_t::send_failed(int err) {
  err_send = err;
  // Bytes may be left unsent: the connection is reset, not closed.
  b_abort = true;
  return G_TLS_FAIL;
}

int64_t g_tls_t::send_raw(const char* data, size_t len) {
  if (len == 0) return 0;

  short events = POLLOUT | POLLERR | POLLHUP;
  if (ssl.load() != nullptr && !b_reading.load() && parked.load() < parked_max) events |= POLLIN;
  size_t done = 0;

  for (;;) {
    // Write as much as the socket takes without blocking.
    const ssize_t w = sock_send(data + done, len - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w > 0) {
      done += static_cast<size_t>(w);
      if (done == len) return static_cast<int64_t>(len);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != ENOBUFS) return send_failed(errno);

    // Wait until the socket can take more, within the deadline; read the
    // peer meanwhile.
    for (;;) {
      int timeout = -1;
      const int64_t deadline = send_deadline_ms.load();
      if (deadline != 0) {
        const int64_t left = deadline - monotonic_ms();
        if (left <= 0) return send_failed(ETIMEDOUT);
        timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
      }
      pollfd p{};
      int pr = 0;
      int so_error = 0;
      {
        fd_use use(*this);
        if (use.fd() == -1) {
          // Taken over by end_session on the other thread: nothing to wait
          // on and nothing left to abort.
          err_send = EBADF;
          return G_TLS_FAIL;
        }
        p.fd = use.fd();
        p.events = events;
        pr = sock_poll(&p, timeout);
        if (pr < 0)
          so_error = errno;
        else if (pr > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
          so_error = pending_error(use.fd());
      }
      if (pr < 0) return send_failed(so_error);
      if (pr == 0) continue;  // the deadline is checked above
      const short rv = p.revents;
      if ((rv & POLLIN) && (events & POLLIN)) {
        if (drain(&events) != G_TLS_OK) return G_TLS_FAIL;
      }
      if (rv & (POLLERR | POLLHUP | POLLNVAL)) return send_failed(so_error);
      if (rv & POLLOUT) break;
    }
  }
}

int64_t g_tls_t::send_nowait(const char* data, size_t len) {
  const ssize_t w = sock_send(data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (w >= 0) return w;
  if (errno == EAGAIN || errno == ENOBUFS) return 0;
  err_send = errno;
  return G_TLS_FAIL;
}

int g_tls_t::peer_state() {
  fd_use use(*this);
  if (use.fd() == -1) return PEER_GONE;
  pollfd p{};
  p.fd = use.fd();
  p.events = POLLRDHUP;
  if (sock_poll(&p, 0) <= 0) return PEER_OPEN;
  // A reset (or both directions shut) shows as an error or a hang-up; a
  // FIN alone only as the reading side's end.
  if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return PEER_GONE;
  return (p.revents & POLLRDHUP) ? PEER_DONE : PEER_OPEN;
}

// ---------------------------------------------------------------------------
// teardown

void g_tls_t::end_session() {
  SSL* s = nullptr;
  int64_t left = 0;
  {
    std::lock_guard<std::mutex> lk(ref_mtx);
    s = ssl.exchange(nullptr);
    parked = 0;
    bio_r = nullptr;
    bio_w = nullptr;
    if (s != nullptr) {
      left = ssl_refs.exchange(0) - 1;
      if (left > 0)
        SSL_set_ex_data(s, retired_refs_index(), reinterpret_cast<void*>(static_cast<intptr_t>(left)));
    }
  }
  // Nobody else holds it: free it now. Otherwise the last holder does.
  if (s != nullptr && left <= 0) release_session(s);

  // Take the socket over so that exactly one caller closes it. The calls
  // still inside a socket call keep it open until they leave; this caller
  // counts as one of them until it has shut the socket down. When every
  // retirement place is taken by a socket whose calls have not left yet,
  // wait for one to free (they have been shut down, so they leave soon)
  // rather than close a number that is still in use.
  int fd = -1;
  bool deferred = false;
  {
    std::unique_lock<std::mutex> lk(ref_mtx);
    retired_fd* place = nullptr;
    for (;;) {
      fd = so.load();
      if (fd == -1) return;
      if (so_users == 0) break;
      place = free_retired();
      if (place != nullptr) break;
      retired_cv.wait(lk);
    }
    so.store(-1);
    if (place != nullptr) {
      place->fd = fd;
      place->users = so_users + 1;
      deferred = true;
    }
    so_users = 0;
  }

  if (b_abort.exchange(false)) {
    user_timeout_ms = 1000;
    const linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  const uint32_t timeout = user_timeout_ms.exchange(0);
  if (timeout != 0) setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
  // Wakes a call blocked on the other thread; it leaves and lets go.
  shutdown(fd, SHUT_RDWR);
  if (deferred)
    unuse_fd(fd);
  else
    close(fd);
}

void g_tls_t::set_setup_budget(uint32_t ms) {
  const int64_t deadline = ms == 0 ? 0 : monotonic_ms() + ms;
  setup_deadline_ms = deadline;
  // The set-up's own answers (a TLS flight, the 101, an HTTP answer) are
  // bounded by the same deadline.
  send_deadline_ms = deadline;
}

void g_tls_t::set_send_deadline(int64_t at_ms) {
  send_deadline_ms = at_ms;
}

int64_t g_tls_t::now_ms() {
  return monotonic_ms();
}

void g_tls_t::shutdown_send() {
  fd_use use(*this);
  if (use.fd() != -1) ::shutdown(use.fd(), SHUT_WR);
}

void g_tls_t::shutdown_recv() {
  fd_use use(*this);
  if (use.fd() != -1) ::shutdown(use.fd(), SHUT_RD);
}

int g_tls_t::set_recv_timeout(unsigned ms) {
  fd_use use(*this);
  if (use.fd() == -1) return G_TLS_FAIL;
  const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  return setsockopt(use.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? G_TLS_OK : G_TLS_FAIL;
}

// ---------------------------------------------------------------------------
// socket use protocol

int g_tls_t::use_fd() {
  std::lock_guard<std::mutex> lk(ref_mtx);
  const int fd = so.load();
  if (fd != -1) ++so_users;
  return fd;
}

void g_tls_t::unuse_fd(int fd) {
  bool last = false;
  {
    std::lock_guard<std::mutex> lk(ref_mtx);
    if (so.load() == fd && so_users > 0) {
      // A teardown waiting for the live socket's calls to leave is told.
      if (--so_users == 0) retired_cv.notify_all();
      return;
    }
    for (retired_fd& r : fd_retired) {
      if (r.users > 0 && r.fd == fd) {
        last = --r.users == 0;
        break;
      }
    }
    if (last) retired_cv.notify_all();
  }
  if (last) close(fd);
}

g_tls_t::retired_fd* g_tls_t::free_retired() {
  for (retired_fd& r : fd_retired) {
    if (r.users == 0) return &r;
  }
  return nullptr;
}

int g_tls_t::pending_error(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  // A hang-up without an error of its own: the peer reset or went away.
  return err != 0 ? err : ECONNRESET;
}

int g_tls_t::sock_poll(pollfd* p, int timeout_ms) {
  return no_eintr([&] { return ::poll(p, 1, timeout_ms); });
}

ssize_t g_tls_t::sock_recv(void* buf, size_t size, int flags) {
  fd_use use(*this);
  if (use.fd() == -1) {
    errno = EBADF;
    return -1;  // as recv(2) fails
  }
  return no_eintr([&] { return ::recv(use.fd(), buf, size, flags); });
}

ssize_t g_tls_t::sock_send(const void* data, size_t len, int flags) {
  fd_use use(*this);
  if (use.fd() == -1) {
    errno = EBADF;
    return -1;  // as send(2) fails
  }
  return no_eintr([&] { return ::send(use.fd(), data, len, flags); });
}
