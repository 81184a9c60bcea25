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
// or G_TLS_FAIL when a send failed; *last receives the final BIO_read result.
int64_t flush_handshake(g_tls_t* t, BIO* wbio, char* p, size_t p_size, int* last)
{
  int64_t moved = 0;
  for (;;) {
    const int k = BIO_read(wbio, p, to_int(p_size));
    *last = k;
    if (k <= 0)
      return moved;
    if (t->send_raw(p, static_cast<size_t>(k)) <= 0)
      return G_TLS_FAIL;
    moved += k;
  }
}

}  // namespace

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
  err_tls = G_TLS_ERR_GONE;
  session_ref ref(*this);
  if (!ref.held()) {
    err_tls = G_TLS_ERR_GONE;
    return G_TLS_FAIL;
  }
  if (p_recv == nullptr || p_recv_size == 0) {
    wprintf(L"p_recv or p_recv_size not set\n");
    return G_TLS_FAIL;
  }
  SSL* s = ref.get();
  BIO* rbio = SSL_get_rbio(s);
  BIO* wbio = SSL_get_wbio(s);
  int last = -1;
  // The server begins with the peer's ClientHello; the client speaks first
  // and reads only after each of its flights has gone out.
  bool read_first = server;
  while (SSL_is_init_finished(s) == 0) {
    if (read_first) {
      const int64_t n = read_socket(p_recv, p_recv_size);
      if (n <= 0) {
        err_tls = G_TLS_ERR_SOCKET;
        break;
      }
      if (!ref.current()) {
        err_tls = G_TLS_ERR_GONE;
        break;
      }
      const int c = BIO_write(rbio, p_recv, to_int(static_cast<size_t>(n)));
      if (c <= 0) {
        err_tls = SSL_get_error(s, c);
        break;
      }
    } else if (!ref.current()) {
      err_tls = G_TLS_ERR_GONE;
      break;
    }
    read_first = true;

    err_tls = SSL_ERROR_NONE;
    ERR_clear_error();
    last = server ? SSL_accept(s) : SSL_connect(s);
    if (last <= 0)
      err_tls = SSL_get_error(s, last);
    if (err_tls != SSL_ERROR_NONE && err_tls != SSL_ERROR_WANT_READ)
      break;
    // A flight (the server's first carries the certificate chain) may be
    // larger than p_recv: all of it goes out before the next read.
    int k = 0;
    const int64_t moved = flush_handshake(this, wbio, p_recv, p_recv_size, &k);
    if (moved < 0) {
      err_tls = G_TLS_ERR_GONE;
      break;
    }
    if (moved == 0)
      err_tls = SSL_get_error(s, k);
    if (err_tls != SSL_ERROR_NONE && err_tls != SSL_ERROR_WANT_READ)
      break;
    // Complete, and its last output has been sent.
    if (last == 1)
      break;
  }
  return last == 1 ? G_TLS_OK : G_TLS_FAIL;
}

// ---------------------------------------------------------------------------
// TLS read

