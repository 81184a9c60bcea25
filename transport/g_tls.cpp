// Connection transport: attaching sockets, TLS detection, the plain read and
// write paths and the teardown. The TLS data paths live in g_tls_pump.cpp.
#include "transport/g_tls.hpp"
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

namespace {

// Per-session slot that carries the number of operations still holding a
// session after end_session has detached it from its object.
int retired_refs_index()
{
  static const int idx = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return idx;
}

int64_t monotonic_ms()
{
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

g_tls_t::g_tls_t()
{
  // A lock that failed to initialise refuses every wait: each TLS operation
  // then fails instead of running unguarded.
  (void)sem_bio.init(false, true);
  // Make sure the ex-data index exists before two threads could race for it.
  retired_refs_index();
}

g_tls_t::~g_tls_t()
{
  // Closed first so that a thread still blocked in its wait leaves; a second
  // close (nothing to close) changes nothing.
  (void)sem_bio.close();
  b_abort = true;
  end_session();
  for (std::atomic<BUF_MEM*>* b : {&spare_w, &pending_w}) {
    BUF_MEM* m = b->exchange(nullptr);
    if (m != nullptr)
      BUF_MEM_free(m);
  }
}

// ---------------------------------------------------------------------------
// reference protocol

int g_tls_t::hold(SSL*& s)
{
  std::lock_guard<std::mutex> lk(ref_mtx);
  s = ssl.load();
  if (s == nullptr)
    return HOLD_NONE;
  const int64_t before = ssl_refs.fetch_add(1);
  if (before <= 0) {
    ssl_refs.fetch_sub(1);
    err_tls = G_TLS_ERR_GONE;
    s = nullptr;
    return HOLD_RELEASED;
  }
  return HOLD_HELD;
}

void g_tls_t::drop(SSL* s)
{
  if (s == nullptr)
    return;
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
  if (last)
    release_session(s);
}

void g_tls_t::release_session(SSL* s)
{
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

int g_tls_t::new_client_raw(int fd)
{
  b_tls = false;
  so_attached = fd;
  so = fd;
  return fd == -1 ? G_TLS_FAIL : G_TLS_OK;
}

int g_tls_t::new_session(int fd, G_TLS_MODE_E mode)
{
  b_tls = true;
  so_attached = fd;
  so = fd;
  const bool client = mode == G_TLS_MODE_CLIENT;
  if (!(client ? client_valid : server_valid) || fd == -1)
    return G_TLS_FAIL;
  SSL* s = SSL_new(client ? ctx_client : ctx_server);
  if (s == nullptr)
    return G_TLS_FAIL;
  BIO* r = BIO_new(BIO_s_mem());
  BIO* w = BIO_new(BIO_s_mem());
  if (r == nullptr || w == nullptr) {
    if (r != nullptr)
      BIO_free(r);
    if (w != nullptr)
      BIO_free(w);
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

int g_tls_t::new_server(int fd)
{
  return new_session(fd, G_TLS_MODE_SERVER);
}

int g_tls_t::new_client(int fd)
{
  if (new_session(fd, G_TLS_MODE_CLIENT) != G_TLS_OK)
    return G_TLS_FAIL;
  return connect();
}

int g_tls_t::new_server_detect(int fd)
{
  b_tls = false;
  so_attached = fd;
  so = fd;
  if (fd == -1)
    return G_TLS_FAIL;

  // Attached as plain above, so this looks at the socket's own bytes and
  // leaves them there. A time-out, a close or a failure reads as plain.
  char head[6];
  const int64_t n = peek(head, sizeof head);
  // A handshake record (22) carrying a ClientHello (1); the version and
  // length bytes in between are not examined.
  if (n != static_cast<int64_t>(sizeof head) || head[0] != 22 || head[5] != 1)
    return G_TLS_PLAIN;

  if (new_session(fd, G_TLS_MODE_SERVER) != G_TLS_OK)
    return G_TLS_FAIL;
  return accept() == G_TLS_OK ? G_TLS_OK : G_TLS_FAIL;
}

int g_tls_t::get_status() const
{
  return ssl.load() != nullptr ? G_TLS_OK : G_TLS_PLAIN;
}

// ---------------------------------------------------------------------------
// reading

int64_t g_tls_t::recv(char* buf, size_t size)
{
  return b_tls.load() ? recv_tls(buf, size) : read_socket(buf, size);
}

int64_t g_tls_t::read_socket(char* buf, size_t size)
{
  for (;;) {
    const int64_t deadline = setup_deadline_ms.load();
    if (deadline != 0 && monotonic_ms() >= deadline) {
      err_recv = ETIMEDOUT;
      errno = ETIMEDOUT;
      return -1;
    }
    errno = 0;
    const ssize_t r = sock_recv(buf, size, 0);
    if (r > 0)
      return r;
    err_recv = errno;
    if (errno == EINTR) {
      errno = 0;
      continue;
    }
    return r;
  }
}

// ---------------------------------------------------------------------------
// writing

int64_t g_tls_t::send(const char* data, size_t len)
{
  return b_tls.load() ? send_tls(data, len) : send_raw(data, len);
}

int64_t g_tls_t::send_raw(const char* data, size_t len)
{
  if (len == 0)
    return 0;

  short events = POLLOUT | POLLERR | POLLHUP;
  if (ssl.load() != nullptr && !b_reading.load() && parked.load() < parked_max)
    events |= POLLIN;

  pollfd p{};
  p.fd = -1;
  p.events = events;
  p.revents = 0;
  size_t done = 0;

  for (;;) {
    // Write as much as the socket takes without blocking.
    const ssize_t w = sock_send(data + done, len - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w > 0) {
      done += static_cast<size_t>(w);
      if (done == len)
        return static_cast<int64_t>(len);
    } else {
      const int e = errno;
      err_send = e;
      if (e == EINTR)
        continue;
      if (e != EAGAIN && e != ENOBUFS) {
        b_abort = true;
        return G_TLS_FAIL;
      }
    }

    // Wait until the socket can take more; read the peer meanwhile.
    for (;;) {
      const short prev = p.revents;
      int pr = 0;
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
        pr = ::poll(&p, 1, -1);
      }
      if (pr <= 0) {
        p.revents = prev;
        if (prev & POLLOUT)
          break;
        continue;
      }
      const short rv = p.revents;
      if ((rv & POLLIN) && (events & POLLIN)) {
        if (drain(&events) != G_TLS_OK)
          return G_TLS_FAIL;
      }
      if (rv & (POLLERR | POLLHUP | POLLNVAL)) {
        err_send = errno;
        b_abort = true;
        return G_TLS_FAIL;
      }
      if (rv & POLLOUT)
        break;
    }
  }
}

int64_t g_tls_t::send_nowait(const char* data, size_t len)
{
  for (;;) {
    const ssize_t w = sock_send(data, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (w >= 0)
      return w;
    if (errno == EINTR)
      continue;
    return (errno == EAGAIN || errno == ENOBUFS) ? 0 : G_TLS_FAIL;
  }
}

// ---------------------------------------------------------------------------
// teardown

void g_tls_t::end_session()
{
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
  if (s != nullptr && left <= 0)
    release_session(s);

  // Take the socket over so that exactly one caller closes it. The calls
  // still inside a socket call keep it open until they leave; this caller
  // counts as one of them until it has shut the socket down.
  int fd = -1;
  bool deferred = false;
  {
    std::lock_guard<std::mutex> lk(ref_mtx);
    fd = so.exchange(-1);
    if (fd == -1)
      return;
    const int inside = so_users;
    so_users = 0;
    if (inside > 0) {
      for (retired_fd& r : fd_retired) {
        if (r.users == 0) {
          r.fd = fd;
          r.users = inside + 1;
          deferred = true;
          break;
        }
      }
    }
  }

  if (b_abort.exchange(false)) {
    user_timeout_ms = 1000;
    const linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  const uint32_t timeout = user_timeout_ms.exchange(0);
  if (timeout != 0)
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
  // Wakes a call blocked on the other thread; it leaves and lets go.
  shutdown(fd, SHUT_RDWR);
  if (deferred)
    unuse_fd(fd);
  else
    close(fd);
}

void g_tls_t::set_setup_budget(uint32_t ms)
{
  setup_deadline_ms = ms == 0 ? 0 : monotonic_ms() + ms;
}

void g_tls_t::shutdown_send()
{
  fd_use use(*this);
  if (use.fd() != -1)
    ::shutdown(use.fd(), SHUT_WR);
}

int g_tls_t::set_recv_timeout(unsigned ms)
{
  fd_use use(*this);
  if (use.fd() == -1)
    return G_TLS_FAIL;
  const timeval tv{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>((ms % 1000) * 1000)};
  return setsockopt(use.fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? G_TLS_OK : G_TLS_FAIL;
}

// ---------------------------------------------------------------------------
// socket use protocol

int g_tls_t::use_fd()
{
  std::lock_guard<std::mutex> lk(ref_mtx);
  const int fd = so.load();
  if (fd != -1)
    ++so_users;
  return fd;
}

void g_tls_t::unuse_fd(int fd)
{
  bool last = false;
  {
    std::lock_guard<std::mutex> lk(ref_mtx);
    if (so.load() == fd && so_users > 0) {
      --so_users;
      return;
    }
    for (retired_fd& r : fd_retired) {
      if (r.users > 0 && r.fd == fd) {
        last = --r.users == 0;
        break;
      }
    }
  }
  if (last)
    close(fd);
}

ssize_t g_tls_t::sock_recv(void* buf, size_t size, int flags)
{
  fd_use use(*this);
  if (use.fd() == -1) {
    errno = EBADF;
    return -1;  // as recv(2) fails
  }
  return ::recv(use.fd(), buf, size, flags);
}

ssize_t g_tls_t::sock_send(const void* data, size_t len, int flags)
{
  fd_use use(*this);
  if (use.fd() == -1) {
    errno = EBADF;
    return -1;  // as send(2) fails
  }
  return ::send(use.fd(), data, len, flags);
}
