// The bridge's two Redis roles: the writer (claim, append, position) and
// the reader (blocking reads from the stream, or the pub/sub channel).
#include "bridge/g_redis_link.hpp"

#include <hiredis/hiredis.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bridge/g_bridge.hpp"
#include "support/g_notify.hpp"

namespace {

constexpr int IDLE_POLL_MS = 1000;
constexpr uint64_t DROP_LOG_MS = 1000;  // at most one line a second per kind
constexpr size_t COMMAND_ROOM = 32768;  // commands besides the messages

// Claims KEYS[1] for ARGV[1] for ARGV[2] ms, or renews it: 1, or the value
// of the bridge that holds it.
const char CLAIM_SCRIPT[] =
    "local v = redis.call('GET', KEYS[1]) "
    "if v and v ~= ARGV[1] then return v end "
    "redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2]) "
    "return 1";

// The saved position KEYS[1]; for a hub without one, the stream KEYS[2]'s
// newest entry (0-0 when empty), saved for ARGV[1] ms.
const char POSITION_SCRIPT[] =
    "local p = redis.call('GET', KEYS[1]) "
    "if p then return p end "
    "local last = redis.call('XREVRANGE', KEYS[2], '+', '-', 'COUNT', 1) "
    "if last[1] then p = last[1][1] else p = '0-0' end "
    "redis.call('SET', KEYS[1], p, 'PX', ARGV[1]) "
    "return p";

// Gives KEYS[1] up if ARGV[1] holds it.
const char RELEASE_SCRIPT[] =
    "if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('DEL', KEYS[1]) end "
    "return 1";

// The id of the entry after ARGV[1] in KEYS[1], without the entry itself.
const char NEXT_ID_SCRIPT[] =
    "local r = redis.call('XRANGE', KEYS[1], '(' .. ARGV[1], '+', 'COUNT', 1) "
    "if r[1] then return r[1][1] end "
    "return false";

// Kinds of queued writer commands, to judge their replies.
enum WRITE_KIND_E : int { KIND_XADD = 0, KIND_PUBLISH = 1, KIND_SET = 2, KIND_INTEGER = 3 };

bool is_entry_id(const redisReply* r, uint64_t& ms, uint64_t& seq) {
  return r != nullptr && r->type == REDIS_REPLY_STRING && stream_id_parse(r->str, r->len, ms, seq) == 0;
}

}  // namespace

G_REDIS_LINK::~G_REDIS_LINK() { close(); }

int G_REDIS_LINK::init(G_BRIDGE* owner, int r) {
  p_bridge = owner;
  role = r;
  const size_t msg = owner->max_message + FED_HEADER_SIZE;
  size_t reply_bytes = 2 * msg + 64 * 1024;
  if (reply_bytes < (size_t(1) << 20)) reply_bytes = size_t(1) << 20;
  const size_t out = role == ROLE_WRITE ? BATCH_BYTES + msg + COMMAND_ROOM : COMMAND_ROOM;
  if (rc.init(out, reply_bytes) != 0 || wake.init() != 0) {
    snprintf(why, sizeof why, "cannot set up the Redis links: out of memory");
    return -1;
  }
  const BRIDGE_OPTIONS& o = owner->opt;
  endpoint = owner->redis;
  if (o.b_redis_tls) {
    // One context per link: its certificate store and caches are then
    // touched by one thread only.
    char err[200];
    p_tls = conn_tls_context(o.redis_ca, o.redis_cert, o.redis_key, err, sizeof err);
    if (p_tls == nullptr) {
      snprintf(why, sizeof why, "redis TLS: %s", err);
      return -1;
    }
    endpoint.tls = p_tls;
  }
  snprintf(claim_value, sizeof claim_value, "bridge %016llx (%s %.60s)", (unsigned long long)owner->instance_id,
           o.transport == TRANSPORT_STREAMS ? "stream" : "channel", o.channel);
  return 0;
}

void G_REDIS_LINK::close() {
  drop_connection();
  rc.close();
  wake.close();
  if (p_tls != nullptr) SSL_CTX_free(p_tls);
  p_tls = nullptr;
}

int G_REDIS_LINK::start() { return thread.create(&G_REDIS_LINK::thread_main, this); }

int G_REDIS_LINK::join() { return thread.wait(); }

void* G_REDIS_LINK::thread_main(void* self) {
  static_cast<G_REDIS_LINK*>(self)->run();
  return nullptr;
}

const wchar_t* G_REDIS_LINK::role_name() const {
  if (role == ROLE_WRITE) return p_bridge->opt.transport == TRANSPORT_STREAMS ? L"append" : L"publish";
  return p_bridge->opt.transport == TRANSPORT_STREAMS ? L"read" : L"subscribe";
}

