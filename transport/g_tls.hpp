// Per-connection byte transport: plain TCP or TLS driven through memory BIOs,
// plus the process-wide TLS contexts shared by every connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <poll.h>
#include <sys/types.h>

#include <openssl/ssl.h>

#include "support/g_event_sem.hpp"

enum G_TLS_MODE_E : int {
  G_TLS_MODE_SERVER = 1,
  G_TLS_MODE_CLIENT = 2,
};

enum G_TLS_MIN_BITS_EC_E : int {
  G_TLS_MIN_BITS_EC_256 = 0,
  G_TLS_MIN_BITS_EC_384 = 1,
  G_TLS_MIN_BITS_EC_448 = 2,
  G_TLS_MIN_BITS_EC_521 = 3,
};

// Results of the transport's int operations (attaching, detection, the
// handshakes, get_status, the drain). Byte-count operations return the count,
// with G_TLS_FAIL (or 0 at the end of the stream) when nothing was moved.
enum G_TLS_RESULT_E : int {
  G_TLS_OK = 0,      // done: attached, TLS recognised and handshaken, a session present
  G_TLS_FAIL = -1,   // refused or failed
  G_TLS_PLAIN = -2,  // no TLS: a plain connection, or none attached
};

// Values of err_tls besides the SSL_get_error codes.
enum G_TLS_ERR_E : int {
  G_TLS_ERR_SOCKET = 0,  // the socket read or write failed, or the peer closed TCP
  G_TLS_ERR_GONE = -1,   // the session was gone, or a BIO step failed
};

// Why a load_cer() left the identity it tried unusable.
enum G_TLS_CER_FAULT_E : int {
  G_TLS_CER_OK = 0,
  G_TLS_CER_MISSING = 1,          // the file does not exist
  G_TLS_CER_UNREADABLE = 2,       // it exists but cannot be read (cer_fault_errno says why)
  G_TLS_CER_NOT_CERTIFICATE = 3,  // read, but holds no PEM certificate chain
  G_TLS_CER_NO_KEY = 4,           // certificate fine, no usable private key
  G_TLS_CER_KEY_MISMATCH = 5,     // the key belongs to another certificate
  G_TLS_CER_NO_CONTEXT = 6,       // there is no context to load into
};

class g_tls_t {
 public:
  // ---- process-wide contexts (transport/g_tls_ctx.cpp) ----
  // The server context is replaced by a reload while connections are set
  // up: new_session reads it and takes its reference under ctx_mtx, and a
  // replacement swaps it under the same lock. Every other static is written
  // on the main thread only, at start-up, reload or teardown.
  static SSL_CTX* ctx_server;
  static SSL_CTX* ctx_client;
  static std::mutex ctx_mtx;
  static std::atomic<bool> server_valid;
  // End of validity of the server certificate in use, in seconds since the
  // epoch (0 = none loaded); read by the metrics.
  static std::atomic<int64_t> server_not_after;
  static bool client_valid;
  static bool cert_valid;
  static bool no_weak_ciphers;
  static bool show_errors;
  static G_TLS_MIN_BITS_EC_E min_bits_ec;
  static constexpr size_t PATH_SIZE = 65536;
  static char cer[PATH_SIZE];
  static char key[PATH_SIZE];
  static constexpr uint64_t MIN_BITS_EC_LENGTH = 4;
  static const char* const MIN_BITS_EC_ARR[MIN_BITS_EC_LENGTH];
  // Default identity files, read from the working directory.
  static const char* const PEM_FILE_1;
  static const char* const PEM_FILE_2;

