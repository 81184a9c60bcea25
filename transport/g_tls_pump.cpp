// TLS record pump: OpenSSL never touches the socket. Ciphertext is moved by
// hand between the socket and the session's two memory BIOs, by the two
// handshakes, the TLS read and write paths and the drain inside send_raw.
#include "transport/g_tls.hpp"
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
constexpr size_t READ_BIO_SLACK = 2048;  // least free room before a direct read
constexpr size_t WRITE_CHUNK = 0x30000;  // plaintext per SSL_write
constexpr size_t KEEP_MAX = 1024;        // late records kept for the next chunk
constexpr size_t DRAIN_STEP = 1536;      // socket bytes per drain step

int to_int(size_t n)
{
  return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// Hands a (possibly moved or resized) buffer back to its memory BIO. The BIO
// must not free the buffer it gives up, because it is the same one.
void reattach(BIO* bio, BUF_MEM* bm)
{
  BIO_set_shutdown(bio, BIO_NOCLOSE);
  BIO_set_mem_buf(bio, bm, BIO_CLOSE);
}

// Moves every byte that the session wrote into its write BIO to the socket
// through send_raw, p_size bytes at a time. Returns the number of bytes moved,
// or G_TLS_FAIL when a send failed.
int64_t flush_handshake(g_tls_t* t, BIO* wbio, char* p, size_t p_size)
{
  int64_t moved = 0;
  for (;;) {
    const int k = BIO_read(wbio, p, to_int(p_size));
    if (k <= 0)
      return moved;
    if (t->send_raw(p, static_cast<size_t>(k)) <= 0)
      return G_TLS_FAIL;
    moved += k;
  }
}

}  // namespace

int64_t g_tls_t::pump_failed(int why)
{
  err_tls = why;
  return G_TLS_FAIL;
}

// ---------------------------------------------------------------------------
// handshakes

int g_tls_t::accept()
{
  return handshake(G_TLS_MODE_SERVER);
}

int g_tls_t::connect()
{
  return handshake(G_TLS_MODE_CLIENT);
}

