#include "bridge/g_hub_link.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/g_bridge.hpp"
#include "support/g_notify.hpp"

namespace {

// Results of io_read and io_write besides a byte count.
constexpr int64_t IO_EOF = 0;
constexpr int64_t IO_AGAIN_READ = -1;   // wait until the socket is readable
constexpr int64_t IO_AGAIN_WRITE = -2;  // wait until the socket is writable
constexpr int64_t IO_ERROR = -3;

// Keep-alive probes find a hub host that vanished without a word.
constexpr int KEEPALIVE_IDLE_S = 10;
constexpr int KEEPALIVE_INTERVAL_S = 5;
constexpr int KEEPALIVE_COUNT = 3;
constexpr int SERVE_POLL_MS = 1000;

bool is_ip_literal(const char* host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

short poll_events(int64_t again) { return again == IO_AGAIN_WRITE ? POLLOUT : POLLIN; }

}  // namespace

G_HUB_LINK::~G_HUB_LINK() { close(); }

int G_HUB_LINK::init(G_BRIDGE* owner) {
  p_bridge = owner;
  const BRIDGE_OPTIONS& o = owner->opt;
  msg_max = owner->max_message;
  out_cap = OUT_BATCH + WS_CLIENT_HEADER_MAX + msg_max;
  p_msg = static_cast<char*>(malloc(FED_HEADER_SIZE + msg_max));
  p_in = static_cast<char*>(malloc(IN_SIZE));
  p_out = static_cast<char*>(malloc(out_cap));
  if (p_msg == nullptr || p_in == nullptr || p_out == nullptr) {
    snprintf(why, sizeof why, "out of memory");
    return -1;
  }
  reader.init(p_msg + FED_HEADER_SIZE, msg_max);
  if (wake.init() != 0) {
    snprintf(why, sizeof why, "eventfd: %s", strerror(errno));
    return -1;
  }
  if (!o.b_tls) return 0;
  p_ctx = SSL_CTX_new(TLS_client_method());
  if (p_ctx == nullptr || SSL_CTX_set_min_proto_version(p_ctx, TLS1_2_VERSION) != 1) {
    snprintf(why, sizeof why, "cannot create a TLS context");
    return -1;
  }
  // The out buffer stays put while a write is retried, but may be retried
  // from a later position after a partial write.
  SSL_CTX_set_mode(p_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (o.ca_file[0] != 0) {
    if (SSL_CTX_load_verify_locations(p_ctx, o.ca_file, nullptr) != 1) {
      char err[160];
      ERR_error_string_n(ERR_get_error(), err, sizeof err);
      snprintf(why, sizeof why, "cannot load CA file %.100s: %.120s", o.ca_file, err);
      return -1;
    }
    SSL_CTX_set_verify(p_ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(p_ctx, SSL_VERIFY_NONE, nullptr);
  }
  return 0;
}

void G_HUB_LINK::close() {
  drop_connection();
  if (p_ctx != nullptr) SSL_CTX_free(p_ctx);
  p_ctx = nullptr;
  free(p_msg);
  free(p_in);
  free(p_out);
  p_msg = p_in = p_out = nullptr;
  wake.close();
}

int G_HUB_LINK::start() { return thread.create(&G_HUB_LINK::thread_main, this); }

int G_HUB_LINK::join() { return thread.wait(); }

void* G_HUB_LINK::thread_main(void* self) {
  static_cast<G_HUB_LINK*>(self)->run();
  return nullptr;
}

const uint8_t* G_HUB_LINK::next_mask() {
  if (mask_next >= sizeof masks) {
    // Masks must be unpredictable to whoever sees the frames (RFC 6455 10.3).
    if (RAND_bytes(masks, int(sizeof masks)) != 1) {
      for (size_t i = 0; i < sizeof masks; ++i) masks[i] = uint8_t(random());
    }
    mask_next = 0;
  }
  const uint8_t* m = masks + mask_next;
  mask_next += 4;
  return m;
}

void G_HUB_LINK::run() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  BRIDGE_BACKOFF backoff;
  bool b_reported = false;  // this outage has been logged
  while (!b.b_stop.load()) {
    int r = open_connection();
    if (r == BRIDGE_STOP) break;
    if (r == BRIDGE_OK) {
      // Nothing from before the session is delivered into it.
      b.counters.dropped_hub_down += b.ring_to_hub.clear();
      b_up.store(true);
      backoff.reset();
      b_reported = false;
      bridge_log(L":: hub %s:%u up (%ls)\n", o.hub_host, unsigned(o.hub_port), o.b_tls ? L"WSS" : L"WS");
      if (b.pub.b_up.load() && b.sub.b_up.load()) g_notify_ready_once();  // relaying both ways
      r = serve();
      b_up.store(false);
      if (r == BRIDGE_STOP) {
        say_goodbye(WS_CLOSE_GOING_AWAY);
        break;
      }
      drop_connection();
      bridge_printable(why);
      bridge_log(L"!! hub %s:%u down: %s; reconnecting (backoff %u ms doubling to %u ms)\n", o.hub_host,
                 unsigned(o.hub_port), why, BRIDGE_BACKOFF::FIRST_MS, BRIDGE_BACKOFF::CAP_MS);
      b_reported = true;
    } else {
      drop_connection();
      if (!b_reported) {
        bridge_printable(why);
        bridge_log(L"!! hub %s:%u unreachable: %s; retrying (backoff %u ms doubling to %u ms)\n", o.hub_host,
                   unsigned(o.hub_port), why, BRIDGE_BACKOFF::FIRST_MS, BRIDGE_BACKOFF::CAP_MS);
        b_reported = true;
      }
    }
    if (wake.nap(backoff.take(), b.b_stop) == BRIDGE_STOP) break;
  }
  b_up.store(false);
  drop_connection();
}

void G_HUB_LINK::drop_connection() {
  if (p_ssl != nullptr) SSL_free(p_ssl);
  p_ssl = nullptr;
  if (so >= 0) ::close(so);
  so = -1;
  if (p_bridge != nullptr) {
    // Frames not wholly written, and all that waits, never reach the hub.
    size_t lost = 0;
    for (size_t i = out_frames_done; i < out_frames; ++i)
      if (i >= out_first_msg) ++lost;
    p_bridge->counters.dropped_hub_down += lost + p_bridge->ring_to_hub.clear();
  }
  out_pos = out_len = out_frames = out_frames_done = out_first_msg = 0;
  in_pos = in_len = 0;
  b_msg_pending = false;
  b_pong = false;
  reader.reset();
}

int G_HUB_LINK::wait_io(short events, uint64_t deadline_ms) {
  for (;;) {
    if (p_bridge->b_stop.load()) return BRIDGE_STOP;
    const uint64_t now = bridge_now_ms();
    if (now >= deadline_ms) {
      snprintf(why, sizeof why, "no answer within %u ms", OPEN_TIMEOUT_MS);
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

void G_HUB_LINK::why_io(const char* what) {
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

int64_t G_HUB_LINK::ssl_failed(int r) {
  switch (SSL_get_error(p_ssl, r)) {
    case SSL_ERROR_WANT_READ:
      return IO_AGAIN_READ;
    case SSL_ERROR_WANT_WRITE:
      return IO_AGAIN_WRITE;
    case SSL_ERROR_ZERO_RETURN:
      return IO_EOF;
    case SSL_ERROR_SYSCALL:
      io_errno = errno;
      io_ssl_error = ERR_get_error();
      // The peer closed without a close_notify: an end like any other.
      return io_errno == 0 && io_ssl_error == 0 ? IO_EOF : IO_ERROR;
    default:
      io_ssl_error = ERR_get_error();
      return IO_ERROR;
  }
}

int64_t G_HUB_LINK::io_read(char* buf, size_t n) {
  io_errno = 0;
  io_ssl_error = 0;
  if (p_ssl != nullptr) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_read(p_ssl, buf, n > INT_MAX ? INT_MAX : int(n));
    return r > 0 ? r : ssl_failed(r);
  }
  for (;;) {
    const ssize_t r = recv(so, buf, n, 0);
    if (r > 0) return r;
    if (r == 0) return IO_EOF;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IO_AGAIN_READ;
    io_errno = errno;
    return IO_ERROR;
  }
}

int64_t G_HUB_LINK::io_write(const char* buf, size_t n) {
  io_errno = 0;
  io_ssl_error = 0;
  if (p_ssl != nullptr) {
    ERR_clear_error();
    errno = 0;
    const int r = SSL_write(p_ssl, buf, n > INT_MAX ? INT_MAX : int(n));
    return r > 0 ? r : ssl_failed(r);
  }
  for (;;) {
    const ssize_t r = send(so, buf, n, MSG_NOSIGNAL);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IO_AGAIN_WRITE;
    io_errno = errno;
    return IO_ERROR;
  }
}

int G_HUB_LINK::open_connection() {
  const BRIDGE_OPTIONS& o = p_bridge->opt;
  const uint64_t deadline = bridge_now_ms() + OPEN_TIMEOUT_MS;
  why[0] = 0;

  // TCP, to the first address that takes the connection.
  char port[8];
  snprintf(port, sizeof port, "%u", unsigned(o.hub_port));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int gai = getaddrinfo(o.hub_host, port, &hints, &list);
  if (gai != 0) {
    snprintf(why, sizeof why, "cannot resolve %.100s: %.100s", o.hub_host, gai_strerror(gai));
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
    r = wait_io(POLLOUT, deadline);
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
  if (r != BRIDGE_OK) return r;
  const int one = 1;
  setsockopt(so, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(so, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(so, IPPROTO_TCP, TCP_KEEPIDLE, &KEEPALIVE_IDLE_S, sizeof KEEPALIVE_IDLE_S);
  setsockopt(so, IPPROTO_TCP, TCP_KEEPINTVL, &KEEPALIVE_INTERVAL_S, sizeof KEEPALIVE_INTERVAL_S);
  setsockopt(so, IPPROTO_TCP, TCP_KEEPCNT, &KEEPALIVE_COUNT, sizeof KEEPALIVE_COUNT);

  // TLS: SNI for a name; with --ca the certificate must be valid for the
  // name or address given.
  if (p_ctx != nullptr) {
    p_ssl = SSL_new(p_ctx);
    if (p_ssl == nullptr || SSL_set_fd(p_ssl, so) != 1) {
      snprintf(why, sizeof why, "cannot create a TLS session");
      return BRIDGE_FAIL;
    }
    const bool ip = is_ip_literal(o.hub_host);
    if (!ip) SSL_set_tlsext_host_name(p_ssl, o.hub_host);
    if (o.ca_file[0] != 0) {
      X509_VERIFY_PARAM* param = SSL_get0_param(p_ssl);
      const int set = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, o.hub_host) : SSL_set1_host(p_ssl, o.hub_host);
      if (set != 1) {
        snprintf(why, sizeof why, "cannot set the name to verify");
        return BRIDGE_FAIL;
      }
    }
    for (;;) {
      ERR_clear_error();
      errno = 0;
      const int c = SSL_connect(p_ssl);
      if (c == 1) break;
      const int e = SSL_get_error(p_ssl, c);
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        r = wait_io(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline);
        if (r != BRIDGE_OK) return r;
        continue;
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
  }

  // The WebSocket upgrade.
  char key[WS_KEY_SIZE];
  char request[1024];
  if (ws_make_key(key) != 0) {
    snprintf(why, sizeof why, "no randomness for the WebSocket key");
    return BRIDGE_FAIL;
  }
  const int req_len = ws_build_request(request, sizeof request, o.hub_host, o.hub_port, key);
  if (req_len < 0) {
    snprintf(why, sizeof why, "host name too long for the request");
    return BRIDGE_FAIL;
  }
  for (size_t done = 0; done < size_t(req_len);) {
    const int64_t n = io_write(request + done, size_t(req_len) - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n == IO_ERROR || n == IO_EOF) {
      why_io("WebSocket request");
      return BRIDGE_FAIL;
    }
    r = wait_io(poll_events(n), deadline);
    if (r != BRIDGE_OK) return r;
  }
  // The response head; frames may follow it in the same read.
  in_pos = in_len = 0;
  const char* end = nullptr;
  while (end == nullptr) {
    if (in_len >= HEAD_MAX) {
      snprintf(why, sizeof why, "WebSocket response longer than %zu bytes", HEAD_MAX);
      return BRIDGE_FAIL;
    }
    const int64_t n = io_read(p_in + in_len, HEAD_MAX - in_len);
    if (n > 0) {
      in_len += size_t(n);
      end = static_cast<const char*>(memmem(p_in, in_len, "\r\n\r\n", 4));
      continue;
    }
    if (n == IO_EOF || n == IO_ERROR) {
      why_io("WebSocket response");
      return BRIDGE_FAIL;
    }
    r = wait_io(poll_events(n), deadline);
    if (r != BRIDGE_OK) return r;
  }
  const size_t head_len = size_t(end - p_in) + 4;
  const int check = ws_check_response(p_in, head_len, key);
  if (check != WS_RESPONSE_OK) {
    const char* eol = static_cast<const char*>(memchr(p_in, '\r', head_len));
    const int status_len = int(eol != nullptr ? eol - p_in : 0);
    snprintf(why, sizeof why, "WebSocket handshake refused (%s): %.*s",
             check == WS_RESPONSE_STATUS    ? "status"
             : check == WS_RESPONSE_UPGRADE ? "no upgrade"
                                            : "wrong Sec-WebSocket-Accept",
             status_len > 80 ? 80 : status_len, p_in);
    return BRIDGE_FAIL;
  }
  in_pos = head_len;
  reader.reset();
  return BRIDGE_OK;
}

int G_HUB_LINK::publish_message() {
  G_BRIDGE& b = *p_bridge;
  if (!b.pub.b_up.load()) {
    ++b.counters.lost_redis_down;
    return BRIDGE_OK;
  }
  const uint8_t type = reader.msg_opcode == WS_OP_TEXT ? FED_TYPE_TEXT : FED_TYPE_BINARY;
  fed_header_write(p_msg, type, b.instance_id);
  const size_t len = FED_HEADER_SIZE + reader.msg_len;
  bool was_empty = false;
  int r = b.ring_to_redis.push(nullptr, 0, p_msg, len, 0, false, nullptr, &was_empty);
  if (r == G_RING::RING_FULL) {
    // Ask for a signal first, then try once more: room made in between
    // would otherwise go unnoticed.
    b_wait_room.store(true);
    r = b.ring_to_redis.push(nullptr, 0, p_msg, len, 0, false, nullptr, &was_empty);
    if (r == G_RING::RING_FULL) return BRIDGE_FAIL;
    b_wait_room.store(false);
  }
  if (r == G_RING::RING_OK) {
    if (was_empty) b.pub.wake.signal();
  } else {
    ++b.counters.too_large;
  }
  return BRIDGE_OK;
}

void G_HUB_LINK::count_written() {
  while (out_frames_done < out_frames && frame_end[out_frames_done] <= out_pos) {
    if (out_frames_done >= out_first_msg) ++p_bridge->counters.to_hub;
    ++out_frames_done;
  }
}

void G_HUB_LINK::fill_out() {
  if (out_pos < out_len) return;  // a batch is still being written
  out_pos = out_len = out_frames = out_frames_done = out_first_msg = 0;
  if (b_pong) {
    out_len = ws_client_frame(p_out, WS_OP_PONG, pong, pong_len, next_mask());
    frame_end[out_frames++] = out_len;
    out_first_msg = 1;
    b_pong = false;
  }
  while (out_frames < OUT_FRAMES_MAX) {
    const int r = p_bridge->ring_to_hub.pop_with([this](const char* data, size_t len, uint32_t type) {
      const size_t need = ws_client_header_size(len) + len;
      // A batch ends near OUT_BATCH; one message of any allowed size fits
      // into an empty buffer.
      if (out_len != 0 && (out_len + need > out_cap || out_len >= OUT_BATCH)) return false;
      out_len += ws_client_frame(p_out + out_len, uint8_t(type), data, len, next_mask());
      frame_end[out_frames++] = out_len;
      return true;
    });
    if (r != G_RING::POP_TAKEN) break;
  }
}

int G_HUB_LINK::serve() {
  G_BRIDGE& b = *p_bridge;
  bool readable = true;  // try first; the socket says when to stop
  bool writable = true;
  short read_wants = POLLIN;
  short write_wants = POLLOUT;
  for (;;) {
    if (b.b_stop.load()) return BRIDGE_STOP;
    bool progress = false;

    // A message that found no room toward Redis goes first.
    if (b_msg_pending) {
      if (publish_message() == BRIDGE_OK) {
        b_msg_pending = false;
        progress = true;
      }
    }
    // Decode what was read.
    while (!b_msg_pending && in_pos < in_len) {
      size_t used = 0;
      const int r = reader.feed(p_in + in_pos, in_len - in_pos, used);
      in_pos += used;
      if (r == G_WS_READER::WSR_MORE) break;
      progress = true;
      if (r == G_WS_READER::WSR_MESSAGE) {
        ++b.counters.from_hub;
        if (publish_message() != BRIDGE_OK) b_msg_pending = true;
      } else if (r == G_WS_READER::WSR_TOO_LARGE) {
        ++b.counters.from_hub;
        ++b.counters.too_large;
      } else if (r == G_WS_READER::WSR_PING) {
        memcpy(pong, reader.ctl, reader.ctl_len);
        pong_len = reader.ctl_len;
        b_pong = true;
      } else if (r == G_WS_READER::WSR_CLOSE) {
        if (reader.close_code == 1009)
          snprintf(why, sizeof why, "the hub closed the connection with 1009: a message was larger than it "
                                    "takes (raise its -L, or lower --max-message)");
        else
          snprintf(why, sizeof why, "the hub closed the connection with %u", unsigned(reader.close_code));
        say_goodbye(reader.close_code);
        return BRIDGE_FAIL;
      } else {
        snprintf(why, sizeof why, "not a valid WebSocket frame from the hub");
        return BRIDGE_FAIL;
      }
    }
    if (in_pos == in_len) in_pos = in_len = 0;

    // Read more when everything read has been taken.
    if (!b_msg_pending && readable && in_len == 0) {
      const int64_t n = io_read(p_in, IN_SIZE);
      if (n > 0) {
        in_len = size_t(n);
        progress = true;
        if (p_ssl != nullptr && write_wants == POLLIN) writable = true;
      } else if (n == IO_EOF || n == IO_ERROR) {
        why_io("hub");
        return BRIDGE_FAIL;
      } else {
        readable = false;
        read_wants = poll_events(n);
      }
    }

    // Frames toward the hub.
    fill_out();
    if (out_pos < out_len && writable) {
      const int64_t n = io_write(p_out + out_pos, out_len - out_pos);
      if (n > 0) {
        out_pos += size_t(n);
        count_written();
        progress = true;
        if (p_ssl != nullptr && read_wants == POLLOUT) readable = true;
      } else if (n == IO_ERROR || n == IO_EOF) {
        why_io("hub");
        return BRIDGE_FAIL;
      } else {
        writable = false;
        write_wants = poll_events(n);
      }
    }
    if (progress) continue;

    pollfd p[2] = {{so, 0, 0}, {wake.fd, POLLIN, 0}};
    if (!b_msg_pending && !readable) p[0].events |= read_wants;
    if (out_pos < out_len && !writable) p[0].events |= write_wants;
    const int n = poll(p, 2, SERVE_POLL_MS);
    if (n < 0 && errno != EINTR) {
      snprintf(why, sizeof why, "poll: %s", strerror(errno));
      return BRIDGE_FAIL;
    }
    if (n <= 0) continue;
    if (p[1].revents & POLLIN) wake.drain();
    const short got = p[0].revents;
    if (got & (POLLERR | POLLHUP)) {
      // Reset or shut both ways: the next call says why, unless nothing is
      // read now (a message waits for room) and poll would only say it again.
      if (b_msg_pending) {
        snprintf(why, sizeof why, "hub: connection reset");
        return BRIDGE_FAIL;
      }
      readable = writable = true;
    }
    if (got & read_wants) readable = true;
    if (got & write_wants) writable = true;
  }
}

void G_HUB_LINK::say_goodbye(uint16_t code) {
  // A close frame when nothing else is half written; the socket is
  // non-blocking, so this never waits.
  if (so < 0 || out_pos != out_len) return;
  char frame[WS_CLIENT_HEADER_MAX + 2];
  const char payload[2] = {char(code >> 8), char(code & 0xFF)};
  const size_t n = ws_client_frame(frame, WS_OP_CLOSE, payload, code != 0 ? 2 : 0, next_mask());
  io_write(frame, n);
  if (p_ssl != nullptr) SSL_shutdown(p_ssl);
}