int64_t g_tls_t::recv_tls(char* buf, size_t size)
{
  session_ref ref(*this);
  if (!ref.held()) {
    // No session (any more): a TLS connection's ciphertext is nobody's
    // plaintext.
    err_tls = G_TLS_ERR_GONE;
    return G_TLS_FAIL;
  }
  if (size == 0)
    return 0;

  reading_mark reading(*this);
  parked = 0;
  bio_lock lock(sem_bio);
  if (!lock.held()) {
    // The lock was closed: the object is being destroyed.
    err_tls = G_TLS_ERR_GONE;
    return G_TLS_FAIL;
  }
  SSL* s = ref.get();
  BIO* rbio = SSL_get_rbio(s);
  size_t got = 0;

  for (;;) {
    if (!ref.current()) {
      if (got > 0)
        return static_cast<int64_t>(got);
      err_tls = G_TLS_ERR_GONE;
      return G_TLS_FAIL;
    }
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
    err_tls = e;
    if (e != SSL_ERROR_WANT_READ)
      return r;

    // Nothing decrypted yet: receive ciphertext straight into the read BIO's
    // own buffer, made large enough for a whole record first.
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

    if (bm != nullptr) {
      char* target = bm->data + bm->length;
      const size_t room = bm->max - bm->length;
      lock.release();
      const int64_t n = read_socket(target, room);
      if (n <= 0) {
        err_tls = ref.current() ? G_TLS_ERR_SOCKET : G_TLS_ERR_GONE;
        return r;
      }
      if (!lock.acquire()) {
        err_tls = G_TLS_ERR_GONE;
        return G_TLS_FAIL;
      }
      bm->length += static_cast<size_t>(n);
      reattach(rbio, bm);
      continue;
    }

    // No usable BIO buffer: read into the caller's buffer and copy it in.
    lock.release();
    const int64_t n = read_socket(buf + got, size - got);
    if (n <= 0) {
      err_tls = ref.current() ? G_TLS_ERR_SOCKET : G_TLS_ERR_GONE;
      return r;
    }
    if (!lock.acquire()) {
      err_tls = G_TLS_ERR_GONE;
      return G_TLS_FAIL;
    }
    if (!ref.current()) {
      err_tls = G_TLS_ERR_GONE;
      return r;
    }
    const int c = BIO_write(rbio, buf + got, to_int(static_cast<size_t>(n)));
    if (c <= 0) {
      err_tls = SSL_get_error(s, c);
      return r;
    }
  }
}

// ---------------------------------------------------------------------------
// TLS write

