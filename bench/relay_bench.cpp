// relay-bench: load generator for fan-out relays (relayhub, ncat --broker,
// a WebSocket broadcast server, ...). It only speaks the wire protocols.
//
//   relay-bench --port P [--host 127.0.0.1] --kind raw|ws|tls|wss
//               [--recv-port P2 (receivers on another relay, e.g. a bridged hub)]
//               --senders S --receivers R --size N
//               [--duration SEC (5)] [--warmup SEC (1)] [--rate MSGS_PER_SEC_PER_SENDER (0 = max)]
//               [--ramp-timeout SEC (20)] [--drain-timeout SEC (10)] [--ws-path /]
//               [--recv-threads 1|2 (1)] [--nap-us US (50 at --rate 0, else 0)]
//
// R receiver connections are opened first, then S sender connections. Every
// sender sends length-prefixed, self-checking messages of --size bytes:
//
//   u32 total length | u32 magic 0x52484231 | u32 sender id | u64 seq |
//   u64 send time (CLOCK_MONOTONIC ns) | payload, byte i = (seq*31 + sender*7 + i) & 0xFF
//
// all little-endian. Receivers reassemble the byte stream (raw/tls) or the
// concatenated frame payloads (ws/wss) by the length prefix, so a relay may
// cut or merge messages freely. With several raw/tls senders the receivers
// can only separate the messages again when the relay forwards whole
// messages; a relay that forwards arbitrary read chunks interleaves the
// senders' bytes, and the run reports them as corrupted and lost.
//
// Phases: ramp (each sender sends a header-only message every 20 ms, seq with
// the top bit set, until every receiver has heard every sender), warm-up
// (--warmup s: checked, not counted), the window (--duration s: throughput
// counts messages whose receive time falls in it, latency those whose send
// time does), then drain (until every receiver has every message, or
// --drain-timeout s after the window). Senders also receive the others'
// messages and discard them; they are not counted as deliveries.
//
// Latency is receive time minus the time the sender built the message, just
// before writing it; at --rate 0 it is dominated by queueing in socket buffers.
//
// The last line of the output is one JSON object with the results.

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <endian.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <wchar.h>

#include "support/g_mask.hpp"

namespace {

constexpr uint32_t k_magic = 0x52484231;
constexpr size_t k_header = 28;
constexpr uint64_t k_ramp_bit = 1ull << 63;
constexpr size_t k_max_size = 16u << 20;
constexpr size_t k_read_buffer = 256 * 1024;
constexpr size_t k_batch_bytes = 64 * 1024;
constexpr uint64_t k_ramp_interval_ns = 20'000'000;
constexpr size_t k_max_gap_ranges = 1u << 20;
constexpr int k_handshake_timeout_s = 5;
constexpr size_t k_nap_below = 16 * 1024;

enum Kind { KIND_RAW, KIND_WS, KIND_TLS, KIND_WSS };
const char* kind_name(Kind k) {
  switch (k) {
    case KIND_RAW:
      return "raw";
    case KIND_WS:
      return "ws";
    case KIND_TLS:
      return "tls";
    case KIND_WSS:
      return "wss";
  }
  return "?";
}
bool kind_tls(Kind k) {
  return k == KIND_TLS || k == KIND_WSS;
}
bool kind_ws(Kind k) {
  return k == KIND_WS || k == KIND_WSS;
}

enum Phase { PH_CONNECT, PH_RAMP, PH_MEASURE, PH_DONE };

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1'000'000'000ull + uint64_t(ts.tv_nsec);
}

void sleep_until_ns(uint64_t t) {
  timespec ts;
  ts.tv_sec = time_t(t / 1'000'000'000ull);
  ts.tv_nsec = long(t % 1'000'000'000ull);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// g_pattern[k] == k & 0xFF: any payload run is a slice of this table, so
// building and checking a payload is one memcpy / memcmp per 64 KiB.
constexpr size_t k_pattern_run = 65536;
uint8_t g_pattern[256 + k_pattern_run];

uint8_t pattern_base(uint64_t seq, uint32_t sender) {
  return uint8_t(seq * 31 + uint64_t(sender) * 7);
}

void put32(uint8_t* p, uint32_t v) {
  v = htole32(v);
  memcpy(p, &v, 4);
}
void put64(uint8_t* p, uint64_t v) {
  v = htole64(v);
  memcpy(p, &v, 8);
}
uint32_t get32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return le32toh(v);
}
uint64_t get64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return le64toh(v);
}

void build_message(uint8_t* dst, uint32_t len, uint32_t sender, uint64_t seq, uint64_t ts) {
  put32(dst, len);
  put32(dst + 4, k_magic);
  put32(dst + 8, sender);
  put64(dst + 12, seq);
  put64(dst + 20, ts);
  uint8_t base = pattern_base(seq, sender);
  size_t plen = len - k_header, pos = 0;
  uint8_t* p = dst + k_header;
  while (pos < plen) {
    size_t piece = std::min(plen - pos, k_pattern_run);
    memcpy(p + pos, g_pattern + ((base + pos) & 0xFF), piece);
    pos += piece;
  }
}

// Writes a client frame header (FIN, opcode, MASK set, key); returns its length.
size_t ws_client_header(uint8_t* dst, uint8_t opcode, uint64_t plen, const uint8_t key[4]) {
  size_t h = 0;
  dst[h++] = uint8_t(0x80 | opcode);
  if (plen < 126) {
    dst[h++] = uint8_t(0x80 | plen);
  } else if (plen < 65536) {
    dst[h++] = 0x80 | 126;
    dst[h++] = uint8_t(plen >> 8);
    dst[h++] = uint8_t(plen);
  } else {
    dst[h++] = 0x80 | 127;
    for (int i = 7; i >= 0; --i)
      dst[h++] = uint8_t(plen >> (8 * i));
  }
  memcpy(dst + h, key, 4);
  return h + 4;
}

size_t ws_client_header_size(uint64_t plen) {
  return (plen < 126 ? 2 : plen < 65536 ? 4 : 10) + 4;
}

// ---------------------------------------------------------------------------
// Options

struct Options {
  std::string host = "127.0.0.1";
  long port = 0;
  long recv_port = 0;  // 0 = port
  Kind kind = KIND_RAW;
  bool kind_set = false;
  long senders = 0;
  long receivers = 0;
  long size = 0;
  double duration = 5;
  double warmup = 1;
  double rate = 0;
  double ramp_timeout = 20;
  double drain_timeout = 10;
  std::string ws_path = "/";
  std::string tls13_suites;  // empty: OpenSSL's default offer
  long recv_threads = 0;
  long nap_us = -1;  // receive-side coalescing pause; -1 = automatic
};

void usage(const char* prog) {
  fwprintf(stderr,
           L"usage: %s --port P [--host 127.0.0.1] --kind raw|ws|tls|wss --senders S --receivers R --size N\n"
           L"          [--recv-port P2 (receivers connect there; default P)]\n"
           L"          [--duration SEC (5)] [--warmup SEC (1)] [--rate MSGS_PER_SEC_PER_SENDER (0 = max)]\n"
           L"          [--ramp-timeout SEC (20)] [--drain-timeout SEC (10)] [--ws-path /]\n"
           L"          [--recv-threads 1|2 (1)] [--nap-us US (50 at --rate 0, else 0)]\n"
           L"          [--tls13-suites LIST (TLS 1.3 suites to offer; default OpenSSL's)]\n"
           L"  --size is the whole message length in bytes, at least %u (the header)\n",
           prog, unsigned(k_header));
}

bool parse_long(const char* s, long lo, long hi, long& out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || end == s || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool parse_double(const char* s, double lo, double hi, double& out) {
  char* end = nullptr;
  errno = 0;
  double v = strtod(s, &end);
  if (errno || end == s || *end || !std::isfinite(v) || v < lo || v > hi) return false;
  out = v;
  return true;
}

// Returns an empty string on success, else the reason.
std::string parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string v;
    bool has_value = false;
    size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
      v = a.substr(eq + 1);
      a = a.substr(0, eq);
      has_value = true;
    }
    if (a == "-h" || a == "--help") return "help";
    if (!has_value) {
      if (i + 1 >= argc) return "missing value for " + a;
      v = argv[++i];
    }
    const char* s = v.c_str();
    bool ok = true;
    if (a == "--port")
      ok = parse_long(s, 1, 65535, o.port);
    else if (a == "--recv-port")
      ok = parse_long(s, 1, 65535, o.recv_port);
    else if (a == "--host")
      o.host = v;
    else if (a == "--kind") {
      o.kind_set = true;
      if (v == "raw")
        o.kind = KIND_RAW;
      else if (v == "ws")
        o.kind = KIND_WS;
      else if (v == "tls")
        o.kind = KIND_TLS;
      else if (v == "wss")
        o.kind = KIND_WSS;
      else
        ok = false;
    } else if (a == "--senders")
      ok = parse_long(s, 1, 4096, o.senders);
    else if (a == "--receivers")
      ok = parse_long(s, 1, 4096, o.receivers);
    else if (a == "--size")
      ok = parse_long(s, long(k_header), long(k_max_size), o.size);
    else if (a == "--duration")
      ok = parse_double(s, 0.001, 86400, o.duration);
    else if (a == "--warmup")
      ok = parse_double(s, 0, 86400, o.warmup);
    else if (a == "--rate")
      ok = parse_double(s, 0, 1e9, o.rate);
    else if (a == "--ramp-timeout")
      ok = parse_double(s, 0.001, 86400, o.ramp_timeout);
    else if (a == "--drain-timeout")
      ok = parse_double(s, 0, 86400, o.drain_timeout);
    else if (a == "--ws-path") {
      o.ws_path = v;
      ok = !v.empty() && v[0] == '/' && v.find_first_of(" \r\n") == std::string::npos;
    } else if (a == "--tls13-suites") {
      o.tls13_suites = v;
      ok = !v.empty();
    } else if (a == "--recv-threads")
      ok = parse_long(s, 1, 2, o.recv_threads);
    else if (a == "--nap-us")
      ok = parse_long(s, 0, 10000, o.nap_us);
    else
      return "unknown option " + a;
    if (!ok) return "bad value for " + a + ": " + v;
  }
  if (!o.port) return "--port is required";
  if (!o.kind_set) return "--kind is required";
  if (!o.senders) return "--senders is required";
  if (!o.receivers) return "--receivers is required";
  if (!o.size) return "--size is required";
  return "";
}

