#pragma once
// One client connection of the bridge, plain TCP or TLS over it: the hub
// link and the Redis links use the same code to connect, verify, read and
// write, so that Redis gets TLS although hiredis 0.14 has none (only its
// reply reader is used, fed from here).
//
// Threading: an instance belongs to the thread of its link; nothing in it
// is shared.

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"

// Results of G_CONN::read and G_CONN::write besides a byte count (> 0).
enum CONN_IO_E : int64_t {
  CONN_EOF = 0,
  CONN_AGAIN_READ = -1,   // wait until the socket is readable
  CONN_AGAIN_WRITE = -2,  // wait until the socket is writable
  CONN_ERROR = -3,        // why_io() says what failed
};

// A TLS client context: TLS 1.2 or newer; with ca_file the peer's
// certificate must chain to it; with cert_file (and key_file, or the key in
// the same file) a client certificate is offered. nullptr with why set.
SSL_CTX* conn_tls_context(const char* ca_file, const char* cert_file, const char* key_file, char* why,
                          size_t why_size);

class G_CONN {
 public:
  static constexpr size_t WHY_SIZE = 256;

  G_CONN() = default;
  ~G_CONN();
  G_CONN(const G_CONN&) = delete;
  G_CONN& operator=(const G_CONN&) = delete;

  // TCP to the first address of host that takes the connection, then TLS
  // when ctx is not null (SNI for a name; with verify_name the certificate
  // must be valid for host, a name or an address). Every wait ends at
  // deadline_ms, at stop, or is cut short by wake. BRIDGE_OK, BRIDGE_FAIL
  // (why says), or BRIDGE_STOP.
  int open(const char* host, uint16_t port, SSL_CTX* ctx, bool verify_name, uint64_t deadline_ms,
           G_WAKE& wake, const std::atomic<bool>& stop);
  // Until the socket is ready for events (or failed): BRIDGE_OK; the
  // deadline passed: BRIDGE_FAIL; stop: BRIDGE_STOP.
  int wait(short events, uint64_t deadline_ms, G_WAKE& wake, const std::atomic<bool>& stop);
  // A byte count, or one of CONN_IO_E.
  int64_t read(char* buf, size_t n);
  int64_t write(const char* buf, size_t n);
  // why = "what: <the last read or write failure>".
  void why_io(const char* what);
  // Sends a TLS close_notify if it can go at once.
  void shutdown_tls();
  void close();
  bool is_open() const { return so >= 0; }

  int so = -1;
  SSL* p_ssl = nullptr;
  char why[WHY_SIZE] = {};

 private:
  // TCP to the first address of host that takes it. As open.
  int connect_tcp(const char* host, uint16_t port, uint64_t deadline_ms, G_WAKE& wake,
                  const std::atomic<bool>& stop);
  // No delay for small writes; keep-alive probes find a peer host that
  // vanished without a word.
  void keep_alive();
  // The TLS handshake over the connected socket. As open.
  int start_tls(SSL_CTX* ctx, const char* host, bool verify_name, uint64_t deadline_ms, G_WAKE& wake,
                const std::atomic<bool>& stop);
  int64_t ssl_failed(int r);
  int io_errno = 0;
  unsigned long io_ssl_error = 0;
};
