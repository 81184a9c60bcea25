// A Redis connection: commands out, replies in through hiredis' reply
// reader under a byte and element budget, over a G_CONN.
#include "bridge/g_redis_conn.hpp"

#include <hiredis/hiredis.h>
#include <hiredis/read.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// ---- reply objects under a budget ---------------------------------------
// The same objects hiredis builds (freeReplyObject frees them), but each
// creation is counted first; a creation over the budget returns nullptr,
// which the reader reports as out of memory and the connection ends.

REDIS_BUDGET* budget_of(const redisReadTask* task) {
  return static_cast<REDIS_BUDGET*>(task->privdata);
}

// Counts bytes and elements for one object; false when over the budget.
bool charge(const redisReadTask* task, size_t bytes, size_t elements) {
  REDIS_BUDGET* b = budget_of(task);
  if (b == nullptr) return false;
  if (task->parent == nullptr) {  // a new top-level reply
    b->bytes = 0;
    b->elements = 0;
  }
  if (elements > b->elements_max - b->elements || bytes > b->bytes_max - b->bytes ||
      REDIS_BUDGET::OBJECT_COST > b->bytes_max - b->bytes - bytes) {
    b->b_exceeded = true;
    return false;
  }
  b->elements += elements;
  b->bytes += bytes + REDIS_BUDGET::OBJECT_COST;
  return true;
}

redisReply* new_reply(const redisReadTask* task, int type) {
  redisReply* r = static_cast<redisReply*>(calloc(1, sizeof(redisReply)));
  if (r == nullptr) return nullptr;
  r->type = type;
  if (task->parent != nullptr) {
    redisReply* parent = static_cast<redisReply*>(task->parent->obj);
    if (parent == nullptr || parent->type != REDIS_REPLY_ARRAY || task->idx < 0 ||
        size_t(task->idx) >= parent->elements) {
      free(r);
      return nullptr;
    }
    parent->element[task->idx] = r;
  }
  return r;
}

void* create_string(const redisReadTask* task, char* str, size_t len) {
  if (!charge(task, len + 1, 1)) return nullptr;
  char* copy = static_cast<char*>(malloc(len + 1));
  if (copy == nullptr) return nullptr;
  redisReply* r = new_reply(task, task->type);
  if (r == nullptr) {
    free(copy);
    return nullptr;
  }
  memcpy(copy, str, len);
  copy[len] = 0;
  r->str = copy;
  r->len = len;
  return r;
}

void* create_array(const redisReadTask* task, int elements) {
  if (elements < 0) return nullptr;
  const size_t n = size_t(elements);
  if (!charge(task, n * sizeof(redisReply*), n + 1)) return nullptr;
  redisReply** slots = nullptr;
  if (n != 0) {
    slots = static_cast<redisReply**>(calloc(n, sizeof(redisReply*)));
    if (slots == nullptr) return nullptr;
  }
  redisReply* r = new_reply(task, REDIS_REPLY_ARRAY);
  if (r == nullptr) {
    free(slots);
    return nullptr;
  }
  r->element = slots;
  r->elements = n;
  return r;
}

void* create_integer(const redisReadTask* task, long long value) {
  if (!charge(task, 0, 1)) return nullptr;
  redisReply* r = new_reply(task, REDIS_REPLY_INTEGER);
  if (r != nullptr) r->integer = value;
  return r;
}

void* create_nil(const redisReadTask* task) {
  if (!charge(task, 0, 1)) return nullptr;
  return new_reply(task, REDIS_REPLY_NIL);
}

redisReplyObjectFunctions g_budget_functions = {create_string, create_array, create_integer, create_nil,
                                                freeReplyObject};

}  // namespace

redisReader* redis_budget_reader(REDIS_BUDGET* budget) {
  redisReader* r = redisReaderCreateWithFunctions(&g_budget_functions);
  if (r == nullptr) return nullptr;
  r->privdata = budget;
  return r;
}

bool redis_is(const redisReply* r, const char* s) {
  const size_t n = strlen(s);
  return r != nullptr && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS) && r->len == n &&
         memcmp(r->str, s, n) == 0;
}

void redis_why_reply(char* why, size_t n, const char* what, const redisReply* r) {
  if (r != nullptr && r->type == REDIS_REPLY_ERROR)
    snprintf(why, n, "%s refused: %.*s", what, int(r->len > 160 ? 160 : r->len), r->str);
  else
    snprintf(why, n, "%s: unexpected reply", what);
}

G_REDIS_CONN::~G_REDIS_CONN() {
  close();
}

