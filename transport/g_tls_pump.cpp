// TLS record pump: OpenSSL never touches the socket. Ciphertext is moved by
// hand between the socket and the session's two memory BIOs, by the two
// handshakes, the TLS read and write paths and the drain inside send_raw.
#include "transport/g_tls.hpp"
#include "transport/g_tls_bio.hpp"
#include "transport/g_tls_guard.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <poll.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/buffer.h>
#include <openssl/err.h>

namespace {

constexpr size_t READ_BIO_MIN = 17408;   // room for one full record
constexpr size_t WRITE_CHUNK = 0x30000;  // plaintext per SSL_write
constexpr size_t KEEP_MAX = 1024;        // late records kept for the next chunk
constexpr size_t DRAIN_STEP = 1536;      // socket bytes per drain step

int to_int(size_t n) {
  return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// Moves every byte that the session wrote into its write BIO to the socket
// through send_raw, p_size bytes at a time. Returns the number of bytes moved,
// or G_TLS_FAIL when a send failed.
int64_t flush_handshake(g_tls_t* t, BIO* wbio, char* p, size_t p_size) {
  int64_t moved = 0;
  for (;;) {
    const int k = BIO_read(wbio, p, to_int(p_size));
    if (k <= 0) return moved;
    if (t->send_raw(p, static_cast<size_t>(k)) <= 0) return G_TLS_FAIL;
    moved += k;
  }
}

}  // namespace

int64_t g_tls_t::pump_failed(int why) {
  err_tls = why;
  return G_TLS_FAIL;
}

// ---------------------------------------------------------------------------
// handshakes

int g_tls_t::accept() {
  return handshake(G_TLS_MODE_SERVER);
}

int g_tls_t::connect() {
  return handshake(G_TLS_MODE_CLIENT);
}

int g_tls_t::handshake(G_TLS_MODE_E mode) {
  const bool server = mode != G_TLS_MODE_CLIENT;
  session_ref ref(*this);
  if (!ref.held()) return static_cast<int>(pump_failed(G_TLS_ERR_GONE));
  if (p_recv == nullptr || p_recv_size == 0) {
    wprintf(L"p_recv or p_recv_size not set\n");
    return static_cast<int>(pump_failed(G_TLS_ERR_GONE));
  }
  SSL* s = ref.get();
  BIO* rbio = SSL_get_rbio(s);
  BIO* wbio = SSL_get_wbio(s);
  // The server begins with the peer's ClientHello; the client speaks first
  // and reads only after each of its flights has gone out.
  bool read_first = server;
  while (SSL_is_init_finished(s) == 0) {
    if (!ref.current()) return static_cast<int>(pump_failed(G_TLS_ERR_GONE));
    if (read_first) {
      const int64_t n = read_socket(p_recv, p_recv_size);
      if (n <= 0) return static_cast<int>(pump_failed(ref.current() ? G_TLS_ERR_SOCKET : G_TLS_ERR_GONE));
      const int c = BIO_write(rbio, p_recv, to_int(static_cast<size_t>(n)));
      if (c <= 0) return static_cast<int>(pump_failed(SSL_get_error(s, c)));
    }
    read_first = true;

    ERR_clear_error();
    const int step = server ? SSL_accept(s) : SSL_connect(s);
    const int e = step == 1 ? SSL_ERROR_NONE : SSL_get_error(s, step);
    if (e != SSL_ERROR_NONE && e != SSL_ERROR_WANT_READ) return static_cast<int>(pump_failed(e));
    // A flight (the server's first carries the certificate chain) may be
    // larger than p_recv: all of it goes out before the next read.
    if (flush_handshake(this, wbio, p_recv, p_recv_size) < 0)
      return static_cast<int>(pump_failed(G_TLS_ERR_GONE));
    // Complete, and its last output has been sent.
    if (step == 1) {
      err_tls = SSL_ERROR_NONE;
      return G_TLS_OK;
    }
    err_tls = e;
  }
  // A handshake that had finished before this call: nothing was done.
  return static_cast<int>(pump_failed(G_TLS_ERR_GONE));
}

// ---------------------------------------------------------------------------
// TLS read

int64_t g_tls_t::recv_tls(char* buf, size_t size) {
  // The receive thread reads the socket and the read BIO from here on: the
  // drain keeps out (set before the lock is taken).
  reading_mark reading(*this);
  parked = 0;
  session_lock sl(*this);
  // No session (any more): a TLS connection's ciphertext is nobody's
  // plaintext.
  if (!sl.ready()) return pump_failed(G_TLS_ERR_GONE);
  if (size == 0) return 0;
  SSL* s = sl.ref.get();
  BIO* rbio = SSL_get_rbio(s);
  size_t got = 0;

  for (;;) {
    if (!sl.ref.current()) return got > 0 ? static_cast<int64_t>(got) : pump_failed(G_TLS_ERR_GONE);
    ERR_clear_error();
    const int r = SSL_read(s, buf + got, to_int(size - got));
    if (r > 0) {
      got += static_cast<size_t>(r);
      if (got == size) return static_cast<int64_t>(got);
      continue;
    }
    if (got > 0) return static_cast<int64_t>(got);
    const int e = SSL_get_error(s, r);
    if (e == SSL_ERROR_ZERO_RETURN) {
      err_tls = e;  // the peer's close_notify: the end of the stream
      return 0;
    }
    if (e != SSL_ERROR_WANT_READ) return pump_failed(e);

    // Nothing decrypted yet: receive ciphertext straight into the read BIO's
    // own buffer, with room for a whole record and for as much as the
    // caller can take; without it, into the caller's buffer and copied in.
    size_t room = 0;
    char* target = g_tls_bio_room(rbio, std::max(READ_BIO_MIN, size - got), &room);
    const bool direct = target != nullptr;
    if (!direct) {
      target = buf + got;
      room = size - got;
    }
    sl.lock.release();
    const int64_t n = read_socket(target, room);
    if (n <= 0) {
      if (!sl.ref.current()) return pump_failed(G_TLS_ERR_GONE);
      err_tls = G_TLS_ERR_SOCKET;
      return n == 0 ? 0 : G_TLS_FAIL;  // TCP's end is the stream's end
    }
    if (!sl.lock.acquire() || !sl.ref.current()) return pump_failed(G_TLS_ERR_GONE);
    if (direct) {
      g_tls_bio_filled(rbio, static_cast<size_t>(n));
    } else {
      const int c = BIO_write(rbio, target, to_int(static_cast<size_t>(n)));
      if (c <= 0) return pump_failed(SSL_get_error(s, c));
    }
  }
}

// ---------------------------------------------------------------------------
// TLS write

int64_t g_tls_t::send_tls(const char* data, size_t len) {
  session_lock sl(*this);
  // No session (any more): never send a TLS connection's data in the clear.
  if (!sl.ready()) return pump_failed(G_TLS_ERR_GONE);
  if (len == 0) return 0;
  SSL* s = sl.ref.get();
  BIO* wbio = SSL_get_wbio(s);
  size_t done = 0;

  while (done < len) {
    if (!sl.ref.current()) return pump_failed(G_TLS_ERR_GONE);
    const size_t chunk = std::min(len - done, WRITE_CHUNK);
    size_t w = 0;
    ERR_clear_error();
    const int ok = SSL_write_ex(s, data + done, chunk, &w);
    if (ok != 1) return pump_failed(SSL_get_error(s, ok));
    done += w;
    const bool last_chunk = done == len;

    // Flush. The buffer being sent is taken out of the BIO and replaced by
    // an empty one, so records that the receive thread (or the drain) adds
    // meanwhile land elsewhere and never move the bytes in flight.
    for (;;) {
      size_t pending = 0;
      (void)g_tls_bio_data(wbio, &pending);
      if (pending == 0) break;
      BUF_MEM* bm = take_records(wbio);
      if (bm == nullptr) return pump_failed(G_TLS_ERR_GONE);

      sl.lock.release();
      err_tls = SSL_ERROR_NONE;
      const int64_t r = send_raw(bm->data, bm->length);
      const bool relocked = sl.lock.acquire();
      keep_spare(bm);
      if (r <= 0) {
        // A socket failure; a close_notify found by the drain stays visible.
        return pump_failed(err_tls.load() == SSL_ERROR_ZERO_RETURN ? SSL_ERROR_ZERO_RETURN
                                                                   : G_TLS_ERR_SOCKET);
      }
      if (!relocked) return pump_failed(G_TLS_ERR_GONE);
      // Records added while the lock was free go out now if this was the
      // last chunk or there are many; a few ride along with the next chunk.
      size_t more = 0;
      (void)g_tls_bio_data(wbio, &more);
      if (more == 0) break;
      if (!last_chunk && more <= KEEP_MAX) break;
    }
  }
  return static_cast<int64_t>(len);
}

BUF_MEM* g_tls_t::take_records(BIO* wbio) {
  BUF_MEM* fresh = spare_w.exchange(nullptr);
  if (fresh == nullptr) fresh = BUF_MEM_new();
  BUF_MEM* bm = g_tls_bio_take(wbio, fresh);
  if (bm == nullptr && fresh != nullptr) keep_spare(fresh);
  return bm;
}

void g_tls_t::keep_spare(BUF_MEM* bm) {
  if (bm == nullptr) return;
  bm->length = 0;
  BUF_MEM* old = spare_w.exchange(bm);
  if (old != nullptr) BUF_MEM_free(old);
}

// ---------------------------------------------------------------------------
// TLS write from the fan-out thread

namespace {

// The fan-out thread's own buffer for the records it encrypts for one
// receiver after another: sent at once and reused for the next, it stays in
// the cache, where each receiver's own buffers would not.
struct thread_records {
  BUF_MEM* bm = nullptr;
  ~thread_records() { BUF_MEM_free(bm); }
};
thread_local thread_records t_records;

}  // namespace

int64_t g_tls_t::send_tls_nowait(const char* data, size_t len) {
  if (len == 0 || len > WRITE_CHUNK) return G_TLS_FAIL;
  // Encrypt under the session and the lock; the records are written after
  // both are given back.
  BUF_MEM* bm = nullptr;
  {
    session_lock sl(*this);
    if (!sl.ready() || !sl.ref.current()) return G_TLS_FAIL;
    SSL* s = sl.ref.get();
    BIO* wbio = SSL_get_wbio(s);
    // The buffer the records are written into: the thread's own, put in
    // front of the session's (empty) one for this write, unless records
    // are waiting there already, which must leave first.
    size_t queued = 0;
    (void)g_tls_bio_data(wbio, &queued);
    BUF_MEM* target = queued == 0 ? t_records.bm : nullptr;
    if (target == nullptr)
      target = spare_w.exchange(nullptr);
    else
      t_records.bm = nullptr;
    if (target == nullptr) target = BUF_MEM_new();
    if (target == nullptr) return G_TLS_FAIL;
    BUF_MEM* own = nullptr;
    if (queued == 0) {
      own = g_tls_bio_take(wbio, target);
      if (own == nullptr) {
        keep_spare(target);
        return G_TLS_FAIL;
      }
    }
    size_t w = 0;
    ERR_clear_error();
    if (SSL_write_ex(s, data, len, &w) != 1) {
      // Nothing encrypted: the send thread does it all, and reports what
      // went wrong. Records queued before stay where they were.
      keep_spare(own != nullptr ? g_tls_bio_take(wbio, own) : target);
      return G_TLS_FAIL;
    }
    // The records (and any queued before them) are taken out in one piece
    // and the session's buffer put back, so that records added meanwhile
    // never move the bytes being written.
    bm = g_tls_bio_take(wbio, own != nullptr ? own : target);
    if (bm == nullptr) return static_cast<int64_t>(len);  // not our BIO (never so): they wait there
    if (bm->length == 0) {
      keep_spare(bm);
      return static_cast<int64_t>(len);
    }
  }

  // One non-blocking send of every record; stopping short means the socket
  // is full.
  const int64_t k = send_nowait(bm->data, bm->length);
  const size_t sent = k > 0 ? static_cast<size_t>(k) : 0;
  if (sent == bm->length) {
    bm->length = 0;
    if (t_records.bm == nullptr)
      t_records.bm = bm;
    else
      keep_spare(bm);
    return static_cast<int64_t>(len);
  }
  // The socket is full (or failing): the send thread writes the rest from
  // this same buffer and meets any error itself; the thread takes a spare
  // in its place.
  if (t_records.bm == nullptr) t_records.bm = spare_w.exchange(nullptr);
  pending_off = sent;
  pending_w.store(bm);
  return 0;
}

int64_t g_tls_t::send_pending() {
  BUF_MEM* bm = pending_w.exchange(nullptr);
  if (bm == nullptr) return 0;
  err_tls = SSL_ERROR_NONE;
  const int64_t r = send_raw(bm->data + pending_off, bm->length - pending_off);
  keep_spare(bm);
  if (r <= 0)
    return pump_failed(err_tls.load() == SSL_ERROR_ZERO_RETURN ? SSL_ERROR_ZERO_RETURN : G_TLS_ERR_SOCKET);
  return r;
}

// ---------------------------------------------------------------------------
// close_notify: the TLS end of a connection the hub closes itself

int g_tls_t::close_notify() {
  session_lock sl(*this);
  if (!sl.ready()) return G_TLS_FAIL;
  SSL* s = sl.ref.get();
  if (!SSL_is_init_finished(s)) return G_TLS_FAIL;
  ERR_clear_error();
  // Queues the alert in the write BIO behind any records still there; the
  // peer's answer is not waited for.
  (void)SSL_shutdown(s);
  BIO* wbio = SSL_get_wbio(s);
  char out[2048];
  for (;;) {
    if (!sl.ref.current()) return G_TLS_FAIL;
    const int n = BIO_read(wbio, out, static_cast<int>(sizeof out));
    if (n <= 0) return G_TLS_OK;
    sl.lock.release();
    if (send_raw(out, static_cast<size_t>(n)) <= 0 || !sl.lock.acquire()) return G_TLS_FAIL;
  }
}

// ---------------------------------------------------------------------------
// drain: the POLLIN branch of send_raw

int g_tls_t::drain(short* events) {
  if (b_reading.load()) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }
  session_lock sl(*this);
  if (!sl.ref.held()) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }
  if (!sl.lock.held()) return G_TLS_FAIL;
  // Tested again under the lock: a TLS read that started meanwhile owns the
  // socket and the read BIO's buffer now.
  if (b_reading.load()) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }
  if (!sl.ref.current()) return G_TLS_FAIL;
  const uint64_t before = parked.load();
  if (before >= parked_max) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }

  char buffer[DRAIN_STEP];
  const size_t want = static_cast<size_t>(std::min<uint64_t>(parked_max - before, DRAIN_STEP));
  // Non-blocking, so it may run under the lock; reading and appending in one
  // locked step keeps the drained bytes ahead of anything read later.
  const ssize_t n = sock_recv(buffer, want, MSG_DONTWAIT);
  if (n < 0) {
    // Nothing to read now is no failure; a broken socket is.
    if (errno == EAGAIN) return G_TLS_OK;
    return static_cast<int>(send_failed(errno));
  }
  if (n == 0) return static_cast<int>(send_failed(EPIPE));  // the peer closed its side

  SSL* s = sl.ref.get();
  BIO* rbio = SSL_get_rbio(s);
  const int c = BIO_write(rbio, buffer, static_cast<int>(n));
  size_t pending = 0;
  if (before != 0) {
    parked = before + static_cast<uint64_t>(c > 0 ? c : 0);
  } else {
    pending = BIO_ctrl_pending(rbio);
    parked = pending;
  }
  if (c != n) {
    sl.lock.release();
    wprintf(L"g_tls_t::send_raw write %zi  %zi  w %zu  so %i %i\n", static_cast<ssize_t>(n),
            static_cast<ssize_t>(c), static_cast<size_t>(parked.load()), so_attached.load(), so.load());
    return G_TLS_FAIL;
  }
  // The read BIO held nothing before: look whether the peer closed the TLS
  // session (close_notify). Not during a handshake, which the peek would drive.
  if (before == 0 && pending == static_cast<size_t>(c) && SSL_is_init_finished(s)) {
    ERR_clear_error();
    const int pk = SSL_peek(s, buffer, static_cast<int>(pending));
    if (pk <= 0) {
      const int e = SSL_get_error(s, pk);
      err_tls = e;
      if (e == SSL_ERROR_ZERO_RETURN) return static_cast<int>(send_failed(EPIPE));
    }
  }
  if (parked.load() >= parked_max) *events &= ~POLLIN;
  return G_TLS_OK;
}