  static int init_ctx(G_TLS_MODE_E mode);
  static int set_ciphers(bool no_weak);
  // The protocol floor, cipher lists, server preference and security level
  // on one context; the failure bits of set_ciphers' server side.
  static int apply_policy(SSL_CTX* ctx, const char* tls12, const char* tls13);
  static int set_min_bits_ec(G_TLS_MIN_BITS_EC_E e);
  static int set_min_bits_ec(const char* name);
  static int load_cer(G_TLS_MODE_E mode);
  static int load_cer(const char* tls_cer, const char* tls_key, G_TLS_MODE_E mode);
  // Outcome of the last load_cer(): the fault, and for a missing or
  // unreadable file the errno of the failed open or read. Written by
  // load_cer() on the main thread at start-up, like the other statics.
  static G_TLS_CER_FAULT_E cer_fault;
  static int cer_fault_errno;
  // Short text for a fault, such as "missing" or "unreadable (Permission
  // denied)", written into out (n wide characters, always terminated).
  // Returns the number of characters written.
  static int cer_fault_text(G_TLS_CER_FAULT_E fault, int err, wchar_t* out, size_t n);
  static bool check_host(const char* name, size_t len);
  static void free_ctx();
  // Reload of the server identity: a fresh server context with the current
  // policy, the files loaded into it in order as at start-up (a later usable
  // file replaces an earlier one); faults[i] and errnos[i] receive each
  // file's outcome. The context when at least one file gave a usable
  // identity, else null (nothing kept). Main thread.
  static SSL_CTX* build_server_ctx(const char* const* files, int n, G_TLS_CER_FAULT_E* faults, int* errnos);
  // Puts ctx in place of the server context and marks the server usable;
  // new sessions use it, sessions made from the old one keep it (each holds
  // a reference) and the old one is released with the last of them. Main
  // thread.
  static void replace_server_ctx(SSL_CTX* ctx);
  // The end of validity of a context's certificate in seconds since the
  // epoch, 0 when it has none.
  static int64_t not_after_of(SSL_CTX* ctx);

  // ---- per-connection state ----
  // Both the receive and the send thread read ssl and so while either may run
  // end_session, so both are atomics taken over by exchange.
  std::atomic<SSL*> ssl{nullptr};
  std::atomic<int64_t> ssl_refs{0};
  std::atomic<bool> b_reading{false};
  const uint64_t parked_max = 0x10000;
  std::atomic<uint64_t> parked{0};
  g_event_sem sem_bio;
  std::atomic<BIO*> bio_r{nullptr};
  std::atomic<BIO*> bio_w{nullptr};
  std::atomic<int> so_attached{-1};
  std::atomic<int> so{-1};
  // The connection was set up for TLS. Stays set until the next connection
  // is attached: once its session is gone its bytes never move in the clear.
  std::atomic<bool> b_tls{false};
  std::atomic<uint32_t> user_timeout_ms{0};
  std::atomic<bool> b_abort{false};
  std::atomic<int> err_recv{0};
  std::atomic<int> err_send{0};
  std::atomic<int> err_tls{0};
  char* p_recv = nullptr;
  uint64_t p_recv_size = 0;
  // Set-up deadline on the monotonic clock in milliseconds, 0 = none. While
  // one is set, no blocking read of the TLS handshake, the TLS peek or a
  // TLS read starts after it (err_recv ETIMEDOUT), so a client that drips
  // its handshake cannot hold a slot longer than the deadline plus one
  // receive time-out. Set and cleared by the receive thread (set_setup_budget).
  std::atomic<int64_t> setup_deadline_ms{0};
  // Deadline of blocking writes on the monotonic clock in milliseconds, 0 =
  // none: a write that the peer has not taken by then fails with err_send
  // ETIMEDOUT (the connection is then reset). The set-up budget sets it; in
  // the data phase the send thread sets it per batch (set_send_deadline).
  std::atomic<int64_t> send_deadline_ms{0};

  g_tls_t();
  ~g_tls_t();
  g_tls_t(const g_tls_t&) = delete;
  g_tls_t& operator=(const g_tls_t&) = delete;