int G_REDIS_CONN::init(size_t out_capacity, size_t reply_bytes) {
  close();
  out_cap = out_capacity;
  p_out = static_cast<char*>(malloc(out_cap));
  p_chunk = static_cast<char*>(malloc(READ_CHUNK));
  if (p_out == nullptr || p_chunk == nullptr) return ENOMEM;
  budget.bytes_max = reply_bytes;
  budget.elements_max = ELEMENTS_MAX;
  return 0;
}

void G_REDIS_CONN::close() {
  drop();
  free(p_out);
  free(p_chunk);
  p_out = p_chunk = nullptr;
  out_cap = 0;
}

void G_REDIS_CONN::drop() {
  conn.close();
  if (p_reader != nullptr) redisReaderFree(p_reader);
  p_reader = nullptr;
  out_pos = out_len = 0;
}

int G_REDIS_CONN::open(const REDIS_ENDPOINT& ep, unsigned timeout_ms, G_WAKE& wake,
                       const std::atomic<bool>& stop) {
  drop();
  why[0] = 0;
  budget.b_exceeded = false;
  p_reader = redis_budget_reader(&budget);
  if (p_reader == nullptr) {
    snprintf(why, sizeof why, "out of memory");
    return BRIDGE_FAIL;
  }
  // Unparsed input is held to the budget below; the reader keeps no more
  // than this of an emptied buffer.
  p_reader->maxbuf = READ_CHUNK;
  const uint64_t deadline = bridge_now_ms() + timeout_ms;
  int r = conn.open(ep.host, ep.port, ep.tls, ep.b_verify, deadline, wake, stop);
  if (r != BRIDGE_OK) {
    snprintf(why, sizeof why, "%s", conn.why);
    return r;
  }
  if (ep.password == nullptr) return BRIDGE_OK;
  const bool user = ep.user != nullptr && ep.user[0] != 0;
  const char* argv[3] = {"AUTH", user ? ep.user : ep.password, ep.password};
  const size_t lens[3] = {4, user ? strlen(ep.user) : ep.password_len, ep.password_len};
  redisReply* reply = nullptr;
  r = command(user ? 3 : 2, argv, lens, &reply, deadline, wake, stop);
  if (r != BRIDGE_OK) return r;
  const bool ok = redis_is(reply, "OK");
  if (!ok) redis_why_reply(why, sizeof why, "AUTH", reply);
  freeReplyObject(reply);
  return ok ? BRIDGE_OK : BRIDGE_FAIL;
}

namespace {

// Bytes a command of argc arguments of lens takes at most, with extra
// bytes besides.
size_t command_size(int argc, const size_t* lens, size_t extra) {
  size_t need = 16 + extra;
  for (int i = 0; i < argc; ++i)
    need += 24 + lens[i];
  return need;
}

// One bulk string of the protocol at p; returns the end of it.
char* put_bulk(char* p, const char* data, size_t len) {
  p += sprintf(p, "$%zu\r\n", len);
  if (len != 0) memcpy(p, data, len);
  p += len;
  *p++ = '\r';
  *p++ = '\n';
  return p;
}

}  // namespace

char* G_REDIS_CONN::room_for(size_t need) {
  if (need > out_cap - out_len && out_pos != 0) {
    // Written bytes at the front make room.
    memmove(p_out, p_out + out_pos, out_len - out_pos);
    out_len -= out_pos;
    out_pos = 0;
  }
  return need > out_cap - out_len ? nullptr : p_out + out_len;
}

int G_REDIS_CONN::append(int argc, const char* const* argv, const size_t* lens) {
  char* p = room_for(command_size(argc, lens, 0));
  if (p == nullptr) return -1;
  p += sprintf(p, "*%d\r\n", argc);
  for (int i = 0; i < argc; ++i)
    p = put_bulk(p, argv[i], lens[i]);
  out_len = size_t(p - p_out);
  return 0;
}

int G_REDIS_CONN::append_packed(int argc, const char* const* argv, const size_t* lens, size_t n,
                                const char* const* parts, const size_t* part_lens) {
  size_t packed = 0;
  for (size_t i = 0; i < n; ++i)
    packed += 4 + part_lens[i];
  char* p = room_for(command_size(argc, lens, 24 + packed));
  if (p == nullptr) return -1;
  p += sprintf(p, "*%d\r\n", argc + 1);
  for (int i = 0; i < argc; ++i)
    p = put_bulk(p, argv[i], lens[i]);
  p += sprintf(p, "$%zu\r\n", packed);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t len = uint32_t(part_lens[i]);
    *p++ = char(len >> 24);
    *p++ = char(len >> 16);
    *p++ = char(len >> 8);
    *p++ = char(len);
    if (len != 0) memcpy(p, parts[i], len);
    p += len;
  }
  *p++ = '\r';
  *p++ = '\n';
  out_len = size_t(p - p_out);
  return 0;
}