// ---------------------------------------------------------------------------
// peek: the first bytes, left where the next recv finds them

int64_t g_tls_t::peek(char* buf, size_t size) {
  if (!b_tls.load()) {
    const int64_t deadline = setup_deadline_ms.load();
    if (deadline != 0 && now_ms() >= deadline) {
      err_recv = ETIMEDOUT;
      return G_TLS_FAIL;
    }
    const ssize_t r = sock_recv(buf, size, MSG_PEEK);
    if (r < 0) {
      err_recv = errno;
      return G_TLS_FAIL;
    }
    if (r == 0) err_recv = 0;
    return r;
  }
  reading_mark reading(*this);  // the drain must not feed the read BIO meanwhile
  session_lock sl(*this);
  if (!sl.ready()) return pump_failed(G_TLS_ERR_GONE);
  if (size == 0) return 0;
  SSL* s = sl.ref.get();
  BIO* rbio = SSL_get_rbio(s);
  for (;;) {
    if (!sl.ref.current()) return pump_failed(G_TLS_ERR_GONE);
    ERR_clear_error();
    const int r = SSL_peek(s, buf, to_int(size));
    if (r > 0) return r;
    const int e = SSL_get_error(s, r);
    if (e == SSL_ERROR_ZERO_RETURN) {
      err_tls = e;
      return 0;
    }
    if (e != SSL_ERROR_WANT_READ) return pump_failed(e);
    // Nothing decrypted yet: more ciphertext, read outside the lock.
    char cipher[2048];
    sl.lock.release();
    const int64_t n = read_socket(cipher, sizeof cipher);
    if (n <= 0) {
      if (!sl.ref.current()) return pump_failed(G_TLS_ERR_GONE);
      err_tls = G_TLS_ERR_SOCKET;
      return n == 0 ? 0 : G_TLS_FAIL;
    }
    if (!sl.lock.acquire() || !sl.ref.current()) return pump_failed(G_TLS_ERR_GONE);
    if (BIO_write(rbio, cipher, static_cast<int>(n)) != static_cast<int>(n))
      return pump_failed(G_TLS_ERR_GONE);
  }
}