  // ---- connection transport (transport/g_tls.cpp) ----
  // G_TLS_OK, or G_TLS_FAIL when so is -1.
  [[nodiscard]] int new_client_raw(int so);
  // G_TLS_OK or G_TLS_FAIL; no handshake.
  [[nodiscard]] int new_session(int so, G_TLS_MODE_E mode);
  [[nodiscard]] int new_server(int so);
  // new_session, then the client handshake: G_TLS_OK or G_TLS_FAIL.
  [[nodiscard]] int new_client(int so);
  // G_TLS_OK: TLS, handshake done; G_TLS_PLAIN: not TLS, attached as plain;
  // G_TLS_FAIL: so is -1, or TLS that could not be served.
  [[nodiscard]] int new_server_detect(int so);
  // G_TLS_OK while a TLS session is attached, else G_TLS_PLAIN.
  [[nodiscard]] int get_status() const;
  // Reads at most size bytes (blocking, up to the socket's receive
  // time-out): the count (> 0), 0 at the end of the stream (the peer's FIN,
  // or its close_notify), G_TLS_FAIL on a failure (err_recv holds the
  // errno of a socket failure, ETIMEDOUT past the set-up budget; err_tls
  // says what the TLS layer saw).
  [[nodiscard]] int64_t recv(char* buf, size_t size);
  // Writes all len bytes (blocking, up to send_deadline_ms): len, or
  // G_TLS_FAIL (err_send holds the errno, ETIMEDOUT past the deadline).
  [[nodiscard]] int64_t send(const char* data, size_t len);
  [[nodiscard]] int64_t send_raw(const char* data, size_t len);
  // One non-blocking write of a plain connection: bytes written, 0 when the
  // socket takes nothing now, G_TLS_FAIL on failure (errno kept). Never blocks.
  [[nodiscard]] int64_t send_nowait(const char* data, size_t len);
  void end_session();
  // Looks at the first bytes of the connection's data without consuming
  // them: MSG_PEEK on a plain socket, SSL_peek through the pump on a TLS
  // one (ciphertext read meanwhile stays in the session for the next recv).
  // Bytes placed in buf (> 0), or <= 0 when nothing came (time-out, close,
  // failure; err_recv / err_tls tell which). Detection and the WebSocket
  // handshake's first look both use it.
  [[nodiscard]] int64_t peek(char* buf, size_t size);
  // Ends the sending direction (TCP FIN) and keeps the socket for reading.
  void shutdown_send();
  // Ends the receiving direction: a read blocked on the other thread
  // returns the end of the stream; writing goes on.
  void shutdown_recv();
  // Sends the TLS close_notify (nothing without a session), blocking like
  // send(): G_TLS_OK, or G_TLS_FAIL.
  [[nodiscard]] int close_notify();
  // What became of the peer, from a look at the socket that never blocks
  // and consumes nothing: PEER_OPEN; PEER_DONE when it has closed its
  // sending side (what it sent is still to be read); PEER_GONE when it has
  // reset the connection or no socket is attached.
  enum PEER_E : int { PEER_OPEN = 0, PEER_DONE = 1, PEER_GONE = 2 };
  [[nodiscard]] int peer_state();
  // SO_RCVTIMEO of the attached socket; ms 0 = block without limit.
  // G_TLS_OK, or G_TLS_FAIL (no socket, or the option was refused).
  [[nodiscard]] int set_recv_timeout(unsigned ms);
  // Starts the set-up deadline `ms` milliseconds from now, for reads and
  // writes alike; 0 clears both.
  void set_setup_budget(uint32_t ms);
  // Sets send_deadline_ms (an absolute time from now_ms(); 0 = none).
  void set_send_deadline(int64_t at_ms);
  // The monotonic clock the deadlines are taken on, in milliseconds.
  static int64_t now_ms();

  // ---- TLS record pump (transport/g_tls_pump.cpp) ----
  // The two handshakes: G_TLS_OK when completed, else G_TLS_FAIL.
  [[nodiscard]] int accept();
  [[nodiscard]] int connect();
  [[nodiscard]] int64_t recv_tls(char* buf, size_t size);
  [[nodiscard]] int64_t send_tls(const char* data, size_t len);
  // Encrypts one message (one SSL_write_ex, records of up to 16 KiB) and
  // writes what the socket takes at once with one send, never blocking: len
  // when everything went out; 0 when ciphertext is left for send_pending (the
  // message is consumed); G_TLS_FAIL when nothing was done and the message is
  // to be sent with send(). The records are written into a buffer of the
  // calling thread's, reused for every receiver it serves.
  [[nodiscard]] int64_t send_tls_nowait(const char* data, size_t len);
  // Writes the ciphertext that send_tls_nowait left, blocking like send().
  [[nodiscard]] int64_t send_pending();
  bool has_pending() const { return pending_w.load() != nullptr; }
  // POLLIN branch of send_raw: drains the peer's bytes into the read BIO while
  // a write waits. May clear POLLIN in *events. G_TLS_OK = carry on,
  // G_TLS_FAIL = fail the write.
  [[nodiscard]] int drain(short* events);

