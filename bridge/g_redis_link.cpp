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

G_REDIS_LINK::~G_REDIS_LINK() {
  close();
}

int G_REDIS_LINK::init(G_BRIDGE* owner, int r) {
  p_bridge = owner;
  role = r;
  const BRIDGE_OPTIONS& o = owner->opt;
  b_streams = o.transport == TRANSPORT_STREAMS;
  channel_len = strlen(o.channel);
  const size_t msg = owner->max_message + FED_HEADER_SIZE;
  xread_budget = 2 * msg + 64 * 1024;
  const size_t reply_bytes = xread_budget < (size_t(1) << 20) ? size_t(1) << 20 : xread_budget;
  const size_t out = role == ROLE_WRITE ? BATCH_BYTES + msg + COMMAND_ROOM : COMMAND_ROOM;
  if (rc.init(out, reply_bytes) != 0 || wake.init() != 0) {
    snprintf(why, sizeof why, "cannot set up the Redis links: out of memory");
    return -1;
  }
  reconnect.init(L"redis", o.redis_host, o.redis_port, role_name(), 0, why);
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
  snprintf(claim_value, sizeof claim_value, "bridge %016llx (%s %.60s)",
           (unsigned long long)owner->instance_id, b_streams ? "stream" : "channel", o.channel);
  return 0;
}

void G_REDIS_LINK::close() {
  drop_connection();
  rc.close();
  wake.close();
  if (p_tls != nullptr) SSL_CTX_free(p_tls);
  p_tls = nullptr;
}

int G_REDIS_LINK::start() {
  return thread.create(&bridge_thread_main<G_REDIS_LINK, &G_REDIS_LINK::run>, this);
}

int G_REDIS_LINK::join() {
  return thread.wait();
}

const wchar_t* G_REDIS_LINK::role_name() const {
  if (role == ROLE_WRITE) return b_streams ? L"append" : L"publish";
  return b_streams ? L"read" : L"subscribe";
}

void G_REDIS_LINK::run() {
  reconnect.run(
      wake, p_bridge->b_stop, [this] { return open_connection(); }, [this] { return serve_connection(); },
      [this] { drop_connection(); });
  drop_connection();
}

// ---- the connection, both roles ----------------------------------------------

int G_REDIS_LINK::conn_failed(int r) {
  snprintf(why, sizeof why, "%s", rc.why);
  return r;
}

int G_REDIS_LINK::command(int argc, const char* const* argv, const size_t* lens, redisReply** reply,
                          unsigned timeout_ms) {
  const int r = rc.command(argc, argv, lens, reply, bridge_now_ms() + timeout_ms, wake, p_bridge->b_stop);
  return r == BRIDGE_OK ? r : conn_failed(r);
}

template <class OK>
int G_REDIS_LINK::command_judged(int argc, const char* const* argv, const size_t* lens, const char* what,
                                 OK&& ok) {
  redisReply* reply = nullptr;
  const int r = command(argc, argv, lens, &reply);
  if (r != BRIDGE_OK) return r;
  const bool good = ok(reply);
  if (!good) redis_why_reply(why, sizeof why, what, reply);
  freeReplyObject(reply);
  return good ? BRIDGE_OK : BRIDGE_FAIL;
}

int G_REDIS_LINK::fill_replies() {
  const int f = rc.fill();
  return f == BRIDGE_FAIL ? conn_failed(BRIDGE_FAIL) : f;
}

template <class F>
int G_REDIS_LINK::take_replies(F&& f) {
  for (;;) {
    redisReply* reply = nullptr;
    const int t = rc.take(&reply);
    if (t == 0) return BRIDGE_OK;
    if (t != 1) return conn_failed(BRIDGE_FAIL);
    const int h = f(static_cast<const redisReply*>(reply));
    freeReplyObject(reply);
    if (h != BRIDGE_OK) return BRIDGE_FAIL;
  }
}

int G_REDIS_LINK::open_connection() {
  why[0] = 0;
  const int r = rc.open(endpoint, CONNECT_TIMEOUT_MS, wake, p_bridge->b_stop);
  if (r != BRIDGE_OK) return conn_failed(r);
  return role == ROLE_WRITE || b_streams ? ping() : subscribe();
}