void G_REDIS_LINK::run() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  BRIDGE_BACKOFF backoff;
  bool b_reported = false;
  bool b_ever_up = false;
  while (!b.b_stop.load()) {
    int r = open_connection();
    if (r == BRIDGE_STOP) break;
    if (r == BRIDGE_OK) {
      b_up.store(true);
      backoff.reset();
      b_reported = false;
      if (b_ever_up) ++(role == ROLE_WRITE ? b.counters.reconnects_publish : b.counters.reconnects_read);
      b_ever_up = true;
      bridge_log(L":: redis %s:%u up (%ls %s)\n", o.redis_host, unsigned(o.redis_port), role_name(), o.channel);
      if (b.hub.b_up.load() && b.pub.b_up.load() && b.sub.b_up.load()) g_notify_ready_once();  // both ways
      if (role == ROLE_WRITE) {
        r = serve_write();
        if (r == BRIDGE_STOP) finish();
      }
      else if (o.transport == TRANSPORT_STREAMS)
        r = serve_read_stream();
      else
        r = serve_read_channel();
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
  rc.drop();
  if (role != ROLE_WRITE || p_bridge == nullptr) return;
  G_BRIDGE& b = *p_bridge;
  if (b.opt.transport == TRANSPORT_STREAMS) {
    // Unanswered appends go again on the next connection.
    b.ring_to_redis.rewind();
    return;
  }
  // Pub/sub: what was written without an answer, and what waits, is lost.
  b.counters.lost_redis_down += b.ring_to_redis.clear();
  // The hub link may wait for room: there is room now, and while this link
  // is down it counts instead of queueing.
  if (was_up || b.hub.b_wait_room.load()) {
    b.hub.b_wait_room.store(false);
    b.hub.wake.signal();
  }
}

int G_REDIS_LINK::open_connection() {
  G_BRIDGE& b = *p_bridge;
  why[0] = 0;
  int r = rc.open(endpoint, CONNECT_TIMEOUT_MS, wake, b.b_stop);
  if (r != BRIDGE_OK) {
    snprintf(why, sizeof why, "%s", rc.why);
    return r;
  }
  const uint64_t deadline = bridge_now_ms() + IO_TIMEOUT_MS;
  redisReply* reply = nullptr;
  if (role == ROLE_WRITE || b.opt.transport == TRANSPORT_STREAMS) {
    // A PING proves the connection usable before the link counts as up
    // (a server that wants a password answers NOAUTH).
    const char* ping[1] = {"PING"};
    const size_t ping_len[1] = {4};
    r = rc.command(1, ping, ping_len, &reply, deadline, wake, b.b_stop);
    if (r != BRIDGE_OK) {
      snprintf(why, sizeof why, "%s", rc.why);
      return r;
    }
    const bool ok = redis_is(reply, "PONG");
    if (!ok) redis_why_reply(why, sizeof why, "PING", reply);
    freeReplyObject(reply);
    return ok ? BRIDGE_OK : BRIDGE_FAIL;
  }
  const char* argv[2] = {"SUBSCRIBE", b.opt.channel};
  const size_t lens[2] = {9, strlen(b.opt.channel)};
  r = rc.command(2, argv, lens, &reply, deadline, wake, b.b_stop);
  if (r != BRIDGE_OK) {
    snprintf(why, sizeof why, "%s", rc.why);
    return r;
  }
  const bool ok = reply->type == REDIS_REPLY_ARRAY && reply->elements == 3 && redis_is(reply->element[0], "subscribe");
  if (!ok) redis_why_reply(why, sizeof why, "SUBSCRIBE", reply);
  freeReplyObject(reply);
  return ok ? BRIDGE_OK : BRIDGE_FAIL;
}

// ---- the writer ----------------------------------------------------------

int G_REDIS_LINK::claim_hub(uint64_t id, bool* held) {
  G_BRIDGE& b = *p_bridge;
  snprintf(claim_key, sizeof claim_key, "relayhub-bridge:hub:%016llx", (unsigned long long)id);
  char ttl[16];
  snprintf(ttl, sizeof ttl, "%u", CLAIM_TTL_MS);
  const char* argv[6] = {"EVAL", CLAIM_SCRIPT, "1", claim_key, claim_value, ttl};
  const size_t lens[6] = {4, sizeof CLAIM_SCRIPT - 1, 1, strlen(claim_key), strlen(claim_value), strlen(ttl)};
  redisReply* reply = nullptr;
  const int r = rc.command(6, argv, lens, &reply, bridge_now_ms() + IO_TIMEOUT_MS, wake, b.b_stop);
  if (r != BRIDGE_OK) {
    snprintf(why, sizeof why, "%s", rc.why);
    return r;
  }
  int result = BRIDGE_OK;
  if (reply->type == REDIS_REPLY_INTEGER && reply->integer == 1) {
    *held = true;
  } else if (reply->type == REDIS_REPLY_STRING) {
    *held = false;
    SESSION_LOCK guard(b.session.lock);
    snprintf(b.session.holder, sizeof b.session.holder, "%.*s", int(reply->len > 150 ? 150 : reply->len),
             reply->str);
    bridge_printable(b.session.holder);
  } else {
    redis_why_reply(why, sizeof why, "claiming the hub (EVAL)", reply);
    result = BRIDGE_FAIL;
  }
  freeReplyObject(reply);
  return result;
}

int G_REDIS_LINK::start_position(uint64_t id, STREAM_ID& start, G_ORIGINS& seen) {
  G_BRIDGE& b = *p_bridge;
  set_keys(id);
  char ttl[16];
  snprintf(ttl, sizeof ttl, "%u", POSITION_TTL_MS);
  const char* argv[6] = {"EVAL", POSITION_SCRIPT, "2", pos_key, b.opt.channel, ttl};
  const size_t lens[6] = {4, sizeof POSITION_SCRIPT - 1, 1, strlen(pos_key), strlen(b.opt.channel), strlen(ttl)};
  redisReply* reply = nullptr;
  const int r = rc.command(6, argv, lens, &reply, bridge_now_ms() + IO_TIMEOUT_MS, wake, b.b_stop);
  if (r != BRIDGE_OK) {
    snprintf(why, sizeof why, "%s", rc.why);
    return r;
  }
  const bool ok = is_entry_id(reply, start.ms, start.seq);
  if (!ok) redis_why_reply(why, sizeof why, "reading the position (EVAL)", reply);
  freeReplyObject(reply);
  if (!ok) return BRIDGE_FAIL;
  // The numbers seen as far as that position (none for a new hub).
  seen.clear();
  const char* get[2] = {"HGETALL", seen_key};
  const size_t get_lens[2] = {7, strlen(seen_key)};
  const int g = rc.command(2, get, get_lens, &reply, bridge_now_ms() + IO_TIMEOUT_MS, wake, b.b_stop);
  if (g != BRIDGE_OK) {
    snprintf(why, sizeof why, "%s", rc.why);
    return g;
  }
  if (reply->type != REDIS_REPLY_ARRAY) {
    redis_why_reply(why, sizeof why, "reading the numbers seen (HGETALL)", reply);
    freeReplyObject(reply);
    return BRIDGE_FAIL;
  }
  for (size_t i = 0; i + 1 < reply->elements; i += 2) {
    const redisReply* f = reply->element[i];
    const redisReply* v = reply->element[i + 1];
    uint64_t bridge = 0;
    uint64_t last = 0;
    if (f->type != REDIS_REPLY_STRING || v->type != REDIS_REPLY_STRING || hex64_parse(f->str, f->len, bridge) != 0 ||
        v->len == 0 || v->len > 20)
      continue;
    size_t k = 0;
    while (k < v->len && v->str[k] >= '0' && v->str[k] <= '9') last = last * 10 + uint64_t(v->str[k++] - '0');
    if (k == v->len) seen.set(bridge, last);
  }
  freeReplyObject(reply);
  return BRIDGE_OK;
}

void G_REDIS_LINK::set_keys(uint64_t id) {
  const char* channel = p_bridge->opt.channel;
  snprintf(pos_key, sizeof pos_key, "%s:position:%016llx", channel, (unsigned long long)id);
  snprintf(seen_key, sizeof seen_key, "%s:seen:%016llx", channel, (unsigned long long)id);
  pos_key_hub = id;
}

void G_REDIS_LINK::finish() {
  G_BRIDGE& b = *p_bridge;
  if (claimed_hub == 0 || !rc.is_open()) return;
  // The bridge is stopping, and Redis is there: record how far the hub
  // link got (once it has written its last), so that the next bridge of
  // this hub goes on from exactly there, and give the claim up, so that a
  // bridge standing by need not wait for it to run out. Briefly, and
  // whatever the stop flag says.
  const std::atomic<bool> go_on{false};
  const uint64_t deadline = bridge_now_ms() + FINISH_TIMEOUT_MS;
  while (!b.hub.b_done.load() && bridge_now_ms() < deadline) wake.wait(10, go_on);
  // The answers still owed, then (Streams) what the hub relayed and waits:
  // nothing read from the hub is left behind by a clean stop.
  if (rc.flush(deadline, wake, go_on) != BRIDGE_OK) return;
  for (;;) {
    if (bridge_now_ms() >= deadline) return;
    size_t acked = 0;
    while (kinds_tail != kinds_head) {
      redisReply* reply = nullptr;
      if (rc.reply(&reply, deadline, wake, go_on) != BRIDGE_OK) return;
      const int h = handle_reply(kinds[kinds_head % KINDS_MAX], kind_count[kinds_head % KINDS_MAX], reply, &acked);
      ++kinds_head;
      freeReplyObject(reply);
      if (h != BRIDGE_OK) return;
    }
    if (acked != 0) {
      b.ring_to_redis.forget(acked);
      b.counters.to_redis += acked;
    }
    if (b.opt.transport != TRANSPORT_STREAMS || b.ring_to_redis.count() == 0) break;
    const size_t channel_len = strlen(b.opt.channel);
    while (kinds_tail - kinds_head < BATCH_MESSAGES) {
      const int p = b.ring_to_redis.peek_next([&](const char* data, size_t len, uint32_t) {
        const char* argv[5] = {"XADD", b.opt.channel, "*", "m", data};
        const size_t lens[5] = {4, channel_len, 1, 1, len};
        return rc.append(5, argv, lens) == 0;
      });
      if (p != G_RING::POP_TAKEN) break;
      kinds[kinds_tail % KINDS_MAX] = uint8_t(KIND_XADD);
      kind_count[kinds_tail++ % KINDS_MAX] = 1;
    }
    if (rc.flush(deadline, wake, go_on) != BRIDGE_OK) return;
  }
  size_t n_save = 0;
  if (b.opt.transport == TRANSPORT_STREAMS && pos_key_hub == claimed_hub) {
    STREAM_ID saving;
    size_t n_seen = 0;
    bool dirty = false;
    {
      SESSION_LOCK guard(b.session.lock);
      dirty = b.session.b_written_dirty && b.session.claim_session == claimed_session &&
              b.session.claim == BRIDGE_SESSION::CLAIM_HELD;
      if (dirty) {
        saving = b.session.written;
        n_seen = b.session.written_origins.take_changed(seen_bridges, seen_lasts, G_ORIGINS::ORIGINS_MAX, true);
        b.session.b_written_dirty = false;
      }
    }
    if (dirty && append_save(saving, n_seen, true, &n_save) != 0) n_save = 0;
  }
  const char* argv[5] = {"EVAL", RELEASE_SCRIPT, "1", claim_key, claim_value};
  const size_t lens[5] = {4, sizeof RELEASE_SCRIPT - 1, 1, strlen(claim_key), strlen(claim_value)};
  if (rc.append(5, argv, lens) != 0 || rc.flush(deadline, wake, go_on) != BRIDGE_OK) return;
  for (size_t i = 0; i <= n_save; ++i) {
    redisReply* reply = nullptr;
    if (rc.reply(&reply, deadline, wake, go_on) != BRIDGE_OK) return;
    freeReplyObject(reply);
  }
  claimed_hub = 0;
}

int G_REDIS_LINK::tend_claim(bool b_force) {
  G_BRIDGE& b = *p_bridge;
  const bool streams = b.opt.transport == TRANSPORT_STREAMS;
  uint64_t session = 0;
  uint64_t id = 0;
  STREAM_ID written;
  {
    SESSION_LOCK guard(b.session.lock);
    session = b.session.hub_session;
    id = b.session.hub_id;
    written = b.session.written;
  }
  if (session == 0) return BRIDGE_OK;  // no hub yet
  const uint64_t now = bridge_now_ms();
  if (session != claimed_session) {
    bool held = false;
    int r = claim_hub(id, &held);
    if (r != BRIDGE_OK) return r;
    STREAM_ID start;
    bool fresh = false;
    if (held && streams) {
      // The same hub again (a dropped connection): on from what was
      // written into it. A hub new to this process: from its saved
      // position, or from the newest entry when it has none.
      if (id == pos_key_hub && !(written == STREAM_ID{})) {
        start = written;
      } else {
        r = start_position(id, start, loaded);
        if (r != BRIDGE_OK) return r;
        fresh = true;
      }
      b_seen_full = true;
    }
    {
      SESSION_LOCK guard(b.session.lock);
      if (b.session.hub_session == session) {
        b.session.claim_session = session;
        b.session.claim = held ? BRIDGE_SESSION::CLAIM_HELD : BRIDGE_SESSION::CLAIM_REFUSED;
        if (held) {
          ++b.session.epoch;
          b.session.start = start;
          if (fresh) {
            b.session.written = start;
            b.session.written_origins = loaded;
            b.session.b_written_dirty = false;
          }
        }
      }
    }
    claimed_session = session;
    claimed_hub = held ? id : 0;
    renew_at_ms = now + CLAIM_RENEW_MS;
    b.hub.wake.signal();
    b.sub.wake.signal();
    return BRIDGE_OK;
  }
  if (claimed_hub == 0 || (!b_force && now < renew_at_ms)) return BRIDGE_OK;
  bool held = false;
  const int r = claim_hub(claimed_hub, &held);
  if (r != BRIDGE_OK) return r;
  renew_at_ms = now + CLAIM_RENEW_MS;
  if (held) return BRIDGE_OK;
  // Lost while Redis was away (or restarted): another bridge has the hub.
  {
    SESSION_LOCK guard(b.session.lock);
    if (b.session.claim_session == session) b.session.claim = BRIDGE_SESSION::CLAIM_REFUSED;
  }
  claimed_hub = 0;
  b.hub.wake.signal();
  b.sub.wake.signal();
  return BRIDGE_OK;
}

int G_REDIS_LINK::append_save(const STREAM_ID& at, size_t n_seen, bool full, size_t* commands) {
  char id[48];
  char ttl[16];
  const size_t id_len = stream_id_format(id, at.ms, at.seq);
  snprintf(ttl, sizeof ttl, "%u", POSITION_TTL_MS);
  const char* set[5] = {"SET", pos_key, id, "PX", ttl};
  const size_t set_lens[5] = {3, strlen(pos_key), id_len, 2, strlen(ttl)};
  if (rc.append(5, set, set_lens) != 0) return -1;
  *commands = 1;
  if (full) {
    const char* del[2] = {"DEL", seen_key};
    const size_t del_lens[2] = {3, strlen(seen_key)};
    if (rc.append(2, del, del_lens) != 0) return -1;
    ++*commands;
  }
  if (n_seen != 0) {
    static constexpr size_t ARGS = 2 + 2 * G_ORIGINS::ORIGINS_MAX;
    const char* argv[ARGS];
    size_t lens[ARGS];
    argv[0] = "HSET";
    lens[0] = 4;
    argv[1] = seen_key;
    lens[1] = strlen(seen_key);
    for (size_t i = 0; i < n_seen; ++i) {
      lens[2 + 2 * i] = size_t(snprintf(seen_text[i][0], sizeof seen_text[i][0], "%016llx",
                                        (unsigned long long)seen_bridges[i]));
      lens[3 + 2 * i] = size_t(snprintf(seen_text[i][1], sizeof seen_text[i][1], "%llu",
                                        (unsigned long long)seen_lasts[i]));
      argv[2 + 2 * i] = seen_text[i][0];
      argv[3 + 2 * i] = seen_text[i][1];
    }
    if (rc.append(int(2 + 2 * n_seen), argv, lens) != 0) return -1;
    ++*commands;
  }
  const char* expire[3] = {"PEXPIRE", seen_key, ttl};
  const size_t expire_lens[3] = {7, strlen(seen_key), strlen(ttl)};
  if (rc.append(3, expire, expire_lens) != 0) return -1;
  ++*commands;
  return 0;
}

int G_REDIS_LINK::handle_reply(int kind, size_t count, const redisReply* reply, size_t* acked) {
  uint64_t ms = 0;
  uint64_t seq = 0;
  switch (kind) {
    case KIND_XADD:
      if (!is_entry_id(reply, ms, seq)) break;
      // Redis' clock against ours: ids are Redis' time, the trim's too.
      redis_clock_offset_ms = int64_t(ms) - int64_t(bridge_wall_ms());
      b_redis_clock = true;
      *acked += count;
      return BRIDGE_OK;
    case KIND_PUBLISH:
      if (reply->type != REDIS_REPLY_INTEGER) break;
      *acked += count;
      return BRIDGE_OK;
    case KIND_SET:
      if (!redis_is(reply, "OK")) break;
      return BRIDGE_OK;
    default:
      if (reply->type != REDIS_REPLY_INTEGER) break;
      return BRIDGE_OK;
  }
  redis_why_reply(why, sizeof why,
                  kind == KIND_XADD      ? "XADD"
                  : kind == KIND_PUBLISH ? "PUBLISH"
                  : kind == KIND_SET     ? "saving the position (SET)"
                                         : "saving the numbers seen (HSET)",
                  reply);
  return BRIDGE_FAIL;
}

int G_REDIS_LINK::serve_write() {
  G_BRIDGE& b = *p_bridge;
  const int r = serve_write_pipelined();
  if (r != BRIDGE_OK && r != BRIDGE_STOP) {
    // What was being saved may not have been: all of it again next time.
    b_seen_full = true;
    SESSION_LOCK guard(b.session.lock);
    b.session.b_written_dirty = true;
  }
  return r;
}

int G_REDIS_LINK::serve_write_pipelined() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  const bool streams = o.transport == TRANSPORT_STREAMS;
  const size_t channel_len = strlen(o.channel);
  const uint64_t retention_ms = uint64_t(o.retention_s) * 1000u;
  kinds_head = kinds_tail = 0;
  // A new connection may reach a Redis that restarted without the claim.
  int r = tend_claim(true);
  if (r != BRIDGE_OK) return r;
  uint64_t answer_due = 0;  // while answers are owed: the latest time for the next
  for (;;) {
    if (b.b_stop.load()) return BRIDGE_STOP;
    const size_t owed = kinds_tail - kinds_head;
    // Claims go one command at a time, with nothing else in flight.
    if (owed == 0 && rc.pending() == 0) {
      r = tend_claim(false);
      if (r != BRIDGE_OK) return r;
    }
    const bool claim_due = claimed_hub != 0 && bridge_now_ms() >= renew_at_ms;
    bool progress = false;

    // More appends while fewer than a window are unanswered: Redis works
    // on one batch while the next is on its way and the answers to the
    // one before come back.
    size_t batch = 0;
    if (!claim_due) {
      char minid[32];
      const int64_t redis_now = int64_t(bridge_wall_ms()) + redis_clock_offset_ms;
      const bool trim = streams && b_redis_clock && redis_now > int64_t(retention_ms);
      if (trim) snprintf(minid, sizeof minid, "%llu", (unsigned long long)(redis_now - int64_t(retention_ms)));
      while (kinds_tail - kinds_head < WINDOW_COMMANDS && batch < BATCH_MESSAGES) {
        // Streams: the messages waiting go into one entry, a field "m"
        // each, up to ENTRY_MESSAGES or ENTRY_BYTES: Redis and the readers
        // then work per entry rather than per message.
        const size_t fixed = trim ? 7 : 5;
        size_t n = 0;
        size_t bytes = 0;
        size_t need = 16 + 24 * fixed + channel_len + 64;
        const size_t room = rc.free_room();
        for (;;) {
          if (n == (streams ? ENTRY_MESSAGES : 1)) break;
          const int p = b.ring_to_redis.peek_next([&](const char* data, size_t len, uint32_t) {
            const size_t more = streams ? 2 * 24 + 5 + len : 16 + 3 * 24 + 7 + channel_len + len;
            if (n != 0 && bytes + len > ENTRY_BYTES) return false;
            if (need + more > room) return false;
            entry_data[n] = data;
            entry_len[n] = len;
            ++n;
            bytes += len;
            need += more;
            return true;
          });
          if (p != G_RING::POP_TAKEN) break;
        }
        if (n == 0) break;
        int appended = 0;
        if (streams) {
          size_t argc = 0;
          entry_argv[argc] = "XADD";
          entry_lens[argc++] = 4;
          entry_argv[argc] = o.channel;
          entry_lens[argc++] = channel_len;
          if (trim) {
            // Exact trimming: an entry stays for the retention, and goes
            // with the first append after it (an approximate trim keeps
            // whole blocks of entries for longer).
            entry_argv[argc] = "MINID";
            entry_lens[argc++] = 5;
            entry_argv[argc] = minid;
            entry_lens[argc++] = strlen(minid);
          }
          entry_argv[argc] = "*";
          entry_lens[argc++] = 1;
          // One message: field "m"; several: field "b", each message after
          // its length, so that Redis stores and sends one value.
          entry_argv[argc] = n == 1 ? "m" : "b";
          entry_lens[argc++] = 1;
          if (n == 1) {
            entry_argv[argc] = entry_data[0];
            entry_lens[argc++] = entry_len[0];
            appended = rc.append(int(argc), entry_argv, entry_lens);
          } else {
            appended = rc.append_packed(int(argc), entry_argv, entry_lens, n, entry_data, entry_len);
          }
        } else {
          const char* argv[3] = {"PUBLISH", o.channel, entry_data[0]};
          const size_t lens[3] = {7, channel_len, entry_len[0]};
          appended = rc.append(3, argv, lens);
        }
        if (appended != 0) {  // cannot be: the room was counted
          snprintf(why, sizeof why, "the out buffer is full");
          return BRIDGE_FAIL;
        }
        kinds[kinds_tail % KINDS_MAX] = uint8_t(streams ? KIND_XADD : KIND_PUBLISH);
        kind_count[kinds_tail++ % KINDS_MAX] = uint16_t(n);
        batch += n;
      }
      // The position of the last entry written into the hub goes along.
      if (streams && claimed_hub != 0 && pos_key_hub == claimed_hub && kinds_tail - kinds_head < WINDOW_COMMANDS) {
        STREAM_ID saving;
        size_t n_seen = 0;
        bool full = b_seen_full;
        bool save = false;
        {
          SESSION_LOCK guard(b.session.lock);
          if (b.session.b_written_dirty && b.session.claim_session == claimed_session &&
              b.session.claim == BRIDGE_SESSION::CLAIM_HELD) {
            saving = b.session.written;
            // A bridge forgotten to make room is dropped from Redis' copy too.
            if (b.session.written_origins.evictions != seen_evictions) full = true;
            seen_evictions = b.session.written_origins.evictions;
            n_seen = b.session.written_origins.take_changed(seen_bridges, seen_lasts, G_ORIGINS::ORIGINS_MAX, full);
            b.session.b_written_dirty = false;
            save = true;
          }
        }
        if (save) {
          size_t n_save = 0;
          b_seen_full = false;
          if (append_save(saving, n_seen, full, &n_save) != 0) {
            snprintf(why, sizeof why, "the position does not fit the out buffer");
            return BRIDGE_FAIL;
          }
          for (size_t i = 0; i < n_save; ++i) {
            kinds[kinds_tail % KINDS_MAX] = uint8_t(i == 0 ? KIND_SET : KIND_INTEGER);
            kind_count[kinds_tail++ % KINDS_MAX] = 0;
          }
          progress = true;
        }
      }
    }
    if (batch != 0) progress = true;
    if (kinds_tail != kinds_head && answer_due == 0) answer_due = bridge_now_ms() + IO_TIMEOUT_MS;

    // Write what the socket takes now.
    bool want_write = false;
    while (rc.pending() != 0) {
      const int w = rc.write_some();
      if (w == BRIDGE_FAIL) {
        snprintf(why, sizeof why, "%s", rc.why);
        return BRIDGE_FAIL;
      }
      if (w == 0) {
        want_write = true;
        break;
      }
      progress = true;
    }

    // Take the answers that are there.
    if (kinds_tail != kinds_head) {
      size_t acked = 0;
      int f = G_REDIS_CONN::FILL_MORE;
      while (f == G_REDIS_CONN::FILL_MORE && kinds_tail != kinds_head) {
        f = rc.fill();
        if (f == BRIDGE_FAIL) {
          snprintf(why, sizeof why, "%s", rc.why);
          return BRIDGE_FAIL;
        }
        for (;;) {
          redisReply* reply = nullptr;
          const int t = rc.take(&reply);
          if (t == 0) break;
          if (t != 1) {
            snprintf(why, sizeof why, "%s", rc.why);
            return BRIDGE_FAIL;
          }
          if (kinds_tail == kinds_head) {
            freeReplyObject(reply);
            snprintf(why, sizeof why, "unexpected data from Redis");
            return BRIDGE_FAIL;
          }
          const int h = handle_reply(kinds[kinds_head % KINDS_MAX], kind_count[kinds_head % KINDS_MAX], reply,
                                     &acked);
          ++kinds_head;
          freeReplyObject(reply);
          if (h != BRIDGE_OK) return BRIDGE_FAIL;
          answer_due = kinds_tail != kinds_head ? bridge_now_ms() + IO_TIMEOUT_MS : 0;
        }
      }
      if (acked != 0) {
        b.ring_to_redis.forget(acked);
        b.counters.to_redis += acked;
        progress = true;
        if (b.hub.b_wait_room.exchange(false)) b.hub.wake.signal();
      }
    }
    if (progress) continue;

    // Nothing to do now: wait for the socket, for work, or for the claim.
    const uint64_t now = bridge_now_ms();
    if (answer_due != 0 && now >= answer_due) {
      snprintf(why, sizeof why, "no answer within %u ms", IO_TIMEOUT_MS);
      return BRIDGE_FAIL;
    }
    uint64_t until = now + IDLE_POLL_MS;
    if (claimed_hub != 0 && renew_at_ms < until) until = renew_at_ms > now ? renew_at_ms : now;
    if (answer_due != 0 && answer_due < until) until = answer_due;
    pollfd p[2] = {{rc.conn.so, short(POLLIN | (want_write ? POLLOUT : 0)), 0}, {wake.fd, POLLIN, 0}};
    const int n = poll(p, 2, int(until - now));
    if (n > 0 && (p[1].revents & POLLIN)) wake.drain();
    if (n > 0 && p[0].revents != 0 && kinds_tail == kinds_head && rc.pending() == 0) {
      // Readable with nothing owed: only its end, or something unasked for.
      if (rc.fill() == BRIDGE_FAIL) {
        snprintf(why, sizeof why, "%s", rc.why);
        return BRIDGE_FAIL;
      }
      redisReply* reply = nullptr;
      const int t = rc.take(&reply);
      if (t != 0) {
        if (t == 1) freeReplyObject(reply);
        snprintf(why, sizeof why, "%s", t == 1 ? "unexpected data from Redis" : rc.why);
        return BRIDGE_FAIL;
      }
    }
  }
}