int g_tls_t::handshake(G_TLS_MODE_E mode)
{
  const bool server = mode != G_TLS_MODE_CLIENT;
  session_ref ref(*this);
  if (!ref.held())
    return static_cast<int>(pump_failed(G_TLS_ERR_GONE));
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
    if (!ref.current())
      return static_cast<int>(pump_failed(G_TLS_ERR_GONE));
    if (read_first) {
      const int64_t n = read_socket(p_recv, p_recv_size);
      if (n <= 0)
        return static_cast<int>(pump_failed(ref.current() ? G_TLS_ERR_SOCKET : G_TLS_ERR_GONE));
      const int c = BIO_write(rbio, p_recv, to_int(static_cast<size_t>(n)));
      if (c <= 0)
        return static_cast<int>(pump_failed(SSL_get_error(s, c)));
    }
    read_first = true;

    ERR_clear_error();
    const int step = server ? SSL_accept(s) : SSL_connect(s);
    const int e = step == 1 ? SSL_ERROR_NONE : SSL_get_error(s, step);
    if (e != SSL_ERROR_NONE && e != SSL_ERROR_WANT_READ)
      return static_cast<int>(pump_failed(e));
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

int64_t g_tls_t::recv_tls(char* buf, size_t size)
{
  // The receive thread reads the socket and the read BIO from here on: the
  // drain keeps out (set before the lock is taken).
  reading_mark reading(*this);
  parked = 0;
  session_lock sl(*this);
  // No session (any more): a TLS connection's ciphertext is nobody's
  // plaintext.
  if (!sl.ready())
    return pump_failed(G_TLS_ERR_GONE);
  if (size == 0)
    return 0;
  SSL* s = sl.ref.get();
  BIO* rbio = SSL_get_rbio(s);
  size_t got = 0;

  for (;;) {
    if (!sl.ref.current())
      return got > 0 ? static_cast<int64_t>(got) : pump_failed(G_TLS_ERR_GONE);
    ERR_clear_error();
    const int r = SSL_read(s, buf + got, to_int(size - got));
    if (r > 0) {
      got += static_cast<size_t>(r);
      if (got == size)
        return static_cast<int64_t>(got);
      continue;
    }
    if (got > 0)
      return static_cast<int64_t>(got);
    const int e = SSL_get_error(s, r);
    if (e == SSL_ERROR_ZERO_RETURN) {
      err_tls = e;  // the peer's close_notify: the end of the stream
      return 0;
    }
    if (e != SSL_ERROR_WANT_READ)
      return pump_failed(e);

    // Nothing decrypted yet: receive ciphertext straight into the read BIO's
    // own buffer, made large enough for a whole record first; without a
    // usable one, into the caller's buffer and copied in.
    BUF_MEM* bm = nullptr;
    BIO_get_mem_ptr(rbio, &bm);
    if (bm != nullptr) {
      size_t need = std::max(READ_BIO_MIN, size - got);
      need = std::max(need, bm->length + READ_BIO_SLACK);
      if (bm->max < need) {
        const size_t keep = bm->length;
        const bool grown = BUF_MEM_grow(bm, need) != 0;
        bm->length = keep;
        // Re-attach at once: the BIO's read view must follow a moved buffer
        // even when the read below fails.
        reattach(rbio, bm);
        if (!grown || bm->max - bm->length < READ_BIO_SLACK)
          bm = nullptr;
      }
    }
    char* target = bm != nullptr ? bm->data + bm->length : buf + got;
    const size_t room = bm != nullptr ? bm->max - bm->length : size - got;
    sl.lock.release();
    const int64_t n = read_socket(target, room);
    if (n <= 0) {
      if (!sl.ref.current())
        return pump_failed(G_TLS_ERR_GONE);
      err_tls = G_TLS_ERR_SOCKET;
      return n == 0 ? 0 : G_TLS_FAIL;  // TCP's end is the stream's end
    }
    if (!sl.lock.acquire() || !sl.ref.current())
      return pump_failed(G_TLS_ERR_GONE);
    if (bm != nullptr) {
      bm->length += static_cast<size_t>(n);
      reattach(rbio, bm);
    } else {
      const int c = BIO_write(rbio, target, to_int(static_cast<size_t>(n)));
      if (c <= 0)
        return pump_failed(SSL_get_error(s, c));
    }
  }
}

// ---------------------------------------------------------------------------
// TLS write

int64_t g_tls_t::send_tls(const char* data, size_t len)
{
  session_lock sl(*this);
  // No session (any more): never send a TLS connection's data in the clear.
  if (!sl.ready())
    return pump_failed(G_TLS_ERR_GONE);
  if (len == 0)
    return 0;
  SSL* s = sl.ref.get();
  BIO* wbio = SSL_get_wbio(s);
  size_t done = 0;

  while (done < len) {
    if (!sl.ref.current())
      return pump_failed(G_TLS_ERR_GONE);
    const size_t chunk = std::min(len - done, WRITE_CHUNK);
    ERR_clear_error();
    const int w = SSL_write(s, data + done, static_cast<int>(chunk));
    if (w <= 0)
      return pump_failed(SSL_get_error(s, w));
    done += static_cast<size_t>(w);
    const bool last_chunk = done == len;

    // Flush. The buffer being sent is detached from the BIO and replaced by
    // an empty one, so records that the receive thread (or the drain) adds
    // meanwhile land elsewhere and never move the bytes in flight.
    for (;;) {
      BUF_MEM* bm = nullptr;
      BIO_get_mem_ptr(wbio, &bm);
      if (bm == nullptr) {
        wprintf(L"tls.send::tls_bio_get_mem_ptr  %i  so %i %i\n", SSL_get_error(s, w), so_attached.load(),
                so.load());
        return pump_failed(SSL_get_error(s, w));
      }
      if (bm->length == 0)
        break;
      BUF_MEM* fresh = spare_w.exchange(nullptr);
      if (fresh == nullptr)
        fresh = BUF_MEM_new();
      if (fresh == nullptr)
        return pump_failed(G_TLS_ERR_GONE);
      fresh->length = 0;
      reattach(wbio, fresh);

      sl.lock.release();
      err_tls = SSL_ERROR_NONE;
      const int64_t r = send_raw(bm->data, bm->length);
      const bool relocked = sl.lock.acquire();
      keep_spare(bm);
      if (r <= 0) {
        // A socket failure; a close_notify found by the drain stays visible.
        return pump_failed(err_tls.load() == SSL_ERROR_ZERO_RETURN ? SSL_ERROR_ZERO_RETURN : G_TLS_ERR_SOCKET);
      }
      if (!relocked)
        return pump_failed(G_TLS_ERR_GONE);
      // Records added while the lock was free go out now if this was the
      // last chunk or there are many; a few ride along with the next chunk.
      BUF_MEM* more = nullptr;
      BIO_get_mem_ptr(wbio, &more);
      if (more == nullptr || more->length == 0)
        break;
      if (!last_chunk && more->length <= KEEP_MAX)
        break;
    }
  }
  return static_cast<int64_t>(len);
}

void g_tls_t::keep_spare(BUF_MEM* bm)
{
  bm->length = 0;
  BUF_MEM* old = spare_w.exchange(bm);
  if (old != nullptr)
    BUF_MEM_free(old);
}

// ---------------------------------------------------------------------------
// TLS write from the fan-out thread

int64_t g_tls_t::send_tls_nowait(const char* data, size_t len)
{
  if (len == 0 || len > WRITE_CHUNK)
    return G_TLS_FAIL;
  // Encrypt under the session and the lock; the records are written after
  // both are given back.
  BUF_MEM* bm = nullptr;
  {
    session_lock sl(*this);
    if (!sl.ready())
      return G_TLS_FAIL;
    SSL* s = sl.ref.get();
    BUF_MEM* fresh = spare_w.exchange(nullptr);
    if (fresh == nullptr)
      fresh = BUF_MEM_new();
    BIO* wbio = SSL_get_wbio(s);
    int w = 0;
    if (fresh != nullptr && sl.ref.current()) {
      ERR_clear_error();
      w = SSL_write(s, data, static_cast<int>(len));
      if (w > 0)
        BIO_get_mem_ptr(wbio, &bm);
    }
    if (bm == nullptr || bm->length == 0) {
      // Nothing encrypted (or nothing to move): the send thread does it all,
      // and reports what went wrong.
      if (fresh != nullptr)
        keep_spare(fresh);
      if (w <= 0)
        return G_TLS_FAIL;
      return static_cast<int64_t>(len);
    }
    // Detach the records as send_tls does, so that records added meanwhile
    // never move the bytes being written.
    fresh->length = 0;
    reattach(wbio, fresh);
  }

  // A non-blocking send that stops short means the socket is full.
  const int64_t k = send_nowait(bm->data, bm->length);
  const size_t sent = k > 0 ? static_cast<size_t>(k) : 0;
  if (sent == bm->length) {
    keep_spare(bm);
    return static_cast<int64_t>(len);
  }
  // The socket is full (or failing): the send thread writes the rest and
  // meets any error itself.
  pending_off = sent;
  pending_w.store(bm);
  return 0;
}

int64_t g_tls_t::send_pending()
{
  BUF_MEM* bm = pending_w.exchange(nullptr);
  if (bm == nullptr)
    return 0;
  err_tls = SSL_ERROR_NONE;
  const int64_t r = send_raw(bm->data + pending_off, bm->length - pending_off);
  keep_spare(bm);
  if (r <= 0)
    return pump_failed(err_tls.load() == SSL_ERROR_ZERO_RETURN ? SSL_ERROR_ZERO_RETURN : G_TLS_ERR_SOCKET);
  return r;
}

// ---------------------------------------------------------------------------
// close_notify: the TLS end of a connection the hub closes itself

int g_tls_t::close_notify()
{
  session_lock sl(*this);
  if (!sl.ready())
    return G_TLS_FAIL;
  SSL* s = sl.ref.get();
  if (!SSL_is_init_finished(s))
    return G_TLS_FAIL;
  ERR_clear_error();
  // Queues the alert in the write BIO behind any records still there; the
  // peer's answer is not waited for.
  (void)SSL_shutdown(s);
  BIO* wbio = SSL_get_wbio(s);
  char out[2048];
  for (;;) {
    if (!sl.ref.current())
      return G_TLS_FAIL;
    const int n = BIO_read(wbio, out, static_cast<int>(sizeof out));
    if (n <= 0)
      return G_TLS_OK;
    sl.lock.release();
    if (send_raw(out, static_cast<size_t>(n)) <= 0 || !sl.lock.acquire())
      return G_TLS_FAIL;
  }
}

// ---------------------------------------------------------------------------
// drain: the POLLIN branch of send_raw

int g_tls_t::drain(short* events)
{
  if (b_reading.load()) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }
  session_lock sl(*this);
  if (!sl.ref.held()) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }
  if (!sl.lock.held())
    return G_TLS_FAIL;
  // Tested again under the lock: a TLS read that started meanwhile owns the
  // socket and the read BIO's buffer now.
  if (b_reading.load()) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }
  if (!sl.ref.current())
    return G_TLS_FAIL;
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
    if (errno == EAGAIN)
      return G_TLS_OK;
    return static_cast<int>(send_failed(errno));
  }
  if (n == 0)
    return static_cast<int>(send_failed(EPIPE));  // the peer closed its side

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
      if (e == SSL_ERROR_ZERO_RETURN)
        return static_cast<int>(send_failed(EPIPE));
    }
  }
  if (parked.load() >= parked_max)
    *events &= ~POLLIN;
  return G_TLS_OK;
}