 private:
  // Results of hold().
  enum HOLD_E : int {
    HOLD_HELD = 1,       // one more reference taken
    HOLD_NONE = 0,       // no session attached
    HOLD_RELEASED = -1,  // the session is being released (err_tls is then -1)
  };
  // Scoped forms of the protocols below: the session reference, the lock
  // sem_bio (released and re-taken around blocking socket calls), the use of
  // the live socket, and the b_reading flag. Every exit of a pump operation
  // gives back what it took, in the reverse order (lock, then reference).
  class session_ref;
  class bio_lock;
  class session_lock;
  class fd_use;
  class reading_mark;

  // Records why a pump operation failed (err_tls = why) and returns
  // G_TLS_FAIL: the one way out of a failed pump call. (0 is the end of
  // the stream only, and is returned as such.)
  int64_t pump_failed(int why);

  // Server (accept) or client (connect) handshake: both are one loop of
  // feeding the peer's bytes in, one handshake step and sending its output;
  // the client speaks first.
  int handshake(G_TLS_MODE_E mode);
  // Blocking socket read, not after the set-up deadline: the count, 0 at
  // the end of the stream, or G_TLS_FAIL with err_recv set.
  int64_t read_socket(char* buf, size_t size);
  // Records a failed write (err_send = err, b_abort) and returns G_TLS_FAIL.
  int64_t send_failed(int err);
  // Socket use protocol. Every socket call runs between use_fd() (the live
  // socket, counted as in use, or -1) and unuse_fd(). end_session shuts the
  // socket down at once but leaves the close to the last call still inside,
  // so a number is never closed under a call that may still use it, and a
  // call never reaches a number that was closed and handed out again.
  int use_fd();
  void unuse_fd(int fd);
  // The socket calls, each retried on EINTR here and nowhere else.
  ssize_t sock_recv(void* buf, size_t size, int flags);
  ssize_t sock_send(const void* data, size_t len, int flags);
  static int sock_poll(pollfd* p, int timeout_ms);
  // The error pending on a socket that poll reported as failed (SO_ERROR),
  // ECONNRESET when it has none of its own.
  static int pending_error(int fd);
  // Reference protocol. hold() takes one more reference on the attached
  // session and returns it in s (HOLD_E). drop() gives the reference back
  // and frees the session when it was the last one; drop(nullptr) does
  // nothing.
  [[nodiscard]] int hold(SSL*& s);
  void drop(SSL* s);
  // Frees a session that nobody holds any more.
  static void release_session(SSL* s);
  // Guards reading ssl together with taking a reference, and the hand-over of
  // a session's remaining references when end_session retires it, so that a
  // stale pointer can never be revived by a later session on this object.
  std::mutex ref_mtx;
  // Second write buffer: the write BIO's buffer is swapped for this one before
  // it is flushed, so records appended meanwhile never move the bytes being
  // sent. Buffers change hands between connections' transports and the
  // fan-out threads (send_tls_nowait writes records into the calling
  // thread's own buffer); each is owned by exactly one holder at a time.
  std::atomic<BUF_MEM*> spare_w{nullptr};
  // Empties a detached write buffer and keeps it as the spare.
  void keep_spare(BUF_MEM* bm);
  // Takes the records out of the write BIO, leaving the spare (or a new
  // buffer) in their place: the buffer holding them, or null when no buffer
  // could be had (nothing taken). Under the lock.
  BUF_MEM* take_records(BIO* wbio);
  // Ciphertext left by send_tls_nowait, from pending_off on, for send_pending.
  std::atomic<BUF_MEM*> pending_w{nullptr};
  size_t pending_off = 0;
  // Calls inside a socket call on the live `so` (guarded by ref_mtx).
  int so_users = 0;
  // Sockets already taken over by end_session whose close waits for the
  // calls still inside (guarded by ref_mtx).
  struct retired_fd {
    int fd;
    int users;
  };
  static constexpr int RETIRED_FD_MAX = 8;
  retired_fd fd_retired[RETIRED_FD_MAX] = {};
  // A free place in fd_retired, or null (guarded by ref_mtx).
  retired_fd* free_retired();
  // Signalled (under ref_mtx) whenever a retirement place frees or the live
  // socket's last call leaves: end_session waits on it when every place is
  // taken.
  std::condition_variable retired_cv;

  // Unit tests reach the socket use protocol through this.
  friend struct g_tls_test_access;
};