// ---- the reader ----------------------------------------------------------

uint64_t G_REDIS_LINK::current_epoch(STREAM_ID* start) {
  G_BRIDGE& b = *p_bridge;
  SESSION_LOCK guard(b.session.lock);
  if (b.session.claim_session != b.session.hub_session || b.session.claim != BRIDGE_SESSION::CLAIM_HELD) return 0;
  hub_id = b.session.hub_id;
  if (start != nullptr && b.session.epoch != epoch) {
    *start = b.session.start;
    // Numbers as far as written into the hub: what is read again from the
    // start is no duplicate, and a gap before it is one.
    origins = b.session.written_origins;
  }
  return b.session.epoch;
}

bool G_REDIS_LINK::deliverable(const char* msg, size_t len) const {
  const G_BRIDGE& b = *p_bridge;
  FED_MESSAGE m;
  return fed_decode(msg, len, m) == FED_OK && m.bridge != b.instance_id && (hub_id == 0 || m.hub != hub_id) &&
         (m.seq == 0 || !origins.is_duplicate(m.bridge, m.seq)) && m.len <= b.hub_message_max.load();
}

void G_REDIS_LINK::deliver(const char* msg, size_t len, uint64_t ms, uint64_t seq, uint64_t epoch_now, bool b_end) {
  G_BRIDGE& b = *p_bridge;
  const bool streams = b.opt.transport == TRANSPORT_STREAMS;
  FED_MESSAGE m;
  if (fed_decode(msg, len, m) != FED_OK) {
    ++b.counters.rejected;
    return;
  }
  // Its own hub's messages, by whichever bridge of it: never back in.
  if (m.bridge == b.instance_id || (hub_id != 0 && m.hub == hub_id)) return;
  ++b.counters.from_redis;
  if (m.seq != 0) {
    uint64_t missed = 0;
    const int s = origins.see(m.bridge, m.seq, &missed);
    if (s == G_ORIGINS::SEQ_DUPLICATE) {
      ++b.counters.duplicates;
      return;
    }
    if (s == G_ORIGINS::SEQ_GAP) {
      b.counters.missed += missed;
      bridge_log(L"!! missed %llu message(s) of bridge %016llx (hub %016llx) before its number %llu%ls\n",
                 (unsigned long long)missed, (unsigned long long)m.bridge, (unsigned long long)m.hub,
                 (unsigned long long)m.seq,
                 streams ? L": they left the stream (--retention) before this bridge read them" : L"");
    }
  }
  const size_t limit = b.hub_message_max.load();
  if (m.len > limit) {
    ++b.counters.too_large;
    const uint64_t now = bridge_now_ms();
    if (now - last_drop_log_ms >= DROP_LOG_MS) {
      last_drop_log_ms = now;
      bridge_log(L"!! dropped a message of %zu bytes toward hub %s:%u: it takes at most %zu\n", m.len,
                 b.opt.hub_host, unsigned(b.opt.hub_port), limit);
    }
    return;
  }
  if (!streams && (epoch_now == 0 || !b.hub.b_up.load())) {
    ++b.counters.dropped_hub_down;
    return;
  }
  char id[G_HUB_LINK::RECORD_ID_SIZE];
  memcpy(id, &ms, 8);
  memcpy(id + 8, &seq, 8);
  memcpy(id + 16, &m.bridge, 8);
  memcpy(id + 24, &m.seq, 8);
  const uint64_t end = b_end ? 1 : 0;
  memcpy(id + 32, &end, 8);
  uint64_t dropped = 0;
  bool was_empty = false;
  const int p = b.ring_to_hub.push(id, sizeof id, m.payload, m.len, G_BRIDGE::record_aux(m.type, epoch_now), !streams,
                                   &dropped, &was_empty);
  if (dropped != 0) b.counters.dropped_full += dropped;
  if (p != G_RING::RING_OK) {
    ++b.counters.too_large;
    return;
  }
  if (was_empty) b.hub.wake.signal();
}