int G_REDIS_LINK::ping() {
  // A PING proves the connection usable before the link counts as up
  // (a server that wants a password answers NOAUTH).
  const char* argv[1] = {"PING"};
  const size_t lens[1] = {4};
  return command_judged(1, argv, lens, "PING",
                        [](const redisReply* reply) { return redis_is(reply, "PONG"); });
}

int G_REDIS_LINK::subscribe() {
  const char* argv[2] = {"SUBSCRIBE", p_bridge->opt.channel};
  const size_t lens[2] = {9, channel_len};
  return command_judged(2, argv, lens, "SUBSCRIBE", [](const redisReply* reply) {
    return reply->type == REDIS_REPLY_ARRAY && reply->elements == 3 &&
           redis_is(reply->element[0], "subscribe");
  });
}

int G_REDIS_LINK::serve_connection() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  b_up.store(true);
  if (reconnect.up()) ++(role == ROLE_WRITE ? b.counters.reconnects_publish : b.counters.reconnects_read);
  bridge_log(L":: redis %s:%u up (%ls %s)\n", o.redis_host, unsigned(o.redis_port), role_name(), o.channel);
  if (b.hub.b_up.load() && b.pub.b_up.load() && b.sub.b_up.load()) g_notify_ready_once();  // both ways
  if (role == ROLE_WRITE) {
    const int r = serve_write();
    if (r == BRIDGE_STOP) finish();
    return r;
  }
  return b_streams ? serve_read_stream() : serve_read_channel();
}