int G_REDIS_CONN::fill() {
  const int64_t n = conn.read(p_chunk, READ_CHUNK);
  if (n > 0) {
    if (redisReaderFeed(p_reader, p_chunk, size_t(n)) != REDIS_OK) {
      snprintf(why, sizeof why, "out of memory");
      return BRIDGE_FAIL;
    }
    // Replies are taken after each read, so what is left unparsed is one
    // reply in the making and this read: beyond that, a reply over budget.
    if (p_reader->len - p_reader->pos > budget.bytes_max + READ_CHUNK) {
      snprintf(why, sizeof why, "a reply larger than %zu bytes", budget.bytes_max);
      return BRIDGE_FAIL;
    }
    const bool more = size_t(n) == READ_CHUNK || (conn.p_ssl != nullptr && SSL_pending(conn.p_ssl) > 0);
    return more ? int(FILL_MORE) : int(BRIDGE_OK);
  }
  if (n == CONN_AGAIN_READ || n == CONN_AGAIN_WRITE) return BRIDGE_OK;
  conn.why_io("redis");
  snprintf(why, sizeof why, "%s", n == CONN_EOF ? "connection closed" : conn.why);
  return BRIDGE_FAIL;
}

int G_REDIS_CONN::take(redisReply** reply) {
  void* r = nullptr;
  if (redisReaderGetReply(p_reader, &r) != REDIS_OK) {
    if (budget.b_exceeded)
      snprintf(why, sizeof why, "a reply over the limit of %zu bytes or %zu elements", budget.bytes_max,
               budget.elements_max);
    else
      snprintf(why, sizeof why, "protocol error: %.100s", p_reader->errstr);
    return BRIDGE_FAIL;
  }
  if (r == nullptr) return 0;
  *reply = static_cast<redisReply*>(r);
  return 1;
}

int G_REDIS_CONN::flush(uint64_t deadline_ms, G_WAKE& wake, const std::atomic<bool>& stop) {
  while (out_pos < out_len) {
    const int64_t n = conn.write(p_out + out_pos, out_len - out_pos);
    if (n > 0) {
      out_pos += size_t(n);
      continue;
    }
    if (n == CONN_EOF || n == CONN_ERROR) {
      conn.why_io("redis");
      snprintf(why, sizeof why, "%s", conn.why);
      return BRIDGE_FAIL;
    }
    // Replies are read meanwhile (TLS may want to read to write, too).
    const int w = conn.wait(POLLIN | POLLOUT, deadline_ms, wake, stop);
    if (w != BRIDGE_OK) {
      if (w == BRIDGE_FAIL) snprintf(why, sizeof why, "no answer in time");
      return w;
    }
    if (fill() == BRIDGE_FAIL) return BRIDGE_FAIL;
  }
  out_pos = out_len = 0;
  return BRIDGE_OK;
}

int G_REDIS_CONN::write_some() {
  if (out_pos == out_len) return 0;
  const int64_t n = conn.write(p_out + out_pos, out_len - out_pos);
  if (n > 0) {
    out_pos += size_t(n);
    if (out_pos == out_len) out_pos = out_len = 0;
    return 1;
  }
  if (n == CONN_AGAIN_READ || n == CONN_AGAIN_WRITE) return 0;
  conn.why_io("redis");
  snprintf(why, sizeof why, "%s", conn.why);
  return BRIDGE_FAIL;
}

int G_REDIS_CONN::reply(redisReply** out, uint64_t deadline_ms, G_WAKE& wake, const std::atomic<bool>& stop) {
  for (;;) {
    const int t = take(out);
    if (t == 1) return BRIDGE_OK;
    if (t != 0) return BRIDGE_FAIL;
    const int f = fill();
    if (f == BRIDGE_FAIL) return BRIDGE_FAIL;
    const int again = take(out);
    if (again == 1) return BRIDGE_OK;
    if (again != 0) return BRIDGE_FAIL;
    // More may wait already (TLS may hold bytes the socket no longer shows).
    if (f == FILL_MORE) continue;
    const int w = conn.wait(POLLIN, deadline_ms, wake, stop);
    if (w != BRIDGE_OK) {
      if (w == BRIDGE_FAIL) snprintf(why, sizeof why, "no answer in time");
      return w;
    }
  }
}

int G_REDIS_CONN::command(int argc, const char* const* argv, const size_t* lens, redisReply** out,
                          uint64_t deadline_ms, G_WAKE& wake, const std::atomic<bool>& stop) {
  if (append(argc, argv, lens) != 0) {
    snprintf(why, sizeof why, "command larger than the out buffer");
    return BRIDGE_FAIL;
  }
  const int f = flush(deadline_ms, wake, stop);
  if (f != BRIDGE_OK) return f;
  return reply(out, deadline_ms, wake, stop);
}