// ---------------------------------------------------------------------------
// Connection: a non-blocking socket, optionally with a TLS session.

SSL_CTX* g_ssl_ctx = nullptr;

constexpr long IO_WOULD_BLOCK = -1;
constexpr long IO_ERROR = -2;

struct Conn {
  int fd = -1;
  SSL* ssl = nullptr;
  bool want_write = false;  // the TLS session needs the socket writable
  bool eof_pending = false;
  std::string err;
  std::vector<uint8_t> early;  // bytes that followed the WebSocket handshake response

  Conn() = default;
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  ~Conn() { close(); }

  void close() {
    if (ssl) SSL_free(ssl);
    ssl = nullptr;
    if (fd >= 0) ::close(fd);
    fd = -1;
  }

  // > 0 bytes, 0 end of stream, IO_WOULD_BLOCK, IO_ERROR (err set).
  long rd(uint8_t* p, size_t n) {
    if (eof_pending) return 0;
    if (!ssl) {
      for (;;) {
        ssize_t r = recv(fd, p, n, 0);
        if (r >= 0) return long(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return IO_WOULD_BLOCK;
        err = std::string("recv: ") + strerror(errno);
        return IO_ERROR;
      }
    }
    // Loop until OpenSSL has nothing buffered, so that readiness of the
    // socket alone tells when to come back.
    size_t got = 0;
    want_write = false;
    while (got < n) {
      ERR_clear_error();
      int r = SSL_read(ssl, p + got, int(std::min<size_t>(n - got, 1u << 30)));
      if (r > 0) {
        got += size_t(r);
        continue;
      }
      int e = SSL_get_error(ssl, r);
      if (e == SSL_ERROR_WANT_READ) break;
      if (e == SSL_ERROR_WANT_WRITE) {
        want_write = true;
        break;
      }
      if (e == SSL_ERROR_ZERO_RETURN || (e == SSL_ERROR_SYSCALL && errno == 0)) {
        if (got) {
          eof_pending = true;
          return long(got);
        }
        return 0;
      }
      if (got) return long(got);
      err = std::string("SSL_read: ") + ssl_error_text(e);
      return IO_ERROR;
    }
    return got ? long(got) : IO_WOULD_BLOCK;
  }

  long wr(const uint8_t* p, size_t n) {
    if (!ssl) {
      for (;;) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r >= 0) return long(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return IO_WOULD_BLOCK;
        err = std::string("send: ") + strerror(errno);
        return IO_ERROR;
      }
    }
    ERR_clear_error();
    want_write = false;
    int r = SSL_write(ssl, p, int(std::min<size_t>(n, 1u << 30)));
    if (r > 0) return r;
    int e = SSL_get_error(ssl, r);
    if (e == SSL_ERROR_WANT_WRITE) {
      want_write = true;
      return IO_WOULD_BLOCK;
    }
    if (e == SSL_ERROR_WANT_READ) return IO_WOULD_BLOCK;
    err = std::string("SSL_write: ") + ssl_error_text(e);
    return IO_ERROR;
  }

  bool has_buffered() const { return ssl && SSL_pending(ssl) > 0; }

  static std::string ssl_error_text(int e) {
    unsigned long code = ERR_peek_last_error();
    char buf[256];
    if (code) {
      ERR_error_string_n(code, buf, sizeof buf);
    } else if (e == SSL_ERROR_SYSCALL) {
      snprintf(buf, sizeof buf, "syscall: %s", errno ? strerror(errno) : "unexpected end of stream");
    } else {
      snprintf(buf, sizeof buf, "SSL error %d", e);
    }
    return buf;
  }
};

// Blocking helpers, used only while the socket still has its time-outs.
bool write_all_blocking(Conn& c, const uint8_t* p, size_t n) {
  while (n) {
    long r;
    if (c.ssl) {
      ERR_clear_error();
      int w = SSL_write(c.ssl, p, int(n));
      if (w <= 0) {
        c.err = "SSL_write: " + Conn::ssl_error_text(SSL_get_error(c.ssl, w));
        return false;
      }
      r = w;
    } else {
      r = send(c.fd, p, n, MSG_NOSIGNAL);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        c.err = std::string("send: ") + strerror(errno);
        return false;
      }
    }
    p += r;
    n -= size_t(r);
  }
  return true;
}

