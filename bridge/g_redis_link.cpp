#include "bridge/g_redis_link.hpp"

#include <hiredis/hiredis.h>
#include <hiredis/read.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/time.h>

#include "bridge/g_bridge.hpp"
#include "support/g_notify.hpp"

namespace {

constexpr int IDLE_POLL_MS = 1000;
// Bytes of a pub/sub message reply besides its payload: the array and
// bulk headers, "message" and a channel name of up to 255 bytes.
constexpr size_t REPLY_FRAMING_MAX = 4096;

timeval ms_to_timeval(unsigned ms) {
  timeval tv;
  tv.tv_sec = time_t(ms / 1000);
  tv.tv_usec = suseconds_t((ms % 1000) * 1000);
  return tv;
}

bool is_string(const redisReply* r, const char* s) {
  const size_t n = strlen(s);
  return r != nullptr && (r->type == REDIS_REPLY_STRING || r->type == REDIS_REPLY_STATUS) && r->len == n &&
         memcmp(r->str, s, n) == 0;
}

}  // namespace

G_REDIS_LINK::~G_REDIS_LINK() { close(); }

int G_REDIS_LINK::init(G_BRIDGE* owner, int r) {
  p_bridge = owner;
  role = r;
  return wake.init();
}

void G_REDIS_LINK::close() {
  drop_connection();
  wake.close();
}

int G_REDIS_LINK::start() { return thread.create(&G_REDIS_LINK::thread_main, this); }

int G_REDIS_LINK::join() { return thread.wait(); }

void* G_REDIS_LINK::thread_main(void* self) {
  static_cast<G_REDIS_LINK*>(self)->run();
  return nullptr;
}

const wchar_t* G_REDIS_LINK::role_name() const { return role == ROLE_PUBLISH ? L"publish" : L"subscribe"; }

void G_REDIS_LINK::why_context() {
  if (p_ctx == nullptr) {
    snprintf(why, sizeof why, "out of memory");
  } else if (p_ctx->err == REDIS_ERR_EOF) {
    snprintf(why, sizeof why, "connection closed");
  } else if (p_ctx->err == REDIS_ERR_IO && strcmp(p_ctx->errstr, strerror(EAGAIN)) == 0) {
    // The socket time-out of a blocking read or write.
    snprintf(why, sizeof why, "no answer within %u ms", IO_TIMEOUT_MS);
  } else {
    snprintf(why, sizeof why, "%s", p_ctx->errstr[0] != 0 ? p_ctx->errstr : "connection failed");
  }
}

void G_REDIS_LINK::run() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  BRIDGE_BACKOFF backoff;
  bool b_reported = false;
  while (!b.b_stop.load()) {
    int r = open_connection();
    if (r == BRIDGE_STOP) break;
    if (r == BRIDGE_OK) {
      b_up.store(true);
      backoff.reset();
      b_reported = false;
      bridge_log(L":: redis %s:%u up (%ls %s)\n", o.redis_host, unsigned(o.redis_port), role_name(), o.channel);
      if (b.hub.b_up.load() && b.pub.b_up.load() && b.sub.b_up.load()) g_notify_ready_once();  // both ways
      r = role == ROLE_PUBLISH ? serve_publish() : serve_subscribe();
      if (r == BRIDGE_STOP) break;
      drop_connection();
      bridge_printable(why);
      bridge_log(L"!! redis %s:%u down (%ls): %s; reconnecting (backoff %u ms doubling to %u ms)\n",
                 o.redis_host, unsigned(o.redis_port), role_name(), why, BRIDGE_BACKOFF::FIRST_MS,
                 BRIDGE_BACKOFF::CAP_MS);
      b_reported = true;
    } else {
      drop_connection();
      if (!b_reported) {
        bridge_printable(why);
        bridge_log(L"!! redis %s:%u unreachable (%ls): %s; retrying (backoff %u ms doubling to %u ms)\n",
                   o.redis_host, unsigned(o.redis_port), role_name(), why, BRIDGE_BACKOFF::FIRST_MS,
                   BRIDGE_BACKOFF::CAP_MS);
        b_reported = true;
      }
    }
    if (wake.nap(backoff.take(), b.b_stop) == BRIDGE_STOP) break;
  }
  drop_connection();
}

void G_REDIS_LINK::drop_connection() {
  const bool was_up = b_up.exchange(false);
  if (p_ctx != nullptr) redisFree(p_ctx);
  p_ctx = nullptr;
  if (role != ROLE_PUBLISH || p_bridge == nullptr) return;
  // What was written without an answer, and what waits, is not published.
  G_BRIDGE& b = *p_bridge;
  b.counters.lost_redis_down += in_flight + b.ring_to_redis.clear();
  in_flight = 0;
  // The hub link may wait for room: there is room now, and while this link
  // is down it counts instead of queueing.
  if (was_up || b.hub.b_wait_room.load()) {
    b.hub.b_wait_room.store(false);
    b.hub.wake.signal();
  }
}