int G_REDIS_LINK::skip_entry() {
  G_BRIDGE& b = *p_bridge;
  char from[48];
  const size_t from_len = stream_id_format(from, read_ms, read_seq);
  const char* argv[5] = {"EVAL", NEXT_ID_SCRIPT, "1", b.opt.channel, from};
  const size_t lens[5] = {4, sizeof NEXT_ID_SCRIPT - 1, 1, strlen(b.opt.channel), from_len};
  redisReply* reply = nullptr;
  const int r = rc.command(5, argv, lens, &reply, bridge_now_ms() + IO_TIMEOUT_MS, wake, b.b_stop);
  if (r != BRIDGE_OK) {
    snprintf(why, sizeof why, "%s", rc.why);
    return r;
  }
  uint64_t ms = 0;
  uint64_t seq = 0;
  if (is_entry_id(reply, ms, seq)) {
    bridge_log(L"!! skipped stream entry %llu-%llu: larger than a reply this bridge takes\n",
               (unsigned long long)ms, (unsigned long long)seq);
    read_ms = ms;
    read_seq = seq;
    ++b.counters.too_large;
  }
  freeReplyObject(reply);
  b_skip_next = false;
  return BRIDGE_OK;
}

size_t G_REDIS_LINK::entry_pieces(const redisReply* fields) {
  G_BRIDGE& b = *p_bridge;
  size_t n = 0;
  bool bad = fields->type != REDIS_REPLY_ARRAY;
  for (size_t k = 0; !bad && k + 1 < fields->elements; k += 2) {
    const redisReply* f = fields->element[k];
    const redisReply* v = fields->element[k + 1];
    if (v->type != REDIS_REPLY_STRING) continue;
    if (redis_is(f, "m")) {
      if (n == PIECES_MAX) {
        bad = true;
        break;
      }
      piece[n] = v->str;
      piece_len[n++] = v->len;
    } else if (redis_is(f, "b")) {
      for (size_t at = 0; at < v->len;) {
        const uint8_t* h = reinterpret_cast<const uint8_t*>(v->str + at);
        const size_t len = v->len - at < 4 ? SIZE_MAX
                                           : (size_t(h[0]) << 24) | (size_t(h[1]) << 16) | (size_t(h[2]) << 8) | h[3];
        if (len > v->len - at - 4 || n == PIECES_MAX) {
          bad = true;
          break;
        }
        piece[n] = v->str + at + 4;
        piece_len[n++] = len;
        at += 4 + len;
      }
    }
  }
  // What is not made of whole messages is no bridge's entry.
  if (bad || n == 0) {
    ++b.counters.rejected;
    return 0;
  }
  return n;
}