void G_REDIS_LINK::drop_connection() {
  const bool was_up = b_up.exchange(false);
  rc.drop();
  if (role != ROLE_WRITE || p_bridge == nullptr) return;
  G_BRIDGE& b = *p_bridge;
  if (b_streams) {
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

// ---- the writer: the claim ---------------------------------------------------

int G_REDIS_LINK::claim_hub(uint64_t id, bool* held) {
  G_BRIDGE& b = *p_bridge;
  snprintf(claim_key, sizeof claim_key, "relayhub-bridge:hub:%016llx", (unsigned long long)id);
  char ttl[16];
  snprintf(ttl, sizeof ttl, "%u", CLAIM_TTL_MS);
  const char* argv[6] = {"EVAL", CLAIM_SCRIPT, "1", claim_key, claim_value, ttl};
  const size_t lens[6] = {4, sizeof CLAIM_SCRIPT - 1, 1, strlen(claim_key), strlen(claim_value), strlen(ttl)};
  redisReply* reply = nullptr;
  const int r = command(6, argv, lens, &reply);
  if (r != BRIDGE_OK) return r;
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

namespace {

// The numbers seen of an HGETALL answer (bridge in 16 hex digits, its last
// number in decimal) into seen; malformed pairs are passed over.
void parse_seen(const redisReply* reply, G_ORIGINS& seen) {
  for (size_t i = 0; i + 1 < reply->elements; i += 2) {
    const redisReply* f = reply->element[i];
    const redisReply* v = reply->element[i + 1];
    uint64_t bridge = 0;
    uint64_t last = 0;
    if (f->type != REDIS_REPLY_STRING || v->type != REDIS_REPLY_STRING ||
        hex64_parse(f->str, f->len, bridge) != 0 || v->len == 0 || v->len > 20)
      continue;
    size_t k = 0;
    while (k < v->len && v->str[k] >= '0' && v->str[k] <= '9')
      last = last * 10 + uint64_t(v->str[k++] - '0');
    if (k == v->len) seen.set(bridge, last);
  }
}

}  // namespace

int G_REDIS_LINK::start_position(uint64_t id, STREAM_ID& start, G_ORIGINS& seen) {
  const BRIDGE_OPTIONS& o = p_bridge->opt;
  set_keys(id);
  char ttl[16];
  snprintf(ttl, sizeof ttl, "%u", POSITION_TTL_MS);
  const char* argv[6] = {"EVAL", POSITION_SCRIPT, "2", pos_key, o.channel, ttl};
  const size_t lens[6] = {4, sizeof POSITION_SCRIPT - 1, 1, strlen(pos_key), channel_len, strlen(ttl)};
  const int r = command_judged(6, argv, lens, "reading the position (EVAL)", [&](const redisReply* reply) {
    return is_entry_id(reply, start.ms, start.seq);
  });
  if (r != BRIDGE_OK) return r;
  // The numbers seen as far as that position (none for a new hub).
  seen.clear();
  const char* get[2] = {"HGETALL", seen_key};
  const size_t get_lens[2] = {7, strlen(seen_key)};
  return command_judged(2, get, get_lens, "reading the numbers seen (HGETALL)", [&](const redisReply* reply) {
    if (reply->type != REDIS_REPLY_ARRAY) return false;
    parse_seen(reply, seen);
    return true;
  });
}

void G_REDIS_LINK::set_keys(uint64_t id) {
  const char* channel = p_bridge->opt.channel;
  snprintf(pos_key, sizeof pos_key, "%s:position:%016llx", channel, (unsigned long long)id);
  snprintf(seen_key, sizeof seen_key, "%s:seen:%016llx", channel, (unsigned long long)id);
  pos_key_hub = id;
}

int G_REDIS_LINK::tend_claim(bool b_force) {
  G_BRIDGE& b = *p_bridge;
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
  if (session != claimed_session) return decide_claim(session, id, written, now);
  if (claimed_hub == 0 || (!b_force && now < renew_at_ms)) return BRIDGE_OK;
  return renew_claim(session, now);
}

int G_REDIS_LINK::decide_claim(uint64_t session, uint64_t id, const STREAM_ID& written, uint64_t now) {
  bool held = false;
  int r = claim_hub(id, &held);
  if (r != BRIDGE_OK) return r;
  STREAM_ID start;
  bool fresh = false;
  if (held && b_streams) {
    r = claim_start(id, written, start, fresh);
    if (r != BRIDGE_OK) return r;
  }
  publish_claim(session, held, start, fresh);
  claimed_session = session;
  claimed_hub = held ? id : 0;
  renew_at_ms = now + CLAIM_RENEW_MS;
  tell_claim();
  return BRIDGE_OK;
}

int G_REDIS_LINK::claim_start(uint64_t id, const STREAM_ID& written, STREAM_ID& start, bool& fresh) {
  if (id == pos_key_hub && !(written == STREAM_ID{})) {
    start = written;
  } else {
    const int r = start_position(id, start, loaded);
    if (r != BRIDGE_OK) return r;
    fresh = true;
  }
  b_seen_full = true;
  return BRIDGE_OK;
}

void G_REDIS_LINK::publish_claim(uint64_t session, bool held, const STREAM_ID& start, bool fresh) {
  G_BRIDGE& b = *p_bridge;
  SESSION_LOCK guard(b.session.lock);
  if (b.session.hub_session != session) return;  // a newer session claims again
  b.session.claim_session = session;
  b.session.claim = held ? BRIDGE_SESSION::CLAIM_HELD : BRIDGE_SESSION::CLAIM_REFUSED;
  if (!held) return;
  ++b.session.epoch;
  b.session.start = start;
  if (fresh) {
    b.session.written = start;
    b.session.written_origins = loaded;
    b.session.b_written_dirty = false;
  }
}

int G_REDIS_LINK::renew_claim(uint64_t session, uint64_t now) {
  G_BRIDGE& b = *p_bridge;
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
  tell_claim();
  return BRIDGE_OK;
}

void G_REDIS_LINK::tell_claim() {
  p_bridge->hub.wake.signal();
  p_bridge->sub.wake.signal();
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
  while (!b.hub.b_done.load() && bridge_now_ms() < deadline)
    wake.wait(10, go_on);
  if (finish_appends(deadline, go_on) != BRIDGE_OK) return;
  size_t n_save = 0;
  if (b_streams && pos_key_hub == claimed_hub) {
    STREAM_ID saving;
    size_t n_seen = 0;
    bool full = true;
    if (take_written(saving, n_seen, full) && append_save(saving, n_seen, true, &n_save) != 0) n_save = 0;
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

int G_REDIS_LINK::finish_appends(uint64_t deadline, const std::atomic<bool>& go_on) {
  // The answers still owed, then (Streams) what the hub relayed and waits:
  // nothing read from the hub is left behind by a clean stop.
  G_BRIDGE& b = *p_bridge;
  if (rc.flush(deadline, wake, go_on) != BRIDGE_OK) return BRIDGE_FAIL;
  for (;;) {
    if (bridge_now_ms() >= deadline) return BRIDGE_FAIL;
    size_t acked = 0;
    while (kinds_tail != kinds_head) {
      redisReply* reply = nullptr;
      if (rc.reply(&reply, deadline, wake, go_on) != BRIDGE_OK) return BRIDGE_FAIL;
      const int h = answer_owed(reply, &acked);
      freeReplyObject(reply);
      if (h != BRIDGE_OK) return BRIDGE_FAIL;
    }
    if (acked != 0) settle(acked);
    if (!b_streams || b.ring_to_redis.count() == 0) return BRIDGE_OK;
    while (kinds_tail - kinds_head < BATCH_MESSAGES) {
      const int p = b.ring_to_redis.peek_next([&](const char* data, size_t len, uint32_t) {
        entry_data[0] = data;
        entry_len[0] = len;
        return append_entry(1, nullptr) == 0;
      });
      if (p != G_RING::POP_TAKEN) break;
      owe(KIND_XADD, 1);
    }
    if (rc.flush(deadline, wake, go_on) != BRIDGE_OK) return BRIDGE_FAIL;
  }
}

// ---- the writer: appends and the position --------------------------------------

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
      lens[2 + 2 * i] = size_t(
          snprintf(seen_text[i][0], sizeof seen_text[i][0], "%016llx", (unsigned long long)seen_bridges[i]));
      lens[3 + 2 * i] = size_t(
          snprintf(seen_text[i][1], sizeof seen_text[i][1], "%llu", (unsigned long long)seen_lasts[i]));
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

bool G_REDIS_LINK::take_written(STREAM_ID& at, size_t& n_seen, bool& full) {
  G_BRIDGE& b = *p_bridge;
  SESSION_LOCK guard(b.session.lock);
  if (!b.session.b_written_dirty || b.session.claim_session != claimed_session ||
      b.session.claim != BRIDGE_SESSION::CLAIM_HELD)
    return false;
  at = b.session.written;
  // A bridge forgotten to make room is dropped from Redis' copy too.
  if (b.session.written_origins.evictions != seen_evictions) full = true;
  seen_evictions = b.session.written_origins.evictions;
  n_seen = b.session.written_origins.take_changed(seen_bridges, seen_lasts, G_ORIGINS::ORIGINS_MAX, full);
  b.session.b_written_dirty = false;
  return true;
}

void G_REDIS_LINK::owe(int kind, size_t count) {
  kinds[kinds_tail % KINDS_MAX] = uint8_t(kind);
  kind_count[kinds_tail++ % KINDS_MAX] = uint16_t(count);
}

int G_REDIS_LINK::answer_owed(const redisReply* reply, size_t* acked) {
  if (kinds_tail == kinds_head) {
    snprintf(why, sizeof why, "unexpected data from Redis");
    return BRIDGE_FAIL;
  }
  const int h = handle_reply(kinds[kinds_head % KINDS_MAX], kind_count[kinds_head % KINDS_MAX], reply, acked);
  ++kinds_head;
  return h;
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

void G_REDIS_LINK::settle(size_t acked) {
  G_BRIDGE& b = *p_bridge;
  b.ring_to_redis.forget(acked);
  b.counters.to_redis += acked;
  if (b.hub.b_wait_room.exchange(false)) b.hub.wake.signal();
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
  kinds_head = kinds_tail = 0;
  // A new connection may reach a Redis that restarted without the claim.
  int r = tend_claim(true);
  if (r != BRIDGE_OK) return r;
  uint64_t answer_due = 0;  // while answers are owed: the latest time for the next
  for (;;) {
    if (b.b_stop.load()) return BRIDGE_STOP;
    // Claims go one command at a time, with nothing else in flight.
    if (kinds_tail == kinds_head && rc.pending() == 0) {
      r = tend_claim(false);
      if (r != BRIDGE_OK) return r;
    }
    bool progress = false;
    // A renewal due waits for the answers owed; nothing more goes first.
    const bool claim_due = claimed_hub != 0 && bridge_now_ms() >= renew_at_ms;
    if (!claim_due && (queue_appends(progress) != BRIDGE_OK || queue_position(progress) != BRIDGE_OK))
      return BRIDGE_FAIL;
    if (kinds_tail != kinds_head && answer_due == 0) answer_due = bridge_now_ms() + IO_TIMEOUT_MS;
    bool want_write = false;
    if (write_queued(want_write, progress) != BRIDGE_OK || take_answers(answer_due, progress) != BRIDGE_OK)
      return BRIDGE_FAIL;
    if (progress) continue;
    if (wait_for_redis(answer_due, want_write) != BRIDGE_OK) return BRIDGE_FAIL;
  }
}

int G_REDIS_LINK::queue_appends(bool& progress) {
  const uint64_t retention_ms = uint64_t(p_bridge->opt.retention_s) * 1000u;
  // More appends while fewer than a window are unanswered: Redis works on
  // one batch while the next is on its way and the answers to the one
  // before come back.
  char minid[32];
  const int64_t redis_now = int64_t(bridge_wall_ms()) + redis_clock_offset_ms;
  const bool trim = b_streams && b_redis_clock && redis_now > int64_t(retention_ms);
  if (trim) snprintf(minid, sizeof minid, "%llu", (unsigned long long)(redis_now - int64_t(retention_ms)));
  size_t batch = 0;
  while (kinds_tail - kinds_head < WINDOW_COMMANDS && batch < BATCH_MESSAGES) {
    const size_t n = take_entry(trim ? 7 : 5);
    if (n == 0) break;
    if (append_entry(n, trim ? minid : nullptr) != 0) {  // cannot be: the room was counted
      snprintf(why, sizeof why, "the out buffer is full");
      return BRIDGE_FAIL;
    }
    owe(b_streams ? KIND_XADD : KIND_PUBLISH, n);
    batch += n;
  }
  if (batch != 0) progress = true;
  return BRIDGE_OK;
}

size_t G_REDIS_LINK::take_entry(size_t fixed_args) {
  // Streams: the messages waiting go into one entry, a field "m" each, up
  // to ENTRY_MESSAGES or ENTRY_BYTES: Redis and the readers then work per
  // entry rather than per message.
  size_t n = 0;
  size_t bytes = 0;
  size_t need = 16 + 24 * fixed_args + channel_len + 64;
  const size_t room = rc.free_room();
  while (n < (b_streams ? ENTRY_MESSAGES : 1)) {
    const int p = p_bridge->ring_to_redis.peek_next([&](const char* data, size_t len, uint32_t) {
      const size_t more = b_streams ? 2 * 24 + 5 + len : 16 + 3 * 24 + 7 + channel_len + len;
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
  return n;
}

int G_REDIS_LINK::append_entry(size_t n, const char* minid) {
  const char* channel = p_bridge->opt.channel;
  if (!b_streams) {
    const char* argv[3] = {"PUBLISH", channel, entry_data[0]};
    const size_t lens[3] = {7, channel_len, entry_len[0]};
    return rc.append(3, argv, lens);
  }
  size_t argc = 0;
  entry_argv[argc] = "XADD";
  entry_lens[argc++] = 4;
  entry_argv[argc] = channel;
  entry_lens[argc++] = channel_len;
  if (minid != nullptr) {
    // Exact trimming: an entry stays for the retention, and goes with the
    // first append after it (an approximate trim keeps whole blocks of
    // entries for longer).
    entry_argv[argc] = "MINID";
    entry_lens[argc++] = 5;
    entry_argv[argc] = minid;
    entry_lens[argc++] = strlen(minid);
  }
  entry_argv[argc] = "*";
  entry_lens[argc++] = 1;
  // One message: field "m"; several: field "b", each message after its
  // length, so that Redis stores and sends one value.
  entry_argv[argc] = n == 1 ? "m" : "b";
  entry_lens[argc++] = 1;
  if (n != 1) return rc.append_packed(int(argc), entry_argv, entry_lens, n, entry_data, entry_len);
  entry_argv[argc] = entry_data[0];
  entry_lens[argc++] = entry_len[0];
  return rc.append(int(argc), entry_argv, entry_lens);
}

int G_REDIS_LINK::queue_position(bool& progress) {
  // The position of the last entry written into the hub goes along.
  if (!b_streams || claimed_hub == 0 || pos_key_hub != claimed_hub ||
      kinds_tail - kinds_head >= WINDOW_COMMANDS)
    return BRIDGE_OK;
  STREAM_ID saving;
  size_t n_seen = 0;
  bool full = b_seen_full;
  if (!take_written(saving, n_seen, full)) return BRIDGE_OK;
  size_t n_save = 0;
  b_seen_full = false;
  if (append_save(saving, n_seen, full, &n_save) != 0) {
    snprintf(why, sizeof why, "the position does not fit the out buffer");
    return BRIDGE_FAIL;
  }
  for (size_t i = 0; i < n_save; ++i)
    owe(i == 0 ? KIND_SET : KIND_INTEGER, 0);
  progress = true;
  return BRIDGE_OK;
}

int G_REDIS_LINK::write_queued(bool& want_write, bool& progress) {
  while (rc.pending() != 0) {
    const int w = rc.write_some();
    if (w == BRIDGE_FAIL) return conn_failed(BRIDGE_FAIL);
    if (w == 0) {
      want_write = true;
      break;
    }
    progress = true;
  }
  return BRIDGE_OK;
}

int G_REDIS_LINK::take_answers(uint64_t& answer_due, bool& progress) {
  size_t acked = 0;
  int f = G_REDIS_CONN::FILL_MORE;
  while (f == G_REDIS_CONN::FILL_MORE && kinds_tail != kinds_head) {
    f = fill_replies();
    if (f == BRIDGE_FAIL) return BRIDGE_FAIL;
    const int t = take_replies([&](const redisReply* reply) {
      const int h = answer_owed(reply, &acked);
      answer_due = kinds_tail != kinds_head ? bridge_now_ms() + IO_TIMEOUT_MS : 0;
      return h;
    });
    if (t != BRIDGE_OK) return BRIDGE_FAIL;
  }
  if (acked != 0) {
    settle(acked);
    progress = true;
  }
  return BRIDGE_OK;
}

int G_REDIS_LINK::wait_for_redis(uint64_t answer_due, bool want_write) {
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
  if (n <= 0 || p[0].revents == 0 || kinds_tail != kinds_head || rc.pending() != 0) return BRIDGE_OK;
  // Readable with nothing owed: only its end, or something unasked for.
  if (fill_replies() == BRIDGE_FAIL) return BRIDGE_FAIL;
  return take_replies([&](const redisReply*) {
    snprintf(why, sizeof why, "unexpected data from Redis");
    return BRIDGE_FAIL;
  });
}

// ---- the reader ----------------------------------------------------------------

uint64_t G_REDIS_LINK::current_epoch(STREAM_ID* start) {
  G_BRIDGE& b = *p_bridge;
  SESSION_LOCK guard(b.session.lock);
  if (b.session.claim_session != b.session.hub_session || b.session.claim != BRIDGE_SESSION::CLAIM_HELD)
    return 0;
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

void G_REDIS_LINK::deliver(const char* msg, size_t len, uint64_t ms, uint64_t seq, uint64_t epoch_now,
                           bool b_end) {
  G_BRIDGE& b = *p_bridge;
  FED_MESSAGE m;
  if (fed_decode(msg, len, m) != FED_OK) {
    ++b.counters.rejected;
    return;
  }
  // Its own hub's messages, by whichever bridge of it: never back in.
  if (m.bridge == b.instance_id || (hub_id != 0 && m.hub == hub_id)) return;
  ++b.counters.from_redis;
  if (!judge_sequence(m)) return;
  const size_t limit = b.hub_message_max.load();
  if (m.len > limit) {
    ++b.counters.too_large;
    b.log_too_large(last_drop_log_ms, m.len, limit);
    return;
  }
  if (!b_streams && (epoch_now == 0 || !b.hub.b_up.load())) {
    ++b.counters.dropped_hub_down;
    return;
  }
  push_toward_hub(m, HUB_RECORD_ID{ms, seq, m.bridge, m.seq, b_end}, epoch_now);
}

bool G_REDIS_LINK::judge_sequence(const FED_MESSAGE& m) {
  if (m.seq == 0) return true;  // an older bridge numbers nothing
  G_BRIDGE& b = *p_bridge;
  uint64_t missed = 0;
  const int s = origins.see(m.bridge, m.seq, &missed);
  if (s == G_ORIGINS::SEQ_DUPLICATE) {
    ++b.counters.duplicates;
    return false;
  }
  if (s == G_ORIGINS::SEQ_GAP) {
    b.counters.missed += missed;
    bridge_log(L"!! missed %llu message(s) of bridge %016llx (hub %016llx) before its number %llu%ls\n",
               (unsigned long long)missed, (unsigned long long)m.bridge, (unsigned long long)m.hub,
               (unsigned long long)m.seq,
               b_streams ? L": they left the stream (--retention) before this bridge read them" : L"");
  }
  return true;
}

void G_REDIS_LINK::push_toward_hub(const FED_MESSAGE& m, const HUB_RECORD_ID& id, uint64_t epoch_now) {
  G_BRIDGE& b = *p_bridge;
  char head[HUB_RECORD_ID::SIZE];
  id.write(head);
  uint64_t dropped = 0;
  bool was_empty = false;
  const int p = b.ring_to_hub.push(head, sizeof head, m.payload, m.len,
                                   G_BRIDGE::record_aux(m.type, epoch_now), !b_streams, &dropped, &was_empty);
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
  const size_t lens[5] = {4, sizeof NEXT_ID_SCRIPT - 1, 1, channel_len, from_len};
  redisReply* reply = nullptr;
  const int r = command(5, argv, lens, &reply);
  if (r != BRIDGE_OK) return r;
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
        const size_t len = v->len - at < 4
                               ? SIZE_MAX
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
  for (;;) {
    if (b.b_stop.load()) return BRIDGE_STOP;
    STREAM_ID start;
    const uint64_t e = current_epoch(&start);
    if (e == 0) {  // the claim is pending (or refused): nothing to read for
      if (wake.wait(IDLE_POLL_MS, b.b_stop) == BRIDGE_STOP) return BRIDGE_STOP;
      continue;
    }
    if (e != epoch) start_epoch(e, start);
    int r = b_skip_next ? skip_entry() : BRIDGE_OK;
    if (r == BRIDGE_OK) r = wait_for_room();
    if (r == BRIDGE_PENDING) continue;
    if (r != BRIDGE_OK) return r;
    redisReply* reply = nullptr;
    r = xread(&reply);
    if (r != BRIDGE_OK) return r;
    const bool ok = take_entries(reply, e);
    freeReplyObject(reply);
    if (!ok) {
      snprintf(why, sizeof why, "XREAD: unexpected reply");
      return BRIDGE_FAIL;
    }
  }
}

void G_REDIS_LINK::start_epoch(uint64_t e, const STREAM_ID& start) {
  epoch = e;
  read_ms = start.ms;
  read_seq = start.seq;
  partial_ms = partial_seq = 0;
  partial_k = 0;
}

int G_REDIS_LINK::wait_for_room() {
  G_BRIDGE& b = *p_bridge;
  const size_t half = b.opt.buffer_bytes / 2;
  if (b.ring_to_hub.bytes() <= half) return BRIDGE_OK;
  b.hub.b_reader_wait.store(true);
  // Room made before the flag was up would go unnoticed: look again.
  if (b.ring_to_hub.bytes() > half && wake.wait(IDLE_POLL_MS, b.b_stop) == BRIDGE_STOP) return BRIDGE_STOP;
  return BRIDGE_PENDING;
}

size_t G_REDIS_LINK::xread_count() {
  G_BRIDGE& b = *p_bridge;
  const size_t bytes = xread_budget < XREAD_REPLY_TARGET ? xread_budget : XREAD_REPLY_TARGET;
  size_t count = bytes / (entry_max_seen + 512);
  // What does not fit toward the hub would only be read again.
  const size_t used = b.ring_to_hub.bytes();
  const size_t room = b.opt.buffer_bytes > used ? size_t(b.opt.buffer_bytes - used) : 0;
  if (room / (entry_max_seen + 512) < count) count = room / (entry_max_seen + 512);
  if (count > XREAD_COUNT_MAX) count = XREAD_COUNT_MAX;
  return count == 0 ? 1 : count;
}

int G_REDIS_LINK::xread(redisReply** reply) {
  const size_t count = xread_count();
  char count_text[16];
  char block_text[16];
  char from[48];
  snprintf(count_text, sizeof count_text, "%zu", count);
  snprintf(block_text, sizeof block_text, "%u", XREAD_BLOCK_MS);
  const size_t from_len = stream_id_format(from, read_ms, read_seq);
  const char* argv[8] = {"XREAD", "COUNT", count_text, "BLOCK", block_text, "STREAMS", p_bridge->opt.channel,
                         from};
  const size_t lens[8] = {5, 5, strlen(count_text), 5, strlen(block_text), 7, channel_len, from_len};
  const int r = command(8, argv, lens, reply, XREAD_BLOCK_MS + IO_TIMEOUT_MS);
  if (r != BRIDGE_OK &&
      (strstr(rc.why, "over the limit") != nullptr || strstr(rc.why, "larger than") != nullptr)) {
    // Fewer entries next time; one alone that large is skipped.
    if (count > 1)
      entry_max_seen = xread_budget;
    else
      b_skip_next = true;
  }
  return r;
}

bool G_REDIS_LINK::take_entries(const redisReply* reply, uint64_t epoch_now) {
  if (reply->type == REDIS_REPLY_NIL) return true;  // BLOCK ran out: nothing new
  // [[key, [[id, [field, value, ...]], ...]]]
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 1 ||
      reply->element[0]->type != REDIS_REPLY_ARRAY || reply->element[0]->elements != 2 ||
      reply->element[0]->element[1]->type != REDIS_REPLY_ARRAY)
    return false;
  const redisReply* entries = reply->element[0]->element[1];
  for (size_t i = 0; i < entries->elements; ++i) {
    const int q = queue_entry(entries->element[i], epoch_now);
    if (q == BRIDGE_FAIL) return false;
    if (q == BRIDGE_PENDING) break;
  }
  return true;
}

int G_REDIS_LINK::queue_entry(const redisReply* entry, uint64_t epoch_now) {
  G_BRIDGE& b = *p_bridge;
  uint64_t ms = 0;
  uint64_t seq = 0;
  if (entry->type != REDIS_REPLY_ARRAY || entry->elements != 2 || !is_entry_id(entry->element[0], ms, seq) ||
      entry->element[1]->type != REDIS_REPLY_ARRAY)
    return BRIDGE_FAIL;
  // An entry holds one message (field "m"), or several (field "b": each
  // after its length, 4 bytes big-endian).
  const size_t n = entry_pieces(entry->element[1]);
  size_t entry_len = 0;
  for (size_t k = 0; k < n; ++k)
    entry_len += piece_len[k] + 4;
  if (entry_len > entry_max_seen) entry_max_seen = entry_len;
  // Part of it went in already when it was read before.
  const size_t first = ms == partial_ms && seq == partial_seq ? partial_k : 0;
  size_t last = SIZE_MAX;  // the last one that will go into the hub
  for (size_t k = first; k < n; ++k) {
    piece_ok[k] = deliverable(piece[k], piece_len[k]);
    if (piece_ok[k]) last = k;
  }
  for (size_t k = first; k < n; ++k) {
    // Nothing is dropped toward Streams: with no room, the rest of this
    // entry is read again later. (What will not go in needs none.)
    if (piece_ok[k] && !b.ring_to_hub.fits(HUB_RECORD_ID::SIZE + piece_len[k])) {
      partial_ms = ms;
      partial_seq = seq;
      partial_k = k;
      return BRIDGE_PENDING;
    }
    deliver(piece[k], piece_len[k], ms, seq, epoch_now, k == last);
  }
  read_ms = ms;
  read_seq = seq;
  return BRIDGE_OK;
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
      const int f = fill_replies();
      if (f == BRIDGE_FAIL) return BRIDGE_FAIL;
      const uint64_t e = current_epoch(nullptr);
      const int t = take_replies([&](const redisReply* reply) {
        // Only ["message", our channel, payload] carries anything to relay.
        if (reply->type == REDIS_REPLY_ARRAY && reply->elements == 3 &&
            redis_is(reply->element[0], "message") && redis_is(reply->element[1], b.opt.channel) &&
            reply->element[2]->type == REDIS_REPLY_STRING)
          deliver(reply->element[2]->str, reply->element[2]->len, 0, 0, e, true);
        return BRIDGE_OK;
      });
      if (t != BRIDGE_OK) return BRIDGE_FAIL;
      if (f != G_REDIS_CONN::FILL_MORE) break;
    }
  }
}