int G_REDIS_LINK::open_connection() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  why[0] = 0;
  p_ctx = redisConnectWithTimeout(o.redis_host, int(o.redis_port), ms_to_timeval(CONNECT_TIMEOUT_MS));
  if (p_ctx == nullptr || p_ctx->err != 0) {
    why_context();
    return BRIDGE_FAIL;
  }
  if (redisSetTimeout(p_ctx, ms_to_timeval(IO_TIMEOUT_MS)) != REDIS_OK) {
    why_context();
    return BRIDGE_FAIL;
  }
  redisEnableKeepAlive(p_ctx);
  if (b.b_password) {
    const char* argv[2] = {"AUTH", b.password};
    const size_t lens[2] = {4, b.password_len};
    redisReply* reply = static_cast<redisReply*>(redisCommandArgv(p_ctx, 2, argv, lens));
    if (reply == nullptr) {
      why_context();
      return BRIDGE_FAIL;
    }
    const bool ok = is_string(reply, "OK");
    if (!ok) snprintf(why, sizeof why, "AUTH refused: %.*s", int(reply->len > 160 ? 160 : reply->len), reply->str);
    freeReplyObject(reply);
    if (!ok) return BRIDGE_FAIL;
  }
  if (role == ROLE_PUBLISH) {
    // A PING proves the connection usable before the link counts as up
    // (a server that wants a password answers NOAUTH).
    const char* ping[1] = {"PING"};
    const size_t ping_len[1] = {4};
    redisReply* reply = static_cast<redisReply*>(redisCommandArgv(p_ctx, 1, ping, ping_len));
    if (reply == nullptr) {
      why_context();
      return BRIDGE_FAIL;
    }
    const bool ok = is_string(reply, "PONG");
    if (!ok) snprintf(why, sizeof why, "PING refused: %.*s", int(reply->len > 160 ? 160 : reply->len), reply->str);
    freeReplyObject(reply);
    if (!ok) return BRIDGE_FAIL;
    return b.b_stop.load() ? BRIDGE_STOP : BRIDGE_OK;
  }

  const char* argv[2] = {"SUBSCRIBE", o.channel};
  const size_t lens[2] = {9, strlen(o.channel)};
  redisReply* reply = static_cast<redisReply*>(redisCommandArgv(p_ctx, 2, argv, lens));
  if (reply == nullptr) {
    why_context();
    return BRIDGE_FAIL;
  }
  const bool ok = reply->type == REDIS_REPLY_ARRAY && reply->elements == 3 && is_string(reply->element[0], "subscribe");
  if (!ok) {
    if (reply->type == REDIS_REPLY_ERROR)
      snprintf(why, sizeof why, "SUBSCRIBE refused: %.*s", int(reply->len > 160 ? 160 : reply->len), reply->str);
    else
      snprintf(why, sizeof why, "SUBSCRIBE: unexpected reply");
  }
  freeReplyObject(reply);
  if (!ok) return BRIDGE_FAIL;
  return b.b_stop.load() ? BRIDGE_STOP : BRIDGE_OK;
}

int G_REDIS_LINK::wait_input(int ms) {
  pollfd p[2] = {{p_ctx->fd, POLLIN, 0}, {wake.fd, POLLIN, 0}};
  const int n = poll(p, 2, ms);
  if (n > 0 && (p[1].revents & POLLIN)) wake.drain();
  if (p_bridge->b_stop.load()) return BRIDGE_STOP;
  return n > 0 && p[0].revents != 0 ? 1 : 0;
}