long read_some_blocking(Conn& c, uint8_t* p, size_t n) {
  if (c.ssl) {
    ERR_clear_error();
    int r = SSL_read(c.ssl, p, int(n));
    if (r > 0) return r;
    int e = SSL_get_error(c.ssl, r);
    if (e == SSL_ERROR_ZERO_RETURN) return 0;
    c.err = "SSL_read: " + Conn::ssl_error_text(e);
    return -1;
  }
  for (;;) {
    ssize_t r = recv(c.fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) c.err = std::string("recv: ") + (errno == EAGAIN ? "timed out" : strerror(errno));
    return long(r);
  }
}

std::string base64(const uint8_t* p, size_t n) {
  std::string out(4 * ((n + 2) / 3) + 1, '\0');
  int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), p, int(n));
  out.resize(size_t(len));
  return out;
}

bool header_value(const std::string& head, const char* name, std::string& value) {
  size_t nlen = strlen(name);
  size_t pos = 0;
  while ((pos = head.find("\r\n", pos)) != std::string::npos) {
    pos += 2;
    if (head.size() - pos >= nlen && strncasecmp(head.c_str() + pos, name, nlen) == 0 &&
        head[pos + nlen] == ':') {
      size_t b = pos + nlen + 1;
      size_t e = head.find("\r\n", b);
      if (e == std::string::npos) e = head.size();
      while (b < e && (head[b] == ' ' || head[b] == '\t'))
        ++b;
      while (e > b && (head[e - 1] == ' ' || head[e - 1] == '\t'))
        --e;
      value = head.substr(b, e - b);
      return true;
    }
  }
  return false;
}

bool ws_client_handshake(Conn& c, const Options& o) {
  uint8_t raw_key[16];
  if (getrandom(raw_key, sizeof raw_key, 0) != long(sizeof raw_key)) {
    c.err = "getrandom failed";
    return false;
  }
  std::string key = base64(raw_key, sizeof raw_key);
  std::string req = "GET " + o.ws_path + " HTTP/1.1\r\nHost: " + o.host + ":" + std::to_string(o.port) +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key +
                    "\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (!write_all_blocking(c, reinterpret_cast<const uint8_t*>(req.data()), req.size())) return false;

  std::string head;
  uint8_t buf[4096];
  size_t end = std::string::npos;
  while (end == std::string::npos) {
    if (head.size() > 16384) {
      c.err = "WebSocket handshake response too long";
      return false;
    }
    long r = read_some_blocking(c, buf, sizeof buf);
    if (r <= 0) {
      if (r == 0)
        c.err = "connection closed during the WebSocket handshake";
      else
        c.err = "WebSocket handshake: " + c.err;
      return false;
    }
    head.append(reinterpret_cast<char*>(buf), size_t(r));
    end = head.find("\r\n\r\n");
  }
  c.early.assign(head.begin() + long(end + 4), head.end());
  head.resize(end + 2);
  size_t sp = head.find(' ');
  if (head.compare(0, 5, "HTTP/") != 0 || sp == std::string::npos || head.compare(sp + 1, 3, "101") != 0) {
    c.err = "WebSocket handshake refused: " + head.substr(0, head.find("\r\n"));
    return false;
  }
  std::string accept;
  if (!header_value(head, "Sec-WebSocket-Accept", accept)) {
    c.err = "WebSocket handshake response has no Sec-WebSocket-Accept";
    return false;
  }
  std::string src = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned dlen = 0;
  if (!EVP_Digest(src.data(), src.size(), digest, &dlen, EVP_sha1(), nullptr)) {
    c.err = "SHA-1 failed";
    return false;
  }
  if (accept != base64(digest, dlen)) {
    c.err = "wrong Sec-WebSocket-Accept: " + accept;
    return false;
  }
  return true;
}

bool resolve(const Options& o, long port, sockaddr_in& sa, std::string& err) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int r = getaddrinfo(o.host.c_str(), std::to_string(port).c_str(), &hints, &res);
  if (r || !res) {
    err = "cannot resolve " + o.host + ": " + gai_strerror(r);
    return false;
  }
  memcpy(&sa, res->ai_addr, sizeof sa);
  freeaddrinfo(res);
  return true;
}

// Opens one connection of the run's kind and leaves it non-blocking.
bool open_conn(Conn& c, const Options& o, const sockaddr_in& sa) {
  c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (c.fd < 0) {
    c.err = std::string("socket: ") + strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{k_handshake_timeout_s, 0};
  setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(c.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
    c.err = std::string("connect: ") + strerror(errno);
    return false;
  }
  if (kind_tls(o.kind)) {
    c.ssl = SSL_new(g_ssl_ctx);
    if (!c.ssl || !SSL_set_fd(c.ssl, c.fd) || !SSL_set_tlsext_host_name(c.ssl, "localhost")) {
      c.err = "SSL_new/SSL_set_fd failed";
      return false;
    }
    ERR_clear_error();
    int r = SSL_connect(c.ssl);
    if (r != 1) {
      c.err = "TLS handshake: " + Conn::ssl_error_text(SSL_get_error(c.ssl, r));
      return false;
    }
  }
  if (kind_ws(o.kind) && !ws_client_handshake(c, o)) return false;
  timeval zero{0, 0};
  setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &zero, sizeof zero);
  setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &zero, sizeof zero);
  int fl = fcntl(c.fd, F_GETFL);
  if (fl < 0 || fcntl(c.fd, F_SETFL, fl | O_NONBLOCK) < 0) {
    c.err = std::string("fcntl: ") + strerror(errno);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Incoming WebSocket frames (server to client), decoded as a stream.

struct WsIn {
  uint8_t hdr[14];
  uint32_t have = 0;
  bool in_payload = false;
  uint64_t left = 0;
  uint8_t opcode = 0;
  bool masked = false;
  uint8_t key[4] = {0, 0, 0, 0};
  uint64_t key_pos = 0;
  uint8_t ctl[125];
  uint32_t ctl_len = 0;
  bool closed = false;
  bool bad = false;

  static uint32_t header_len(const uint8_t* h) {
    uint32_t n = 2;
    uint8_t l = h[1] & 0x7F;
    if (l == 126)
      n += 2;
    else if (l == 127)
      n += 8;
    if (h[1] & 0x80) n += 4;
    return n;
  }

  // data(p, n) gets each piece of data-frame payload; ping(p, n) each complete ping.
  template <class Data, class Ping>
  void feed(uint8_t* p, size_t n, Data&& data, Ping&& ping) {
    while (n && !closed && !bad) {
      if (!in_payload) {
        uint32_t need = have < 2 ? 2 : header_len(hdr);
        size_t take = std::min<size_t>(need - have, n);
        memcpy(hdr + have, p, take);
        have += uint32_t(take);
        p += take;
        n -= take;
        if (have < need) continue;
        if (need == 2 && header_len(hdr) > 2) continue;
        opcode = hdr[0] & 0x0F;
        masked = hdr[1] & 0x80;
        uint8_t l7 = hdr[1] & 0x7F;
        uint64_t len = l7;
        size_t off = 2;
        if (l7 == 126) {
          len = (uint64_t(hdr[2]) << 8) | hdr[3];
          off = 4;
        } else if (l7 == 127) {
          len = 0;
          for (int i = 0; i < 8; ++i)
            len = (len << 8) | hdr[2 + i];
          off = 10;
        }
        if (masked) memcpy(key, hdr + off, 4);
        key_pos = 0;
        have = 0;
        if (opcode & 8) {
          if (len > 125 || !(hdr[0] & 0x80)) {
            bad = true;
            break;
          }
          ctl_len = 0;
        } else if (opcode > 2) {
          bad = true;
          break;
        }
        left = len;
        in_payload = true;
      } else {
        size_t take = size_t(std::min<uint64_t>(left, n));
        if (masked) {
          g_mask(p, p, take, key, key_pos);
          key_pos += take;
        }
        if (opcode & 8) {
          memcpy(ctl + ctl_len, p, take);
          ctl_len += uint32_t(take);
        } else {
          data(p, take);
        }
        p += take;
        n -= take;
        left -= take;
      }
      if (in_payload && !left) {
        in_payload = false;
        if (opcode == 8)
          closed = true;
        else if (opcode == 9)
          ping(ctl, ctl_len);
      }
    }
  }
};

// ---------------------------------------------------------------------------
// Latency histogram: exact below 128 ns, then 128 sub-buckets per power of
// two (under 0.8 % relative error).

struct Hist {
  static constexpr int k_sub_bits = 7;
  static constexpr int k_sub = 1 << k_sub_bits;
  static constexpr int k_buckets = (64 - k_sub_bits + 1) * k_sub;
  std::vector<uint64_t> counts = std::vector<uint64_t>(size_t(k_buckets), 0);
  uint64_t n = 0, max = 0, sum = 0;

  static int index(uint64_t v) {
    if (v < uint64_t(k_sub)) return int(v);
    int msb = 63 - __builtin_clzll(v);
    int sub = int((v >> (msb - k_sub_bits)) & (k_sub - 1));
    return (msb - k_sub_bits + 1) * k_sub + sub;
  }
  static uint64_t value(int idx) {  // middle of the bucket
    if (idx < k_sub) return uint64_t(idx);
    int msb = idx / k_sub + k_sub_bits - 1;
    uint64_t sub = uint64_t(idx % k_sub);
    uint64_t width = 1ull << (msb - k_sub_bits);
    return ((uint64_t(k_sub) + sub) << (msb - k_sub_bits)) + width / 2;
  }
  void add(uint64_t v) {
    ++counts[size_t(index(v))];
    ++n;
    sum += v;
    if (v > max) max = v;
  }
  void merge(const Hist& o) {
    for (size_t i = 0; i < counts.size(); ++i)
      counts[i] += o.counts[i];
    n += o.n;
    sum += o.sum;
    max = std::max(max, o.max);
  }
  uint64_t percentile(double p) const {
    if (!n) return 0;
    uint64_t rank = uint64_t(std::ceil(p * double(n)));
    if (rank < 1) rank = 1;
    uint64_t cum = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
      cum += counts[i];
      if (cum >= rank) return std::min(value(int(i)), max);
    }
    return max;
  }
};