int G_REDIS_LINK::serve_read_stream() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  const size_t reply_budget = 2 * (b.max_message + FED_HEADER_SIZE) + 64 * 1024;
  for (;;) {
    if (b.b_stop.load()) return BRIDGE_STOP;
    STREAM_ID start;
    const uint64_t e = current_epoch(&start);
    if (e == 0) {  // the claim is pending (or refused): nothing to read for
      if (wake.wait(IDLE_POLL_MS, b.b_stop) == BRIDGE_STOP) return BRIDGE_STOP;
      continue;
    }
    if (e != epoch) {
      epoch = e;
      read_ms = start.ms;
      read_seq = start.seq;
      partial_ms = partial_seq = 0;
      partial_k = 0;
    }
    if (b_skip_next) {
      const int r = skip_entry();
      if (r != BRIDGE_OK) return r;
    }
    // Read only as fast as the hub takes: past half the buffer, wait.
    if (b.ring_to_hub.bytes() > o.buffer_bytes / 2) {
      b.hub.b_reader_wait.store(true);
      if (b.ring_to_hub.bytes() > o.buffer_bytes / 2 && wake.wait(IDLE_POLL_MS, b.b_stop) == BRIDGE_STOP)
        return BRIDGE_STOP;
      continue;
    }
    // As many entries as one reply may hold, judged by the largest seen.
    size_t count = reply_budget / (entry_max_seen + 512);
    // And no more than there is room for toward the hub: what does not fit
    // would only be read again.
    const size_t used = b.ring_to_hub.bytes();
    const size_t room = o.buffer_bytes > used ? size_t(o.buffer_bytes - used) : 0;
    if (room / (entry_max_seen + 512) < count) count = room / (entry_max_seen + 512);
    if (count > XREAD_COUNT_MAX) count = XREAD_COUNT_MAX;
    if (count == 0) count = 1;
    char count_text[16];
    char block_text[16];
    char from[48];
    snprintf(count_text, sizeof count_text, "%zu", count);
    snprintf(block_text, sizeof block_text, "%u", XREAD_BLOCK_MS);
    const size_t from_len = stream_id_format(from, read_ms, read_seq);
    const char* argv[8] = {"XREAD", "COUNT", count_text, "BLOCK", block_text, "STREAMS", o.channel, from};
    const size_t lens[8] = {5, 5, strlen(count_text), 5, strlen(block_text), 7, strlen(o.channel), from_len};
    redisReply* reply = nullptr;
    const int r = rc.command(8, argv, lens, &reply, bridge_now_ms() + XREAD_BLOCK_MS + IO_TIMEOUT_MS, wake, b.b_stop);
    if (r != BRIDGE_OK) {
      snprintf(why, sizeof why, "%s", rc.why);
      if (strstr(rc.why, "over the limit") != nullptr || strstr(rc.why, "larger than") != nullptr) {
        // Fewer entries next time; one alone that large is skipped.
        if (count > 1)
          entry_max_seen = reply_budget;
        else
          b_skip_next = true;
      }
      return r;
    }
    if (reply->type == REDIS_REPLY_NIL) {  // BLOCK ran out: nothing new
      freeReplyObject(reply);
      continue;
    }
    // [[key, [[id, [field, value, ...]], ...]]]
    bool ok = reply->type == REDIS_REPLY_ARRAY && reply->elements == 1 &&
              reply->element[0]->type == REDIS_REPLY_ARRAY && reply->element[0]->elements == 2 &&
              reply->element[0]->element[1]->type == REDIS_REPLY_ARRAY;
    if (ok) {
      const redisReply* entries = reply->element[0]->element[1];
      for (size_t i = 0; i < entries->elements && ok; ++i) {
        const redisReply* entry = entries->element[i];
        uint64_t ms = 0;
        uint64_t seq = 0;
        if (entry->type != REDIS_REPLY_ARRAY || entry->elements != 2 || !is_entry_id(entry->element[0], ms, seq) ||
            entry->element[1]->type != REDIS_REPLY_ARRAY) {
          ok = false;
          break;
        }
        // An entry holds one message (field "m"), or several (field "b":
        // each after its length, 4 bytes big-endian).
        const size_t n = entry_pieces(entry->element[1]);
        size_t entry_len = 0;
        for (size_t k = 0; k < n; ++k) entry_len += piece_len[k] + 4;
        if (entry_len > entry_max_seen) entry_max_seen = entry_len;
        // Part of it went in already when it was read before.
        const size_t first = ms == partial_ms && seq == partial_seq ? partial_k : 0;
        size_t last = SIZE_MAX;  // the last one that will go into the hub
        for (size_t k = first; k < n; ++k) {
          piece_ok[k] = deliverable(piece[k], piece_len[k]);
          if (piece_ok[k]) last = k;
        }
        bool room = true;
        for (size_t k = first; k < n; ++k) {
          // Nothing is dropped toward Streams: with no room, the rest of
          // this entry is read again later. (What will not go in needs none.)
          room = !piece_ok[k] || b.ring_to_hub.fits(G_HUB_LINK::RECORD_ID_SIZE + piece_len[k]);
          if (!room) {
            partial_ms = ms;
            partial_seq = seq;
            partial_k = k;
            break;
          }
          deliver(piece[k], piece_len[k], ms, seq, e, k == last);
        }
        if (!room) break;
        read_ms = ms;
        read_seq = seq;
      }
    }
    freeReplyObject(reply);
    if (!ok) {
      snprintf(why, sizeof why, "XREAD: unexpected reply");
      return BRIDGE_FAIL;
    }
  }
}