int G_REDIS_LINK::serve_publish() {
  G_BRIDGE& b = *p_bridge;
  const char* channel = b.opt.channel;
  const size_t channel_len = strlen(channel);
  for (;;) {
    if (b.b_stop.load()) return BRIDGE_STOP;
    // Up to one batch of PUBLISH commands into hiredis' output buffer.
    size_t batch = 0;
    size_t bytes = 0;
    bool append_failed = false;
    while (batch < BATCH_MESSAGES && bytes < BATCH_BYTES) {
      const int r = b.ring_to_redis.pop_with([&](const char* data, size_t len, uint32_t) {
        const char* argv[3] = {"PUBLISH", channel, data};
        const size_t lens[3] = {7, channel_len, len};
        if (redisAppendCommandArgv(p_ctx, 3, argv, lens) != REDIS_OK) {
          append_failed = true;
          return false;
        }
        bytes += len;
        return true;
      });
      if (r != G_RING::POP_TAKEN) break;
      ++batch;
    }
    in_flight += batch;
    if (batch != 0 && b.hub.b_wait_room.exchange(false)) b.hub.wake.signal();
    if (append_failed) {
      why_context();
      return BRIDGE_FAIL;
    }
    if (in_flight == 0) {
      // Idle: wait for work; a readable connection now can only be its end.
      const int w = wait_input(IDLE_POLL_MS);
      if (w == BRIDGE_STOP) return BRIDGE_STOP;
      if (w == 1) {
        if (redisBufferRead(p_ctx) != REDIS_OK) {
          why_context();
          return BRIDGE_FAIL;
        }
        void* reply = nullptr;
        if (redisGetReplyFromReader(p_ctx, &reply) != REDIS_OK || reply != nullptr) {
          if (reply != nullptr) freeReplyObject(reply);
          snprintf(why, sizeof why, "unexpected data from Redis");
          return BRIDGE_FAIL;
        }
      }
      continue;
    }
    int done = 0;
    while (!done) {
      if (redisBufferWrite(p_ctx, &done) != REDIS_OK) {
        why_context();
        return BRIDGE_FAIL;
      }
    }
    // Every reply before the next batch; meanwhile the hub link fills the
    // buffer with the next one.
    while (in_flight != 0) {
      void* r = nullptr;
      if (redisGetReply(p_ctx, &r) != REDIS_OK || r == nullptr) {
        why_context();
        return BRIDGE_FAIL;
      }
      redisReply* reply = static_cast<redisReply*>(r);
      --in_flight;
      if (reply->type == REDIS_REPLY_INTEGER) {
        ++b.counters.to_redis;
        freeReplyObject(reply);
        continue;
      }
      if (reply->type == REDIS_REPLY_ERROR)
        snprintf(why, sizeof why, "PUBLISH refused: %.*s", int(reply->len > 160 ? 160 : reply->len), reply->str);
      else
        snprintf(why, sizeof why, "PUBLISH: unexpected reply");
      freeReplyObject(reply);
      ++b.counters.lost_redis_down;
      return BRIDGE_FAIL;
    }
  }
}

void G_REDIS_LINK::handle_message(void* r) {
  G_BRIDGE& b = *p_bridge;
  const redisReply* reply = static_cast<const redisReply*>(r);
  // Only ["message", our channel, payload] carries anything to relay.
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 3 || !is_string(reply->element[0], "message") ||
      !is_string(reply->element[1], b.opt.channel) || reply->element[2]->type != REDIS_REPLY_STRING)
    return;
  const redisReply* m = reply->element[2];
  uint8_t type = 0;
  const char* payload = nullptr;
  size_t len = 0;
  const int d = fed_decode(m->str, m->len, b.instance_id, type, payload, len);
  if (d == FED_OWN) return;
  if (d != FED_OK) {
    ++b.counters.rejected;
    return;
  }
  ++b.counters.from_redis;
  if (!b.hub.b_up.load()) {
    ++b.counters.dropped_hub_down;
    return;
  }
  if (len > b.max_message) {
    ++b.counters.too_large;
    return;
  }
  uint64_t dropped = 0;
  bool was_empty = false;
  const int p = b.ring_to_hub.push(nullptr, 0, payload, len, type, true, &dropped, &was_empty);
  if (dropped != 0) b.counters.dropped_full += dropped;
  if (p != G_RING::RING_OK) {
    ++b.counters.too_large;
    return;
  }
  if (was_empty) b.hub.wake.signal();
}

int G_REDIS_LINK::serve_subscribe() {
  const size_t pending_max = p_bridge->max_message + FED_HEADER_SIZE + REPLY_FRAMING_MAX;
  for (;;) {
    const int w = wait_input(IDLE_POLL_MS);
    if (w == BRIDGE_STOP) return BRIDGE_STOP;
    if (w == 0) continue;
    if (redisBufferRead(p_ctx) != REDIS_OK) {
      why_context();
      return BRIDGE_FAIL;
    }
    for (;;) {
      void* reply = nullptr;
      if (redisGetReplyFromReader(p_ctx, &reply) != REDIS_OK) {
        why_context();
        return BRIDGE_FAIL;
      }
      if (reply == nullptr) break;
      handle_message(reply);
      freeReplyObject(reply);
    }
    // hiredis holds a reply until it is whole, however large: anyone who
    // can publish on the channel could make it take any amount of memory.
    // A reply that outgrows the largest message we relay ends the
    // connection instead.
    const redisReader* rd = p_ctx->reader;
    if (rd->len - rd->pos > pending_max) {
      ++p_bridge->counters.too_large;
      snprintf(why, sizeof why, "a message on the channel is larger than %zu bytes", p_bridge->max_message);
      return BRIDGE_FAIL;
    }
  }
}