// ---------------------------------------------------------------------------
// Per (receiver, sender) integrity. Sequence numbers of the measured phase
// start at 0. In the normal case each message is seq == next; anything else
// records or fills gap ranges, so no per-message memory is needed.

struct PairState {
  uint64_t next = 0;                                // highest seq seen + 1
  std::vector<std::pair<uint64_t, uint64_t>> gaps;  // missing [lo, hi), ascending
  uint64_t duplicated = 0, reordered = 0;
  bool overflow = false;

  // True when the seq was not seen before.
  bool on_seq(uint64_t seq) {
    if (seq == next) {
      ++next;
      return true;
    }
    if (seq > next) {
      if (gaps.size() < k_max_gap_ranges)
        gaps.emplace_back(next, seq);
      else
        overflow = true;
      next = seq + 1;
      return true;
    }
    auto it = std::upper_bound(gaps.begin(), gaps.end(), std::make_pair(seq, UINT64_MAX));
    if (it == gaps.begin() || (it - 1)->second <= seq) {
      ++duplicated;
      return false;
    }
    --it;
    ++reordered;
    uint64_t lo = it->first, hi = it->second;
    if (lo == seq && hi == seq + 1)
      gaps.erase(it);
    else if (lo == seq)
      it->first = seq + 1;
    else if (hi == seq + 1)
      it->second = seq;
    else {
      it->second = seq;
      gaps.insert(it + 1, std::make_pair(seq + 1, hi));
    }
    return true;
  }

  uint64_t lost(uint64_t sent) const {
    uint64_t l = 0;
    for (auto& g : gaps)
      l += std::min(g.second, sent) > g.first ? std::min(g.second, sent) - g.first : 0;
    if (sent > next) l += sent - next;
    return l;
  }
};

// ---------------------------------------------------------------------------

struct Bench;

struct Sender {
  Bench* b = nullptr;
  uint32_t id = 0;
  Conn c;
  std::atomic<uint64_t> built{0};  // measured messages built so far: every valid seq is below it
  uint64_t sent = 0;               // measured messages completely written
  std::atomic<int> state{0};       // 0 sending, 1 finished writing, 2 failed
  int wake_fd = -1;
  uint8_t key[4] = {0, 0, 0, 0};
  uint64_t ramp_sent = 0;
  std::string err;
  std::thread th;
};

struct Receiver {
  Bench* b = nullptr;
  uint32_t idx = 0;
  Conn c;
  WsIn ws;
  // message reassembly
  uint8_t hdr[k_header];
  uint32_t have = 0;
  bool in_payload = false;
  bool payload_ok = true;
  bool resync = false;
  uint64_t pay_left = 0, pay_pos = 0;
  uint8_t base = 0;
  uint32_t m_len = 0, m_sender = 0;
  uint64_t m_seq = 0, m_ts = 0;
  // outgoing pong
  uint8_t pong[140];
  size_t pong_len = 0, pong_off = 0;
  bool out_armed = false;
  // results
  std::vector<PairState> pairs;
  std::vector<uint8_t> seen;
  std::atomic<uint32_t> seen_count{0};
  std::atomic<uint64_t> accounted{0};  // distinct measured messages seen
  uint64_t accounted_local = 0;
  uint64_t delivered = 0, window_msgs = 0, window_bytes = 0, corrupted = 0;
  Hist hist;
  bool dead = false;
  bool more = false;
  std::string err;
};

struct Bench {
  Options o;
  std::atomic<int> phase{PH_CONNECT};
  std::atomic<uint64_t> start_ns{0}, w0{UINT64_MAX}, w1{UINT64_MAX}, stop_ns{UINT64_MAX},
      give_up_ns{UINT64_MAX};
  std::vector<std::unique_ptr<Sender>> senders;
  std::vector<std::unique_ptr<Receiver>> receivers;
  std::mutex err_mu;
  std::string first_err;
  std::atomic<bool> fatal{false};

  void fail(const std::string& e) {
    std::lock_guard<std::mutex> g(err_mu);
    if (first_err.empty()) first_err = e;
    fatal.store(true);
  }
  void wake_senders() {
    uint64_t one = 1;
    for (auto& s : senders)
      if (s->wake_fd >= 0 && write(s->wake_fd, &one, 8) < 0) {
      }
  }
};

// --- receive side ------------------------------------------------------------

void queue_pong(Receiver& r, const uint8_t* p, uint32_t n) {
  if (r.pong_off < r.pong_len) return;  // one pong outstanding is enough: answers the latest ping
  uint8_t key[4] = {0x5a, 0x17, 0xc3, 0x9e};
  size_t h = ws_client_header(r.pong, 0x0A, n, key);
  memcpy(r.pong + h, p, n);
  g_mask(r.pong + h, r.pong + h, n, key, 0);
  r.pong_len = h + n;
  r.pong_off = 0;
}

