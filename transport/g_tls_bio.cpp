// The session's memory BIO: appends with one copy, never clears.
#include "transport/g_tls_bio.hpp"

#include <algorithm>
#include <climits>
#include <cstring>

#include <openssl/crypto.h>

namespace {

// Unread bytes are buf->data[rd, buf->length); room is [length, max).
struct bio_state {
  BUF_MEM* buf;
  size_t rd;
};

constexpr size_t GROW_MIN = 4096;

// The buffer holds at least `need` bytes after the first `used`: grows by
// doubling, keeping the used bytes and clearing nothing. 1, or 0 when the
// allocation failed (nothing changed).
int reserve(BUF_MEM* bm, size_t used, size_t need) {
  if (bm->max - used >= need) return 1;
  if (need > SIZE_MAX / 2 - used) return 0;
  const size_t cap = std::max({used + need, bm->max * 2, GROW_MIN});
  char* p = static_cast<char*>(OPENSSL_realloc(bm->data, cap));
  if (p == nullptr) return 0;
  bm->data = p;
  bm->max = cap;
  return 1;
}

bio_state* state_of(BIO* b) {
  return b != nullptr ? static_cast<bio_state*>(BIO_get_data(b)) : nullptr;
}

int bio_create(BIO* b) {
  bio_state* st = static_cast<bio_state*>(OPENSSL_zalloc(sizeof(bio_state)));
  if (st == nullptr) return 0;
  st->buf = BUF_MEM_new();
  if (st->buf == nullptr) {
    OPENSSL_free(st);
    return 0;
  }
  BIO_set_data(b, st);
  BIO_set_init(b, 1);
  return 1;
}

int bio_destroy(BIO* b) {
  bio_state* st = state_of(b);
  if (st == nullptr) return 0;
  BUF_MEM_free(st->buf);
  OPENSSL_free(st);
  BIO_set_data(b, nullptr);
  BIO_set_init(b, 0);
  return 1;
}

int bio_write(BIO* b, const char* in, size_t inl, size_t* written) {
  bio_state* st = state_of(b);
  BIO_clear_retry_flags(b);
  *written = 0;
  if (st == nullptr || in == nullptr) return 0;
  // An emptied buffer starts over at its front.
  if (st->rd == st->buf->length) st->rd = st->buf->length = 0;
  if (reserve(st->buf, st->buf->length, inl) == 0) return 0;
  if (inl != 0) memcpy(st->buf->data + st->buf->length, in, inl);
  st->buf->length += inl;
  *written = inl;
  return 1;
}

int bio_read(BIO* b, char* out, size_t outl, size_t* readbytes) {
  bio_state* st = state_of(b);
  BIO_clear_retry_flags(b);
  *readbytes = 0;
  if (st == nullptr || out == nullptr) return 0;
  const size_t avail = st->buf->length - st->rd;
  if (avail == 0) {
    // More may come: the session waits for it (SSL_ERROR_WANT_READ).
    BIO_set_retry_read(b);
    return 0;
  }
  const size_t n = std::min(avail, outl);
  memcpy(out, st->buf->data + st->rd, n);
  // The read position only advances here: the front is reclaimed by a
  // later write or room request, never under a fill in progress.
  st->rd += n;
  *readbytes = n;
  return 1;
}

long bio_ctrl(BIO* b, int cmd, long, void*) {
  bio_state* st = state_of(b);
  if (st == nullptr) return 0;
  switch (cmd) {
    case BIO_CTRL_PENDING: {
      const size_t n = st->buf->length - st->rd;
      return n > static_cast<size_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(n);
    }
    case BIO_CTRL_RESET:
      st->rd = st->buf->length = 0;
      return 1;
    case BIO_CTRL_EOF:
      // Never at its end: an empty buffer waits for more.
      return 0;
    case BIO_CTRL_WPENDING:
      return 0;
    case BIO_CTRL_FLUSH:
    case BIO_CTRL_DUP:
      return 1;
    default:
      return 0;
  }
}

BIO_METHOD* method() {
  // Made once for the process and kept: sessions may outlive every context.
  static BIO_METHOD* const m = [] {
    BIO_METHOD* bm = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "relayhub memory");
    if (bm == nullptr) return bm;
    if (BIO_meth_set_write_ex(bm, bio_write) != 1 || BIO_meth_set_read_ex(bm, bio_read) != 1 ||
        BIO_meth_set_ctrl(bm, bio_ctrl) != 1 || BIO_meth_set_create(bm, bio_create) != 1 ||
        BIO_meth_set_destroy(bm, bio_destroy) != 1) {
      BIO_meth_free(bm);
      return static_cast<BIO_METHOD*>(nullptr);
    }
    return bm;
  }();
  return m;
}

}  // namespace

BIO* g_tls_bio_new() {
  BIO_METHOD* m = method();
  return m != nullptr ? BIO_new(m) : nullptr;
}

char* g_tls_bio_data(BIO* b, size_t* len) {
  bio_state* st = state_of(b);
  if (st == nullptr) {
    *len = 0;
    return nullptr;
  }
  *len = st->buf->length - st->rd;
  return st->buf->data + st->rd;
}

char* g_tls_bio_room(BIO* b, size_t need, size_t* room) {
  *room = 0;
  bio_state* st = state_of(b);
  if (st == nullptr) return nullptr;
  BUF_MEM* bm = st->buf;
  const size_t unread = bm->length - st->rd;
  if (unread == 0) {
    st->rd = bm->length = 0;
  } else if (bm->max - bm->length < need && st->rd != 0) {
    // Only a part of one record is ever left behind: a short move.
    memmove(bm->data, bm->data + st->rd, unread);
    st->rd = 0;
    bm->length = unread;
  }
  if (reserve(bm, bm->length, need) == 0) return nullptr;
  *room = bm->max - bm->length;
  return bm->data + bm->length;
}

void g_tls_bio_filled(BIO* b, size_t n) {
  bio_state* st = state_of(b);
  if (st != nullptr) st->buf->length += std::min(n, st->buf->max - st->buf->length);
}

BUF_MEM* g_tls_bio_take(BIO* b, BUF_MEM* fresh) {
  bio_state* st = state_of(b);
  if (st == nullptr || fresh == nullptr) return nullptr;
  BUF_MEM* old = st->buf;
  if (st->rd != 0) {
    // The write side is never read by the session; a handshake flush that
    // read part of it leaves the rest at the front of what is handed out.
    memmove(old->data, old->data + st->rd, old->length - st->rd);
    old->length -= st->rd;
  }
  fresh->length = 0;
  st->buf = fresh;
  st->rd = 0;
  return old;
}