// ---------------------------------------------------------------------------
// peek: the first bytes, left where the next recv finds them

int64_t g_tls_t::peek(char* buf, size_t size)
{
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
    if (r == 0)
      err_recv = 0;
    return r;
  }
  reading_mark reading(*this);  // the drain must not feed the read BIO meanwhile
  session_lock sl(*this);
  if (!sl.ready())
    return pump_failed(G_TLS_ERR_GONE);
  if (size == 0)
    return 0;
  SSL* s = sl.ref.get();
  BIO* rbio = SSL_get_rbio(s);
  for (;;) {
    if (!sl.ref.current())
      return pump_failed(G_TLS_ERR_GONE);
    ERR_clear_error();
    const int r = SSL_peek(s, buf, to_int(size));
    if (r > 0)
      return r;
    const int e = SSL_get_error(s, r);
    if (e == SSL_ERROR_ZERO_RETURN) {
      err_tls = e;
      return 0;
    }
    if (e != SSL_ERROR_WANT_READ)
      return pump_failed(e);
    // Nothing decrypted yet: more ciphertext, read outside the lock.
    char cipher[2048];
    sl.lock.release();
    const int64_t n = read_socket(cipher, sizeof cipher);
    if (n <= 0) {
      if (!sl.ref.current())
        return pump_failed(G_TLS_ERR_GONE);
      err_tls = G_TLS_ERR_SOCKET;
      return n == 0 ? 0 : G_TLS_FAIL;
    }
    if (!sl.lock.acquire() || !sl.ref.current())
      return pump_failed(G_TLS_ERR_GONE);
    if (BIO_write(rbio, cipher, static_cast<int>(n)) != static_cast<int>(n))
      return pump_failed(G_TLS_ERR_GONE);
  }
}