// Tries to write the pending pong; arms EPOLLOUT while it cannot.
void flush_pong(Receiver& r, int ep) {
  while (r.pong_off < r.pong_len) {
    long w = r.c.wr(r.pong + r.pong_off, r.pong_len - r.pong_off);
    if (w > 0) {
      r.pong_off += size_t(w);
      continue;
    }
    if (w == IO_ERROR) {
      r.dead = true;
      r.err = r.c.err;
    }
    break;
  }
  bool want = r.pong_off < r.pong_len && !r.dead;
  if (want != r.out_armed) {
    epoll_event ev{};
    ev.events = uint32_t(EPOLLIN) | (want ? uint32_t(EPOLLOUT) : 0u);
    ev.data.ptr = &r;
    epoll_ctl(ep, EPOLL_CTL_MOD, r.c.fd, &ev);
    r.out_armed = want;
  }
}

struct WindowView {
  uint64_t w0, w1, now;
};

void on_message(Receiver& r, const WindowView& w) {
  uint32_t s = r.m_sender;
  if (!r.seen[s]) {
    r.seen[s] = 1;
    r.seen_count.fetch_add(1, std::memory_order_release);
  }
  if (r.m_seq & k_ramp_bit) return;
  bool fresh = r.pairs[s].on_seq(r.m_seq);
  if (fresh) r.accounted.store(++r.accounted_local, std::memory_order_relaxed);
  if (!r.payload_ok) {
    ++r.corrupted;
    return;
  }
  if (!fresh) return;
  ++r.delivered;
  if (w.now >= w.w0 && w.now < w.w1) {
    ++r.window_msgs;
    r.window_bytes += r.m_len;
  }
  if (r.m_ts >= w.w0 && r.m_ts < w.w1) r.hist.add(w.now >= r.m_ts ? w.now - r.m_ts : 0);
}

// Checks a complete header; sets up the payload check when it is valid.
bool accept_header(Receiver& r, const uint8_t* h) {
  Bench& b = *r.b;
  uint32_t len = get32(h), magic = get32(h + 4), sender = get32(h + 8);
  uint64_t seq = get64(h + 12);
  if (magic != k_magic || sender >= uint32_t(b.o.senders)) return false;
  if (seq & k_ramp_bit) {
    if (len != k_header && len != uint32_t(b.o.size)) return false;
  } else {
    if (len != uint32_t(b.o.size)) return false;
    if (seq >= b.senders[sender]->built.load(std::memory_order_acquire)) return false;
  }
  r.m_len = len;
  r.m_sender = sender;
  r.m_seq = seq;
  r.m_ts = get64(h + 20);
  r.pay_left = len - k_header;
  r.pay_pos = 0;
  r.base = pattern_base(seq, sender);
  r.payload_ok = true;
  r.in_payload = true;
  return true;
}

// Reassembles messages from a byte stream cut anywhere.
void feed_messages(Receiver& r, const uint8_t* p, size_t n, const WindowView& w) {
  while (n) {
    if (!r.in_payload) {
      const uint8_t* h;
      if (r.have == 0 && n >= k_header) {
        h = p;
        if (!accept_header(r, h)) {
          if (!r.resync) ++r.corrupted;
          r.resync = true;
          ++p;
          --n;
          continue;
        }
        p += k_header;
        n -= k_header;
      } else {
        size_t take = std::min<size_t>(k_header - r.have, n);
        memcpy(r.hdr + r.have, p, take);
        r.have += uint32_t(take);
        p += take;
        n -= take;
        if (r.have < k_header) return;
        if (!accept_header(r, r.hdr)) {
          // Slide by one byte to find the next message start.
          if (!r.resync) ++r.corrupted;
          r.resync = true;
          memmove(r.hdr, r.hdr + 1, k_header - 1);
          r.have = k_header - 1;
          continue;
        }
        r.have = 0;
      }
      r.resync = false;
    } else {
      size_t take = size_t(std::min<uint64_t>(r.pay_left, n));
      if (r.payload_ok) {
        size_t done = 0;
        while (done < take) {
          size_t piece = std::min(take - done, k_pattern_run);
          if (memcmp(p + done, g_pattern + ((r.base + r.pay_pos + done) & 0xFF), piece) != 0) {
            r.payload_ok = false;
            break;
          }
          done += piece;
        }
      }
      r.pay_pos += take;
      r.pay_left -= take;
      p += take;
      n -= take;
    }
    if (r.in_payload && !r.pay_left) {
      r.in_payload = false;
      on_message(r, w);
    }
  }
}

void process_input(Receiver& r, uint8_t* p, size_t n, uint64_t now, int ep) {
  Bench& b = *r.b;
  WindowView w{b.w0.load(std::memory_order_relaxed), b.w1.load(std::memory_order_relaxed), now};
  if (!kind_ws(b.o.kind)) {
    feed_messages(r, p, n, w);
    return;
  }
  bool pinged = false;
  r.ws.feed(
      p, n, [&](const uint8_t* d, size_t dn) { feed_messages(r, d, dn, w); },
      [&](const uint8_t* d, uint32_t dn) {
        queue_pong(r, d, dn);
        pinged = true;
      });
  if (pinged) flush_pong(r, ep);
  if (r.ws.closed) {
    r.dead = true;
    r.err = "server sent a WebSocket close frame";
  } else if (r.ws.bad) {
    r.dead = true;
    r.err = "malformed WebSocket frame from the server";
  }
}

void receiver_thread(Bench* b, std::vector<Receiver*> list) {
  int ep = epoll_create1(EPOLL_CLOEXEC);
  std::vector<uint8_t> buf(std::max(k_read_buffer, size_t(b->o.size)));
  for (Receiver* r : list) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = r;
    epoll_ctl(ep, EPOLL_CTL_ADD, r->c.fd, &ev);
    if (!r->c.early.empty()) {
      std::vector<uint8_t> early;
      early.swap(r->c.early);
      process_input(*r, early.data(), early.size(), now_ns(), ep);
    }
  }
  std::vector<epoll_event> evs(list.size() + 1);
  std::vector<Receiver*> ready;
  const uint64_t nap_ns = uint64_t(b->o.nap_us) * 1000;
  size_t round_bytes = k_read_buffer;
  while (b->phase.load(std::memory_order_acquire) != PH_DONE) {
    if (nap_ns && round_bytes < k_nap_below) {
      // Only a trickle arrived: let more pile up in the socket buffers so
      // that each read carries more than one message.
      timespec ts{0, long(nap_ns)};
      nanosleep(&ts, nullptr);
    }
    round_bytes = 0;
    bool any_more = false;
    for (Receiver* r : list)
      any_more |= r->more;
    int n = epoll_wait(ep, evs.data(), int(evs.size()), any_more ? 0 : 20);
    ready.clear();
    for (Receiver* r : list)
      if (r->more) ready.push_back(r);
    for (int i = 0; i < n; ++i) {
      Receiver* r = static_cast<Receiver*>(evs[size_t(i)].data.ptr);
      if ((evs[size_t(i)].events & EPOLLOUT) && !r->dead) flush_pong(*r, ep);
      if (!r->more) ready.push_back(r);
    }
    for (Receiver* r : ready) {
      r->more = false;
      if (r->dead) continue;
      long got = 0;
      for (int k = 0; k < 4 && !r->dead; ++k) {
        got = r->c.rd(buf.data(), buf.size());
        if (got > 0) {
          round_bytes += size_t(got);
          process_input(*r, buf.data(), size_t(got), now_ns(), ep);
          if (size_t(got) < buf.size()) break;
          continue;
        }
        if (got == 0) {
          r->dead = true;
          r->err = "server closed receiver connection " + std::to_string(r->idx);
        } else if (got == IO_ERROR) {
          r->dead = true;
          r->err = "receiver " + std::to_string(r->idx) + ": " + r->c.err;
        }
        break;
      }
      if (r->dead) {
        epoll_ctl(ep, EPOLL_CTL_DEL, r->c.fd, nullptr);
        b->fail(r->err);
        continue;
      }
      if (size_t(got) == buf.size() || r->c.has_buffered()) r->more = true;
      if (r->c.want_write != r->out_armed) {
        // A TLS read that needs the socket writable (rare) waits for EPOLLOUT.
        epoll_event ev{};
        ev.events = uint32_t(EPOLLIN) | (r->c.want_write ? uint32_t(EPOLLOUT) : 0u);
        ev.data.ptr = r;
        epoll_ctl(ep, EPOLL_CTL_MOD, r->c.fd, &ev);
        r->out_armed = r->c.want_write;
      }
    }
  }
  close(ep);
}

