// One client connection of the bridge, plain TCP or TLS on its socket,
// used by the hub link and the Redis links alike.
#include "bridge/g_conn.hpp"
#include "support/g_eintr.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Keep-alive probes find a peer host that vanished without a word.
constexpr int KEEPALIVE_IDLE_S = 10;
constexpr int KEEPALIVE_INTERVAL_S = 5;
constexpr int KEEPALIVE_COUNT = 3;

bool is_ip_literal(const char* host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

void ssl_reason(char* out, size_t n) {
  const unsigned long e = ERR_get_error();
  if (e == 0) {
    snprintf(out, n, "unknown TLS error");
    return;
  }
  ERR_error_string_n(e, out, n);
}

}  // namespace

SSL_CTX* conn_tls_context(const char* ca_file, const char* cert_file, const char* key_file, char* why,
                          size_t why_size) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
    snprintf(why, why_size, "cannot create a TLS context");
    if (ctx != nullptr) SSL_CTX_free(ctx);
    return nullptr;
  }
  // The out buffer stays put while a write is retried, but may be retried
  // from a later position after a partial write.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  char err[160];
  if (ca_file != nullptr && ca_file[0] != 0) {
    if (SSL_CTX_load_verify_locations(ctx, ca_file, nullptr) != 1) {
      ssl_reason(err, sizeof err);
      snprintf(why, why_size, "cannot load CA file %.100s: %.120s", ca_file, err);
      SSL_CTX_free(ctx);
      return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  }
  if (cert_file != nullptr && cert_file[0] != 0) {
    const char* key = key_file != nullptr && key_file[0] != 0 ? key_file : cert_file;
    if (SSL_CTX_use_certificate_chain_file(ctx, cert_file) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key, SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
      ssl_reason(err, sizeof err);
      snprintf(why, why_size, "cannot use the client certificate %.80s (key %.80s): %.80s", cert_file, key,
               err);
      SSL_CTX_free(ctx);
      return nullptr;
    }
  }
  return ctx;
}

G_CONN::~G_CONN() {
  close();
}

void G_CONN::close() {
  if (p_ssl != nullptr) SSL_free(p_ssl);
  p_ssl = nullptr;
  if (so >= 0) ::close(so);
  so = -1;
}

int G_CONN::wait(short events, uint64_t deadline_ms, G_WAKE& wake, const std::atomic<bool>& stop) {
  for (;;) {
    if (stop.load()) return BRIDGE_STOP;
    const uint64_t now = bridge_now_ms();
    if (now >= deadline_ms) {
      snprintf(why, sizeof why, "no answer in time");
      return BRIDGE_FAIL;
    }
    pollfd p[2] = {{so, events, 0}, {wake.fd, POLLIN, 0}};
    const int n = poll(p, 2, int(deadline_ms - now));
    if (n < 0 && errno != EINTR) {
      snprintf(why, sizeof why, "poll: %s", strerror(errno));
      return BRIDGE_FAIL;
    }
    if (n > 0 && (p[1].revents & POLLIN)) wake.drain();
    if (n > 0 && p[0].revents != 0) return BRIDGE_OK;
  }
}

int G_CONN::open(const char* host, uint16_t port, SSL_CTX* ctx, bool verify_name, uint64_t deadline_ms,
                 G_WAKE& wake, const std::atomic<bool>& stop) {
  close();
  why[0] = 0;
  const int r = connect_tcp(host, port, deadline_ms, wake, stop);
  if (r != BRIDGE_OK) return r;
  keep_alive();
  if (ctx == nullptr) return BRIDGE_OK;
  return start_tls(ctx, host, verify_name, deadline_ms, wake, stop);
}