int G_REDIS_LINK::serve_read_channel() {
  G_BRIDGE& b = *p_bridge;
  for (;;) {
    pollfd p[2] = {{rc.conn.so, POLLIN, 0}, {wake.fd, POLLIN, 0}};
    const int n = poll(p, 2, IDLE_POLL_MS);
    if (n > 0 && (p[1].revents & POLLIN)) wake.drain();
    if (b.b_stop.load()) return BRIDGE_STOP;
    if (n <= 0 || p[0].revents == 0) continue;
    for (;;) {  // a read at a time, each reply taken before the next
      const int f = rc.fill();
      if (f == BRIDGE_FAIL) {
        snprintf(why, sizeof why, "%s", rc.why);
        return BRIDGE_FAIL;
      }
      const uint64_t e = current_epoch(nullptr);
      for (;;) {
        redisReply* reply = nullptr;
        const int t = rc.take(&reply);
        if (t == 0) break;
        if (t != 1) {
          snprintf(why, sizeof why, "%s", rc.why);
          return BRIDGE_FAIL;
        }
        // Only ["message", our channel, payload] carries anything to relay.
        if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 3 && redis_is(reply->element[0], "message") &&
            redis_is(reply->element[1], b.opt.channel) && reply->element[2]->type == REDIS_REPLY_STRING)
          deliver(reply->element[2]->str, reply->element[2]->len, 0, 0, e, true);
        freeReplyObject(reply);
      }
      if (f != G_REDIS_CONN::FILL_MORE) break;
    }
  }
}