// --- send side ----------------------------------------------------------------

void arm_timer(int tfd, uint64_t first_abs_ns, uint64_t interval_ns) {
  itimerspec its{};
  if (interval_ns) {
    its.it_value.tv_sec = time_t(first_abs_ns / 1'000'000'000ull);
    its.it_value.tv_nsec = long(first_abs_ns % 1'000'000'000ull);
    if (!its.it_value.tv_sec && !its.it_value.tv_nsec) its.it_value.tv_nsec = 1;
    its.it_interval.tv_sec = time_t(interval_ns / 1'000'000'000ull);
    its.it_interval.tv_nsec = long(interval_ns % 1'000'000'000ull);
  }
  timerfd_settime(tfd, TFD_TIMER_ABSTIME, &its, nullptr);
}

void sender_thread(Sender* s) {
  Bench& b = *s->b;
  const Options& o = b.o;
  const bool ws = kind_ws(o.kind);
  const uint32_t msg_len = uint32_t(o.size);
  const size_t fsize = msg_len + (ws ? ws_client_header_size(msg_len) : 0);
  const size_t batch_max_msgs = std::max<size_t>(1, k_batch_bytes / fsize);
  const uint64_t interval = o.rate > 0 ? std::max<uint64_t>(1, uint64_t(1e9 / o.rate)) : 0;

  std::vector<uint8_t> out(batch_max_msgs * fsize + 256);
  std::vector<uint8_t> rx(k_read_buffer);
  size_t out_len = 0, out_off = 0, batch_msg_start = 0;
  uint64_t batch_n = 0;  // measured messages in the current batch
  WsIn wsin;
  uint8_t pong_payload[125];
  uint32_t pong_n = 0;
  bool pong_pending = false;
  uint64_t built = 0;

  int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  bool ramp_due = true;
  int mode = 0;  // 0 ramp, 1 measured sending, 2 finished: drain only
  arm_timer(tfd, now_ns() + k_ramp_interval_ns, k_ramp_interval_ns);

  auto written_msgs = [&]() -> uint64_t {
    if (out_off <= batch_msg_start) return 0;
    return std::min<uint64_t>(batch_n, (out_off - batch_msg_start) / fsize);
  };
  auto append_frame_header = [&](uint32_t len) {
    if (ws) out_len += ws_client_header(out.data() + out_len, 0x02, len, s->key);
  };
  // Ends the measured sending; after that only errors are recorded (main
  // may already be reading `sent`).
  auto finish = [&](int st, const std::string& e) {
    if (mode != 2) s->sent += written_msgs();
    batch_n = 0;
    out_len = out_off = 0;
    if (!e.empty()) {
      s->err = e;
      b.fail(e);
    }
    s->state.store(st, std::memory_order_release);
    mode = 2;
  };

  while (true) {
    int ph = b.phase.load(std::memory_order_acquire);
    if (ph == PH_DONE) break;
    if (mode == 0 && ph == PH_MEASURE) {
      mode = 1;
      arm_timer(tfd, b.start_ns.load(), interval);
    }
    uint64_t now = now_ns();
    if (mode == 1 && out_off == out_len) {
      s->sent += batch_n;
      batch_n = 0;
      out_len = out_off = 0;
    }
    if (out_off == out_len) {
      out_len = out_off = 0;
      if (pong_pending && ws) {
        uint8_t* p = out.data();
        // A control payload is at most 125 bytes; said here for the compiler.
        const uint32_t n = pong_n < sizeof pong_payload ? pong_n : uint32_t(sizeof pong_payload);
        size_t h = ws_client_header(p, 0x0A, n, s->key);
        memcpy(p + h, pong_payload, n);
        g_mask(p + h, p + h, n, s->key, 0);
        out_len = h + n;
        pong_pending = false;
      }
      batch_msg_start = out_len;
      if (mode == 0 && ramp_due) {
        append_frame_header(uint32_t(k_header));
        size_t m = out_len;
        build_message(out.data() + m, uint32_t(k_header), s->id, k_ramp_bit | s->ramp_sent++, now);
        out_len = m + k_header;
        if (ws) g_mask(out.data() + m, out.data() + m, k_header, s->key, 0);
        ramp_due = false;
      } else if (mode == 1) {
        if (now >= b.stop_ns.load(std::memory_order_relaxed)) {
          finish(1, "");
          continue;
        }
        uint64_t n = batch_max_msgs;
        if (interval) {
          uint64_t start = b.start_ns.load(std::memory_order_relaxed);
          uint64_t due = now >= start ? (now - start) / interval + 1 : 0;
          n = due > built ? std::min<uint64_t>(due - built, batch_max_msgs) : 0;
        }
        if (n) {
          // Publish the new upper bound before the bytes can reach anyone.
          s->built.store(built + n, std::memory_order_release);
          for (uint64_t k = 0; k < n; ++k) {
            append_frame_header(msg_len);
            uint8_t* m = out.data() + out_len;
            build_message(m, msg_len, s->id, built + k, now);
            if (ws) g_mask(m, m, msg_len, s->key, 0);
            out_len += msg_len;
          }
          built += n;
          batch_n = n;
        }
      }
    }
    if (mode == 1 && out_off < out_len && now >= b.give_up_ns.load(std::memory_order_relaxed)) {
      finish(1, "sender " + std::to_string(s->id) +
                    " could not write its last messages before the drain time-out");
      continue;
    }

    bool progress = false;
    if (out_off < out_len) {
      long w = s->c.wr(out.data() + out_off, out_len - out_off);
      if (w > 0) {
        out_off += size_t(w);
        progress = true;
      } else if (w == IO_ERROR) {
        finish(2, "sender " + std::to_string(s->id) + ": " + s->c.err);
        break;
      }
    }
    bool drained_full = false;
    bool failed = false;
    for (int k = 0; k < 4; ++k) {
      long r = s->c.rd(rx.data(), rx.size());
      if (r > 0) {
        progress = true;
        if (ws) {
          wsin.feed(
              rx.data(), size_t(r), [](const uint8_t*, size_t) {},
              [&](const uint8_t* d, uint32_t dn) {
                pong_n = dn < sizeof pong_payload ? dn : uint32_t(sizeof pong_payload);
                memcpy(pong_payload, d, pong_n);
                pong_pending = true;
              });
          if (wsin.closed || wsin.bad) {
            finish(2, "sender " + std::to_string(s->id) +
                          (wsin.closed ? ": server sent a WebSocket close frame"
                                       : ": malformed WebSocket frame"));
            failed = true;
            break;
          }
        }
        if (size_t(r) < rx.size()) break;
        drained_full = true;
        continue;
      }
      if (r == 0 || r == IO_ERROR) {
        finish(2, "sender " + std::to_string(s->id) + ": " +
                      (r == 0 ? std::string("server closed the connection") : s->c.err));
        failed = true;
      }
      drained_full = false;
      break;
    }
    if (failed) break;
    if (progress || drained_full || s->c.has_buffered()) continue;

    pollfd pf[3];
    pf[0].fd = s->c.fd;
    pf[0].events = short(POLLIN | ((out_off < out_len || s->c.want_write) ? POLLOUT : 0));
    pf[1].fd = tfd;
    pf[1].events = POLLIN;
    pf[2].fd = s->wake_fd;
    pf[2].events = POLLIN;
    int timeout_ms = 20;
    if (mode == 1) {
      uint64_t stop = b.stop_ns.load(std::memory_order_relaxed);
      uint64_t t = now_ns();
      if (stop > t)
        timeout_ms = int(std::min<uint64_t>(20, (stop - t) / 1'000'000 + 1));
      else
        timeout_ms = 1;
    }
    int pr = poll(pf, 3, timeout_ms);
    if (pr > 0) {
      uint64_t v;
      if ((pf[1].revents & POLLIN) && read(tfd, &v, 8) == 8 && mode == 0) ramp_due = true;
      if ((pf[2].revents & POLLIN) && read(s->wake_fd, &v, 8) < 0) {
      }
    }
  }
  if (s->state.load() == 0) finish(1, "");
  close(tfd);
}

// --- output ---------------------------------------------------------------------

std::string json_escape(const std::string& s) {
  std::string out;
  for (unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += char(ch);
    } else if (ch < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", ch);
      out += buf;
    } else {
      out += char(ch);
    }
  }
  return out;
}

double rusage_cpu_s() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return double(ru.ru_utime.tv_sec) + double(ru.ru_utime.tv_usec) / 1e6 + double(ru.ru_stime.tv_sec) +
         double(ru.ru_stime.tv_usec) / 1e6;
}

struct Results {
  bool ramp_ok = false;
  double ramp_ms = 0, drain_ms = 0, cpu_pct = 0;
  uint64_t sent = 0, delivered = 0, window_msgs = 0, window_bytes = 0;
  uint64_t lost = 0, duplicated = 0, reordered = 0, corrupted = 0;
  Hist hist;
  std::string error;
  int recv_threads = 0;
};

void print_json(const Options& o, const Results& r) {
  double dur = o.duration;
  double p50 = double(r.hist.percentile(0.50)) / 1000.0, p99 = double(r.hist.percentile(0.99)) / 1000.0;
  double pmax = double(r.hist.max) / 1000.0;
  double mean = r.hist.n ? double(r.hist.sum) / double(r.hist.n) / 1000.0 : 0;
  std::string host = json_escape(o.host.substr(0, 200)), error = json_escape(r.error.substr(0, 400));
  bool ok = r.ramp_ok && r.error.empty() && r.lost + r.duplicated + r.reordered + r.corrupted == 0;
  char buf[4096];
  snprintf(
      buf, sizeof buf,
      "{\"kind\":\"%s\",\"host\":\"%s\",\"port\":%ld,\"recv_port\":%ld,\"senders\":%ld,\"receivers\":%ld,"
      "\"size\":%ld,"
      "\"duration_s\":%.3f,\"warmup_s\":%.3f,\"rate\":%.3f,"
      "\"delivered_mb_s\":%.3f,\"deliveries_s\":%.1f,\"sent_msgs\":%llu,\"delivered_msgs\":%llu,"
      "\"window_msgs\":%llu,\"lat_p50_us\":%.1f,\"lat_p99_us\":%.1f,\"lat_max_us\":%.1f,\"lat_mean_us\":%.1f,"
      "\"lat_samples\":%llu,\"cpu_pct\":%.1f,\"recv_threads\":%d,\"ramp_ms\":%.1f,\"drain_ms\":%.1f,"
      "\"lost\":%llu,\"duplicated\":%llu,\"reordered\":%llu,\"corrupted\":%llu,\"ok\":%s,\"error\":\"%s\"}",
      kind_name(o.kind), host.c_str(), o.port, o.recv_port ? o.recv_port : o.port, o.senders, o.receivers,
      o.size, dur, o.warmup, o.rate, double(r.window_bytes) / dur / 1e6, double(r.window_msgs) / dur,
      (unsigned long long)r.sent, (unsigned long long)r.delivered, (unsigned long long)r.window_msgs, p50,
      p99, pmax, mean, (unsigned long long)r.hist.n, r.cpu_pct, r.recv_threads, r.ramp_ms, r.drain_ms,
      (unsigned long long)r.lost, (unsigned long long)r.duplicated, (unsigned long long)r.reordered,
      (unsigned long long)r.corrupted, ok ? "true" : "false", error.c_str());
  wprintf(L"%s\n", buf);
  fflush(stdout);
}

void print_summary(const Options& o, const Results& r) {
  double dur = o.duration;
  wprintf(L":: sent %llu msgs, delivered %llu (%llu in the %.3f s window)\n", (unsigned long long)r.sent,
          (unsigned long long)r.delivered, (unsigned long long)r.window_msgs, dur);
  wprintf(L":: throughput %.3f MB/s delivered, %.1f deliveries/s; generator cpu %.1f %%\n",
          double(r.window_bytes) / dur / 1e6, double(r.window_msgs) / dur, r.cpu_pct);
  wprintf(L":: latency p50 %.1f us, p99 %.1f us, max %.1f us (%llu samples)\n",
          double(r.hist.percentile(0.5)) / 1000.0, double(r.hist.percentile(0.99)) / 1000.0,
          double(r.hist.max) / 1000.0, (unsigned long long)r.hist.n);
  wprintf(L":: integrity lost %llu, duplicated %llu, reordered %llu, corrupted %llu\n",
          (unsigned long long)r.lost, (unsigned long long)r.duplicated, (unsigned long long)r.reordered,
          (unsigned long long)r.corrupted);
  if (!r.error.empty()) wprintf(L"!! %s\n", r.error.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  for (size_t i = 0; i < sizeof g_pattern; ++i)
    g_pattern[i] = uint8_t(i);

  Bench bench;
  Options& o = bench.o;
  Results res;
  std::string perr = parse_options(argc, argv, o);
  if (perr == "help") {
    usage(argv[0]);
    return 0;
  }
  if (!perr.empty()) {
    fwprintf(stderr, L"relay-bench: %s\n", perr.c_str());
    usage(argv[0]);
    res.error = "usage: " + perr;
    print_json(o, res);
    return 2;
  }
  res.recv_threads = int(o.recv_threads ? o.recv_threads : 1);
  if (o.nap_us < 0) o.nap_us = o.rate > 0 ? 0 : 50;
  if (res.recv_threads > o.receivers) res.recv_threads = int(o.receivers);

  char rate_text[64] = "max";
  if (o.rate > 0) snprintf(rate_text, sizeof rate_text, "%g msgs/s per sender", o.rate);
  wprintf(
      L":: relay-bench %s %s:%ld  senders %ld  receivers %ld  size %ld  duration %g s  warm-up %g s  rate "
      L"%s\n",
      kind_name(o.kind), o.host.c_str(), o.port, o.senders, o.receivers, o.size, o.duration, o.warmup,
      rate_text);

  if (kind_tls(o.kind)) {
    g_ssl_ctx = SSL_CTX_new(TLS_client_method());
    if (!g_ssl_ctx) {
      res.error = "SSL_CTX_new failed";
      print_json(o, res);
      return 1;
    }
    SSL_CTX_set_verify(g_ssl_ctx, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_min_proto_version(g_ssl_ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(g_ssl_ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!o.tls13_suites.empty() && SSL_CTX_set_ciphersuites(g_ssl_ctx, o.tls13_suites.c_str()) != 1) {
      res.error = "bad --tls13-suites: " + o.tls13_suites;
      print_json(o, res);
      return 2;
    }
  }

  auto fail_exit = [&](const std::string& e) {
    res.error = e;
    bench.phase.store(PH_DONE);
    bench.wake_senders();
    for (auto& s : bench.senders)
      if (s->th.joinable()) s->th.join();
    wprintf(L"!! %s\n", e.c_str());
    print_json(o, res);
    for (auto& s : bench.senders)
      if (s->wake_fd >= 0) close(s->wake_fd);
    return 1;
  };

  sockaddr_in sa{};
  std::string rerr;
  if (!resolve(o, o.port, sa, rerr)) return fail_exit(rerr);
  sockaddr_in sa_recv = sa;
  if (o.recv_port && !resolve(o, o.recv_port, sa_recv, rerr)) return fail_exit(rerr);

  // Receivers first, so that they are ready before anything is sent.
  for (long i = 0; i < o.receivers; ++i) {
    auto r = std::make_unique<Receiver>();
    r->b = &bench;
    r->idx = uint32_t(i);
    r->pairs.resize(size_t(o.senders));
    r->seen.assign(size_t(o.senders), 0);
    if (!open_conn(r->c, o, sa_recv)) return fail_exit("receiver " + std::to_string(i) + ": " + r->c.err);
    bench.receivers.push_back(std::move(r));
  }
  for (long i = 0; i < o.senders; ++i) {
    auto s = std::make_unique<Sender>();
    s->b = &bench;
    s->id = uint32_t(i);
    if (getrandom(s->key, 4, 0) != 4) return fail_exit("getrandom failed");
    s->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!open_conn(s->c, o, sa)) return fail_exit("sender " + std::to_string(i) + ": " + s->c.err);
    if (!s->c.early.empty()) s->c.early.clear();  // nothing a sender receives is checked
    bench.senders.push_back(std::move(s));
  }
  wprintf(L":: connected %ld receivers and %ld senders\n", o.receivers, o.senders);
  fflush(stdout);

  // Start the threads and ramp up until every receiver hears every sender.
  std::vector<std::thread> rthreads;
  for (int t = 0; t < res.recv_threads; ++t) {
    std::vector<Receiver*> list;
    for (size_t i = size_t(t); i < bench.receivers.size(); i += size_t(res.recv_threads))
      list.push_back(bench.receivers[i].get());
    rthreads.emplace_back(receiver_thread, &bench, list);
  }
  uint64_t ramp_start = now_ns();
  bench.phase.store(PH_RAMP, std::memory_order_release);
  for (auto& s : bench.senders)
    s->th = std::thread(sender_thread, s.get());

  auto stop_all = [&]() {
    bench.phase.store(PH_DONE, std::memory_order_release);
    bench.wake_senders();
    for (auto& s : bench.senders)
      if (s->th.joinable()) s->th.join();
    for (auto& t : rthreads)
      t.join();
    for (auto& s : bench.senders)
      close(s->wake_fd);
  };

  uint64_t ramp_deadline = ramp_start + uint64_t(o.ramp_timeout * 1e9);
  for (;;) {
    bool all = true;
    for (auto& r : bench.receivers)
      if (r->seen_count.load(std::memory_order_acquire) < uint32_t(o.senders)) all = false;
    if (all) break;
    if (bench.fatal.load() || now_ns() >= ramp_deadline) {
      uint64_t pairs = 0;
      for (auto& r : bench.receivers)
        pairs += r->seen_count.load();
      std::string e;
      {
        std::lock_guard<std::mutex> g(bench.err_mu);
        e = bench.first_err;
      }
      if (e.empty())
        e = "ramp timed out: " + std::to_string(pairs) + " of " + std::to_string(o.receivers * o.senders) +
            " receiver/sender pairs connected";
      else
        e = "ramp failed: " + e;
      stop_all();
      res.error = e;
      wprintf(L"!! %s\n", e.c_str());
      print_json(o, res);
      return 1;
    }
    usleep(2000);
  }
  res.ramp_ok = true;
  res.ramp_ms = double(now_ns() - ramp_start) / 1e6;
  wprintf(L":: ramp done in %.1f ms\n", res.ramp_ms);
  fflush(stdout);

  // Measured phase: warm-up, then the window, then drain.
  uint64_t start = now_ns();
  uint64_t w0 = start + uint64_t(o.warmup * 1e9);
  uint64_t w1 = w0 + uint64_t(o.duration * 1e9);
  uint64_t give_up = w1 + uint64_t(o.drain_timeout * 1e9);
  bench.start_ns.store(start);
  bench.w0.store(w0);
  bench.w1.store(w1);
  bench.stop_ns.store(w1);
  bench.give_up_ns.store(give_up);
  bench.phase.store(PH_MEASURE, std::memory_order_release);
  bench.wake_senders();

  sleep_until_ns(w0);
  double cpu0 = rusage_cpu_s();
  uint64_t t0 = now_ns();
  sleep_until_ns(w1);
  double cpu1 = rusage_cpu_s();
  uint64_t t1 = now_ns();
  res.cpu_pct = t1 > t0 ? (cpu1 - cpu0) / (double(t1 - t0) / 1e9) * 100.0 : 0;

  // Wait until every sender has written its last message, then until the
  // receivers have accounted for all of them (or the drain time-out).
  for (;;) {
    bool all = true;
    for (auto& s : bench.senders)
      if (s->state.load(std::memory_order_acquire) == 0) all = false;
    if (all || now_ns() >= give_up + 1'000'000'000ull) break;
    usleep(1000);
  }
  uint64_t expected = 0;
  for (auto& s : bench.senders)
    if (s->state.load(std::memory_order_acquire) != 0) expected += s->sent;
  for (;;) {
    bool all = true;
    for (auto& r : bench.receivers)
      if (!r->dead && r->accounted.load(std::memory_order_relaxed) < expected) all = false;
    if (all || now_ns() >= give_up) break;
    usleep(1000);
  }
  res.drain_ms = double(now_ns() - w1) / 1e6;
  stop_all();

  for (auto& s : bench.senders)
    res.sent += s->sent;
  for (auto& r : bench.receivers) {
    for (size_t s = 0; s < r->pairs.size(); ++s) {
      const PairState& p = r->pairs[s];
      res.lost += p.lost(bench.senders[s]->sent);
      res.duplicated += p.duplicated;
      res.reordered += p.reordered;
      if (p.overflow && res.error.empty())
        res.error = "too many gaps to track: lost/reordered are approximate";
    }
    res.corrupted += r->corrupted;
    res.delivered += r->delivered;
    res.window_msgs += r->window_msgs;
    res.window_bytes += r->window_bytes;
    res.hist.merge(r->hist);
  }
  {
    std::lock_guard<std::mutex> g(bench.err_mu);
    if (!bench.first_err.empty()) res.error = bench.first_err;
  }
  print_summary(o, res);
  print_json(o, res);
  if (g_ssl_ctx) SSL_CTX_free(g_ssl_ctx);
  return 0;
}