int64_t g_tls_t::send_tls(const char* data, size_t len)
{
  session_ref ref(*this);
  if (!ref.held()) {
    // No session (any more): never send a TLS connection's data in the clear.
    err_tls = G_TLS_ERR_GONE;
    return G_TLS_FAIL;
  }
  if (len == 0)
    return 0;
  bio_lock lock(sem_bio);
  if (!lock.held()) {
    err_tls = G_TLS_ERR_GONE;
    return G_TLS_FAIL;
  }
  SSL* s = ref.get();
  BIO* wbio = SSL_get_wbio(s);
  size_t done = 0;

  while (done < len) {
    if (!ref.current()) {
      err_tls = G_TLS_ERR_GONE;
      return G_TLS_FAIL;
    }
    const size_t chunk = std::min(len - done, WRITE_CHUNK);
    ERR_clear_error();
    const int w = SSL_write(s, data + done, static_cast<int>(chunk));
    if (w <= 0) {
      err_tls = SSL_get_error(s, w);
      return w;
    }
    done += static_cast<size_t>(w);
    const bool last_chunk = done == len;

    // Flush. The buffer being sent is detached from the BIO and replaced by
    // an empty one, so records that the receive thread (or the drain) adds
    // meanwhile land elsewhere and never move the bytes in flight.
    for (;;) {
      BUF_MEM* bm = nullptr;
      BIO_get_mem_ptr(wbio, &bm);
      if (bm == nullptr) {
        err_tls = SSL_get_error(s, w);
        wprintf(L"tls.send::tls_bio_get_mem_ptr  %i  so %i %i\n", err_tls.load(), so_attached.load(),
                so.load());
        return w;
      }
      if (bm->length == 0)
        break;
      BUF_MEM* fresh = spare_w.exchange(nullptr);
      if (fresh == nullptr)
        fresh = BUF_MEM_new();
      if (fresh == nullptr) {
        err_tls = G_TLS_ERR_GONE;
        return G_TLS_FAIL;
      }
      fresh->length = 0;
      reattach(wbio, fresh);

      lock.release();
      err_tls = SSL_ERROR_NONE;
      const int64_t r = send_raw(bm->data, bm->length);
      const bool relocked = lock.acquire();
      keep_spare(bm);
      if (r <= 0) {
        // A socket failure; a close_notify found by the drain stays visible.
        if (err_tls.load() != SSL_ERROR_ZERO_RETURN)
          err_tls = G_TLS_ERR_SOCKET;
        return r;
      }
      if (!relocked) {
        err_tls = G_TLS_ERR_GONE;
        return G_TLS_FAIL;
      }
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
    session_ref ref(*this);
    if (!ref.held())
      return G_TLS_FAIL;
    bio_lock lock(sem_bio);
    if (!lock.held())
      return G_TLS_FAIL;
    SSL* s = ref.get();
    BUF_MEM* fresh = spare_w.exchange(nullptr);
    if (fresh == nullptr)
      fresh = BUF_MEM_new();
    BIO* wbio = SSL_get_wbio(s);
    int w = 0;
    if (fresh != nullptr && ref.current()) {
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
    return G_TLS_FAIL;
  return r;
}

// ---------------------------------------------------------------------------
// drain: the POLLIN branch of send_raw

int g_tls_t::drain(short* events)
{
  if (b_reading.load()) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }
  session_ref ref(*this);
  if (!ref.held()) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }
  bio_lock lock(sem_bio);
  if (!lock.held())
    return G_TLS_FAIL;
  // Tested again under the lock: a TLS read that started meanwhile owns the
  // socket and the read BIO's buffer now.
  if (b_reading.load()) {
    *events &= ~POLLIN;
    return G_TLS_OK;
  }
  if (!ref.current())
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
  if (n <= 0) {
    const int e = errno;
    err_send = e;
    // Nothing to read now is no failure; a closed or broken socket is.
    if (n < 0 && (e == EAGAIN || e == EINTR))
      return G_TLS_OK;
    b_abort = true;
    return G_TLS_FAIL;
  }

  SSL* s = ref.get();
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
    lock.release();
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
      if (e == SSL_ERROR_ZERO_RETURN) {
        b_abort = true;
        return G_TLS_FAIL;
      }
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
    for (;;) {
      errno = 0;
      const ssize_t r = sock_recv(buf, size, MSG_PEEK);
      if (r > 0)
        return r;
      err_recv = errno;
      if (errno != EINTR)
        return r;
    }
  }
  session_ref ref(*this);
  if (!ref.held()) {
    err_tls = G_TLS_ERR_GONE;
    return G_TLS_FAIL;
  }
  if (size == 0)
    return 0;
  SSL* s = ref.get();
  BIO* rbio = SSL_get_rbio(s);
  bio_lock lock(sem_bio);
  reading_mark reading(*this);  // the drain must not feed the read BIO meanwhile
  if (!lock.held())
    return G_TLS_FAIL;
  for (;;) {
    if (!ref.current()) {
      err_tls = G_TLS_ERR_GONE;
      return G_TLS_FAIL;
    }
    ERR_clear_error();
    const int r = SSL_peek(s, buf, to_int(size));
    if (r > 0)
      return r;
    const int e = SSL_get_error(s, r);
    err_tls = e;
    if (e != SSL_ERROR_WANT_READ)
      return r;
    // Nothing decrypted yet: more ciphertext, read outside the lock.
    char cipher[2048];
    lock.release();
    const int64_t n = read_socket(cipher, sizeof cipher);
    if (n <= 0) {
      err_tls = ref.current() ? G_TLS_ERR_SOCKET : G_TLS_ERR_GONE;
      return n < 0 ? G_TLS_FAIL : 0;
    }
    if (!lock.acquire() || !ref.current()) {
      err_tls = G_TLS_ERR_GONE;
      return G_TLS_FAIL;
    }
    if (BIO_write(rbio, cipher, static_cast<int>(n)) != static_cast<int>(n)) {
      err_tls = G_TLS_ERR_GONE;
      return G_TLS_FAIL;
    }
  }
}