int G_CONN::connect_tcp(const char* host, uint16_t port, uint64_t deadline_ms, G_WAKE& wake,
                        const std::atomic<bool>& stop) {
  char port_text[8];
  snprintf(port_text, sizeof port_text, "%u", unsigned(port));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int gai = getaddrinfo(host, port_text, &hints, &list);
  if (gai != 0) {
    snprintf(why, sizeof why, "cannot resolve %.100s: %.100s", host, gai_strerror(gai));
    return BRIDGE_FAIL;
  }
  int r = BRIDGE_FAIL;
  for (addrinfo* a = list; a != nullptr && r != BRIDGE_OK; a = a->ai_next) {
    if (so >= 0) ::close(so);
    so = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (so < 0) {
      snprintf(why, sizeof why, "socket: %s", strerror(errno));
      continue;
    }
    if (connect(so, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
      snprintf(why, sizeof why, "connect: %s", strerror(errno));
      continue;
    }
    r = wait(POLLOUT, deadline_ms, wake, stop);
    if (r == BRIDGE_STOP) break;
    if (r != BRIDGE_OK) continue;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(so, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) {
      snprintf(why, sizeof why, "connect: %s", strerror(err));
      r = BRIDGE_FAIL;
    }
  }
  freeaddrinfo(list);
  return r;
}

void G_CONN::keep_alive() {
  const int one = 1;
  setsockopt(so, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(so, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(so, IPPROTO_TCP, TCP_KEEPIDLE, &KEEPALIVE_IDLE_S, sizeof KEEPALIVE_IDLE_S);
  setsockopt(so, IPPROTO_TCP, TCP_KEEPINTVL, &KEEPALIVE_INTERVAL_S, sizeof KEEPALIVE_INTERVAL_S);
  setsockopt(so, IPPROTO_TCP, TCP_KEEPCNT, &KEEPALIVE_COUNT, sizeof KEEPALIVE_COUNT);
}

int G_CONN::start_tls(SSL_CTX* ctx, const char* host, bool verify_name, uint64_t deadline_ms, G_WAKE& wake,
                      const std::atomic<bool>& stop) {
  p_ssl = SSL_new(ctx);
  if (p_ssl == nullptr || SSL_set_fd(p_ssl, so) != 1) {
    snprintf(why, sizeof why, "cannot create a TLS session");
    return BRIDGE_FAIL;
  }
  const bool ip = is_ip_literal(host);
  if (!ip) SSL_set_tlsext_host_name(p_ssl, host);
  if (verify_name) {
    X509_VERIFY_PARAM* param = SSL_get0_param(p_ssl);
    const int set = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, host) : SSL_set1_host(p_ssl, host);
    if (set != 1) {
      snprintf(why, sizeof why, "cannot set the name to verify");
      return BRIDGE_FAIL;
    }
  }
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int c = SSL_connect(p_ssl);
    if (c == 1) return BRIDGE_OK;
    const int e = SSL_get_error(p_ssl, c);
    if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
    const int r = wait(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline_ms, wake, stop);
    if (r != BRIDGE_OK) return r;
  }
  const long v = SSL_get_verify_result(p_ssl);
  if (v != X509_V_OK) {
    snprintf(why, sizeof why, "TLS: certificate not accepted: %s", X509_verify_cert_error_string(v));
  } else {
    io_errno = errno;
    io_ssl_error = ERR_get_error();
    why_io("TLS handshake");
  }
  return BRIDGE_FAIL;
}

void G_CONN::why_io(const char* what) {
  if (io_ssl_error != 0) {
    char err[160];
    ERR_error_string_n(io_ssl_error, err, sizeof err);
    snprintf(why, sizeof why, "%s: %s", what, err);
  } else if (io_errno != 0) {
    snprintf(why, sizeof why, "%s: %s", what, strerror(io_errno));
  } else {
    snprintf(why, sizeof why, "%s: connection closed", what);
  }
}

int64_t G_CONN::ssl_failed(int r) {
  switch (SSL_get_error(p_ssl, r)) {
    case SSL_ERROR_WANT_READ:
      return CONN_AGAIN_READ;
    case SSL_ERROR_WANT_WRITE:
      return CONN_AGAIN_WRITE;
    case SSL_ERROR_ZERO_RETURN:
      return CONN_EOF;
    case SSL_ERROR_SYSCALL:
      io_errno = errno;
      io_ssl_error = ERR_get_error();
      // The peer closed without a close_notify: an end like any other.
      return io_errno == 0 && io_ssl_error == 0 ? CONN_EOF : CONN_ERROR;
    default:
      io_ssl_error = ERR_get_error();
      return CONN_ERROR;
  }
}

int64_t G_CONN::read(char* buf, size_t n) {
  io_errno = 0;
  io_ssl_error = 0;
  if (p_ssl != nullptr) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_read(p_ssl, buf, n > INT_MAX ? INT_MAX : int(n));
    return r > 0 ? r : ssl_failed(r);
  }
  const ssize_t r = no_eintr([&] { return recv(so, buf, n, 0); });
  if (r > 0) return r;
  if (r == 0) return CONN_EOF;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return CONN_AGAIN_READ;
  io_errno = errno;
  return CONN_ERROR;
}

int64_t G_CONN::write(const char* buf, size_t n) {
  io_errno = 0;
  io_ssl_error = 0;
  if (p_ssl != nullptr) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_write(p_ssl, buf, n > INT_MAX ? INT_MAX : int(n));
    return r > 0 ? r : ssl_failed(r);
  }
  const ssize_t r = no_eintr([&] { return send(so, buf, n, MSG_NOSIGNAL); });
  if (r >= 0) return r;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return CONN_AGAIN_WRITE;
  io_errno = errno;
  return CONN_ERROR;
}

void G_CONN::shutdown_tls() {
  if (p_ssl != nullptr) SSL_shutdown(p_ssl);
}
