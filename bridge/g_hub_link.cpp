// The bridge's WebSocket client of its hub: the handshake, reading what
// the hub relays, writing what other bridges published.
#include "bridge/g_hub_link.hpp"

#include <openssl/rand.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/g_bridge.hpp"
#include "support/g_notify.hpp"

namespace {

constexpr int SERVE_POLL_MS = 1000;
constexpr unsigned CLAIM_POLL_MS = 50;  // while the writer decides at once

short poll_events(int64_t again) {
  return again == CONN_AGAIN_WRITE ? POLLOUT : POLLIN;
}

// The identity of a hub that announces none: its address (FNV-1a).
uint64_t address_id(const char* host, uint16_t port) {
  uint64_t h = 1469598103934665603ull;
  for (const char* p = host; *p != 0; ++p)
    h = (h ^ uint8_t(*p)) * 1099511628211ull;
  h = (h ^ (port >> 8)) * 1099511628211ull;
  h = (h ^ (port & 0xFF)) * 1099511628211ull;
  return h != 0 ? h : 1;
}

}  // namespace

void HUB_RECORD_ID::write(char out[SIZE]) const {
  const uint64_t end = b_end ? 1 : 0;
  memcpy(out, &ms, 8);
  memcpy(out + 8, &seq, 8);
  memcpy(out + 16, &bridge, 8);
  memcpy(out + 24, &number, 8);
  memcpy(out + 32, &end, 8);
}

HUB_RECORD_ID HUB_RECORD_ID::read(const char in[SIZE]) {
  HUB_RECORD_ID id;
  uint64_t end = 0;
  memcpy(&id.ms, in, 8);
  memcpy(&id.seq, in + 8, 8);
  memcpy(&id.bridge, in + 16, 8);
  memcpy(&id.number, in + 24, 8);
  memcpy(&end, in + 32, 8);
  id.b_end = end != 0;
  return id;
}

G_HUB_LINK::~G_HUB_LINK() {
  close();
}

int G_HUB_LINK::init(G_BRIDGE* owner) {
  p_bridge = owner;
  const BRIDGE_OPTIONS& o = owner->opt;
  msg_max = owner->max_message;
  out_cap = OUT_BATCH + WS_CLIENT_HEADER_MAX + msg_max;
  p_msg = static_cast<char*>(malloc(FED_HEADER_SIZE + msg_max));
  p_in = static_cast<char*>(malloc(IN_SIZE));
  p_out = static_cast<char*>(malloc(out_cap));
  if (p_msg == nullptr || p_in == nullptr || p_out == nullptr) {
    snprintf(why, sizeof why, "out of memory");
    return -1;
  }
  reader.init(p_msg + FED_HEADER_SIZE, msg_max);
  reconnect.init(L"hub", o.hub_host, o.hub_port, nullptr, STANDBY_RETRY_MS, why);
  if (wake.init() != 0) {
    snprintf(why, sizeof why, "eventfd: %s", strerror(errno));
    return -1;
  }
  if (!o.b_tls) return 0;
  p_ctx = conn_tls_context(o.ca_file, nullptr, nullptr, why, sizeof why);
  return p_ctx != nullptr ? 0 : -1;
}

void G_HUB_LINK::close() {
  drop_connection();
  if (p_ctx != nullptr) SSL_CTX_free(p_ctx);
  p_ctx = nullptr;
  free(p_msg);
  free(p_in);
  free(p_out);
  p_msg = p_in = p_out = nullptr;
  wake.close();
}

int G_HUB_LINK::start() {
  return thread.create(&bridge_thread_main<G_HUB_LINK, &G_HUB_LINK::run>, this);
}

int G_HUB_LINK::join() {
  return thread.wait();
}

const uint8_t* G_HUB_LINK::next_mask() {
  if (mask_next >= sizeof masks) {
    // Masks must be unpredictable to whoever sees the frames (RFC 6455 10.3).
    if (RAND_bytes(masks, int(sizeof masks)) != 1) {
      for (size_t i = 0; i < sizeof masks; ++i)
        masks[i] = uint8_t(random());
    }
    mask_next = 0;
  }
  const uint8_t* m = masks + mask_next;
  mask_next += 4;
  return m;
}

void G_HUB_LINK::run() {
  reconnect.run(
      wake, p_bridge->b_stop, [this] { return open_connection(); }, [this] { return serve_connection(); },
      [this] { drop_connection(); });
  b_up.store(false);
  drop_connection();
  b_done.store(true);
}

void G_HUB_LINK::drop_connection() {
  conn.close();
  if (p_bridge != nullptr && p_bridge->opt.transport == TRANSPORT_PUBSUB) {
    // Frames not wholly written, and all that waits, never reach the hub.
    size_t lost = 0;
    for (size_t i = out_frames_done; i < out_frames; ++i)
      if (frames[i].b_msg) ++lost;
    p_bridge->counters.dropped_hub_down += lost + p_bridge->ring_to_hub.clear();
  }
  // Toward Streams, what was not written is read again from the position.
  out_pos = out_len = out_frames = out_frames_done = 0;
  in_pos = in_len = 0;
  b_msg_pending = false;
  b_pong = false;
  reader.reset();
}

// ---- connecting --------------------------------------------------------------

int G_HUB_LINK::open_connection() {
  const BRIDGE_OPTIONS& o = p_bridge->opt;
  const uint64_t deadline = bridge_now_ms() + OPEN_TIMEOUT_MS;
  why[0] = 0;
  int r = conn.open(o.hub_host, o.hub_port, p_ctx, o.ca_file[0] != 0, deadline, wake, p_bridge->b_stop);
  if (r != BRIDGE_OK) {
    snprintf(why, sizeof why, "%s", conn.why);
    return r;
  }
  size_t head_len = 0;
  r = upgrade(deadline, head_len);
  if (r != BRIDGE_OK) return r;
  learn_hub(head_len);
  open_session(head_len);
  return BRIDGE_OK;
}

int G_HUB_LINK::upgrade(uint64_t deadline, size_t& head_len) {
  const BRIDGE_OPTIONS& o = p_bridge->opt;
  char key[WS_KEY_SIZE];
  char request[1024];
  if (ws_make_key(key) != 0) {
    snprintf(why, sizeof why, "no randomness for the WebSocket key");
    return BRIDGE_FAIL;
  }
  const int req_len = ws_build_request(request, sizeof request, o.hub_host, o.hub_port, key);
  if (req_len < 0) {
    snprintf(why, sizeof why, "host name too long for the request");
    return BRIDGE_FAIL;
  }
  int r = send_request(request, size_t(req_len), deadline);
  if (r == BRIDGE_OK) r = read_response_head(deadline, head_len);
  if (r == BRIDGE_OK) r = judge_response(head_len, key);
  return r;
}

int G_HUB_LINK::handshake_wait(int64_t n, const char* what, uint64_t deadline) {
  if (n == CONN_ERROR || n == CONN_EOF) {
    conn.why_io(what);
    snprintf(why, sizeof why, "%s", conn.why);
    return BRIDGE_FAIL;
  }
  const int r = conn.wait(poll_events(n), deadline, wake, p_bridge->b_stop);
  if (r != BRIDGE_OK) snprintf(why, sizeof why, "no answer within %u ms", OPEN_TIMEOUT_MS);
  return r;
}

int G_HUB_LINK::send_request(const char* request, size_t len, uint64_t deadline) {
  for (size_t done = 0; done < len;) {
    const int64_t n = conn.write(request + done, len - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    const int r = handshake_wait(n, "WebSocket request", deadline);
    if (r != BRIDGE_OK) return r;
  }
  return BRIDGE_OK;
}

int G_HUB_LINK::read_response_head(uint64_t deadline, size_t& head_len) {
  in_pos = in_len = 0;
  for (;;) {
    const char* end = static_cast<const char*>(memmem(p_in, in_len, "\r\n\r\n", 4));
    if (end != nullptr) {
      head_len = size_t(end - p_in) + 4;
      return BRIDGE_OK;
    }
    if (in_len >= HEAD_MAX) {
      snprintf(why, sizeof why, "WebSocket response longer than %zu bytes", HEAD_MAX);
      return BRIDGE_FAIL;
    }
    const int64_t n = conn.read(p_in + in_len, HEAD_MAX - in_len);
    if (n > 0) {
      in_len += size_t(n);
      continue;
    }
    const int r = handshake_wait(n, "WebSocket response", deadline);
    if (r != BRIDGE_OK) return r;
  }
}

int G_HUB_LINK::judge_response(size_t head_len, const char* key) {
  const int check = ws_check_response(p_in, head_len, key);
  if (check == WS_RESPONSE_OK) return BRIDGE_OK;
  const char* eol = static_cast<const char*>(memchr(p_in, '\r', head_len));
  const int status_len = int(eol != nullptr ? eol - p_in : 0);
  snprintf(why, sizeof why, "WebSocket handshake refused (%s): %.*s",
           check == WS_RESPONSE_STATUS    ? "status"
           : check == WS_RESPONSE_UPGRADE ? "no upgrade"
                                          : "wrong Sec-WebSocket-Accept",
           status_len > 80 ? 80 : status_len, p_in);
  return BRIDGE_FAIL;
}

void G_HUB_LINK::learn_hub(size_t head_len) {
  const BRIDGE_OPTIONS& o = p_bridge->opt;
  uint64_t instance = 0;
  uint64_t announced_max = 0;
  const int found = ws_hub_announcement(p_in, head_len, instance, announced_max);
  const bool named = (found & WS_ANNOUNCE_INSTANCE) != 0 && instance != 0;
  const uint64_t id = named ? instance : address_id(o.hub_host, o.hub_port);
  if ((found & WS_ANNOUNCE_INSTANCE) == 0 && id != hub_id)
    bridge_log(
        L"!! hub %s:%u announces no instance id (an older hub): its address stands for it, so a bridge "
        L"restarted after the hub was restarted too resumes where the old one stopped, and two bridges "
        L"reach it unnoticed under two addresses\n",
        o.hub_host, unsigned(o.hub_port));
  p_bridge->hub_message_max.store(message_limit(found, announced_max, id));
  hub_id = id;
}

size_t G_HUB_LINK::message_limit(int found, uint64_t announced_max, uint64_t id) {
  G_BRIDGE& b = *p_bridge;
  size_t limit = b.max_message;
  b_announced_max = (found & WS_ANNOUNCE_MAX) != 0;
  if (b_announced_max) {
    if (announced_max < limit) limit = size_t(announced_max);
  } else if (id == hub_id) {
    limit = b.hub_message_max.load();  // what its 1009 taught, for the same hub
  } else {
    bridge_log(
        L"!! hub %s:%u announces no message limit (an older hub): --max-message %zu applies; a larger "
        L"message costs a reconnect\n",
        b.opt.hub_host, unsigned(b.opt.hub_port), limit);
  }
  return limit;
}

void G_HUB_LINK::open_session(size_t head_len) {
  G_BRIDGE& b = *p_bridge;
  {
    SESSION_LOCK guard(b.session.lock);
    session = ++b.session.hub_session;
    b.session.hub_id = hub_id;
  }
  b.pub.wake.signal();  // the writer claims the hub for this session
  in_pos = head_len;
  reader.reset();
}

// ---- one connection ------------------------------------------------------------

int G_HUB_LINK::serve_connection() {
  G_BRIDGE& b = *p_bridge;
  const bool streams = b.opt.transport == TRANSPORT_STREAMS;
  // Nothing queued for an earlier session is delivered into this one.
  const uint64_t gone = b.ring_to_hub.clear();
  if (!streams) b.counters.dropped_hub_down += gone;
  // Toward Streams nothing is read from the hub before the claim: its
  // senders wait. Pub/sub waits while Redis is there to decide.
  int r = wait_claim(streams);
  if (r == BRIDGE_OK || r == BRIDGE_PENDING) r = serve_up();
  if (r == BRIDGE_STOP) say_goodbye(WS_CLOSE_GOING_AWAY);
  if (r == BRIDGE_STANDBY) stand_by();
  return r;
}

int G_HUB_LINK::serve_up() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  b_up.store(true);
  b_standing = false;
  if (reconnect.up()) ++b.counters.reconnects_hub;
  bridge_log(L":: hub %s:%u up (%ls)  instance %016llx  message max %zu\n", o.hub_host, unsigned(o.hub_port),
             o.b_tls ? L"WSS" : L"WS", (unsigned long long)hub_id, b.hub_message_max.load());
  if (b.pub.b_up.load() && b.sub.b_up.load()) g_notify_ready_once();  // relaying both ways
  const int r = serve();
  b_up.store(false);
  return r;
}

void G_HUB_LINK::stand_by() {
  // Another bridge has this hub: leave the hub's slot to it and ask again
  // later (it may be one that ended, whose claim runs out).
  say_goodbye(WS_CLOSE_GOING_AWAY);
  if (b_standing) return;
  const BRIDGE_OPTIONS& o = p_bridge->opt;
  bridge_printable(why);
  bridge_log(
      L"!! hub %s:%u (instance %016llx) is bridged already by %s; standing by, asking again every %u ms\n",
      o.hub_host, unsigned(o.hub_port), (unsigned long long)hub_id, why, STANDBY_RETRY_MS);
  b_standing = true;
}

int G_HUB_LINK::claim_decision() {
  G_BRIDGE& b = *p_bridge;
  SESSION_LOCK guard(b.session.lock);
  if (b.session.claim_session != session) return BRIDGE_PENDING;
  if (b.session.claim == BRIDGE_SESSION::CLAIM_HELD) {
    epoch = b.session.epoch;
    return BRIDGE_OK;
  }
  if (b.session.claim != BRIDGE_SESSION::CLAIM_REFUSED) return BRIDGE_PENDING;
  snprintf(why, sizeof why, "%s", b.session.holder);
  return BRIDGE_STANDBY;
}

int G_HUB_LINK::wait_claim(bool b_always) {
  G_BRIDGE& b = *p_bridge;
  const uint64_t deadline = bridge_now_ms() + OPEN_TIMEOUT_MS;
  for (;;) {
    const int c = claim_decision();
    if (c != BRIDGE_PENDING) return c;
    if (!b_always && (!b.pub.b_up.load() || bridge_now_ms() >= deadline)) return BRIDGE_PENDING;
    if (wake.wait(b_always ? SERVE_POLL_MS : CLAIM_POLL_MS, b.b_stop) == BRIDGE_STOP) return BRIDGE_STOP;
  }
}

int G_HUB_LINK::refresh_claim() {
  const int c = claim_decision();
  if (c == BRIDGE_STANDBY) return BRIDGE_STANDBY;
  if (c == BRIDGE_PENDING) epoch = 0;  // pub/sub: not claimed yet; messages flow once it is
  return BRIDGE_OK;
}

int G_HUB_LINK::serve() {
  G_BRIDGE& b = *p_bridge;
  SOCKET_STATE io;
  bool check_claim = true;
  for (;;) {
    if (b.b_stop.load()) return BRIDGE_STOP;
    if (check_claim) {
      check_claim = false;
      if (refresh_claim() == BRIDGE_STANDBY) return BRIDGE_STANDBY;
    }
    bool progress = false;
    if (take_input(progress) != BRIDGE_OK || read_hub(io, progress) != BRIDGE_OK ||
        write_hub(io, progress) != BRIDGE_OK)
      return BRIDGE_FAIL;
    if (progress) continue;
    if (wait_hub(io, check_claim) != BRIDGE_OK) return BRIDGE_FAIL;
  }
}

int G_HUB_LINK::take_input(bool& progress) {
  // A message that found no room toward Redis goes first.
  if (b_msg_pending && publish_message() == BRIDGE_OK) {
    b_msg_pending = false;
    progress = true;
  }
  while (!b_msg_pending && in_pos < in_len) {
    size_t used = 0;
    const int r = reader.feed(p_in + in_pos, in_len - in_pos, used);
    in_pos += used;
    if (r == G_WS_READER::WSR_MORE) break;
    progress = true;
    if (handle_frame(r) != BRIDGE_OK) return BRIDGE_FAIL;
  }
  if (in_pos == in_len) in_pos = in_len = 0;
  return BRIDGE_OK;
}

int G_HUB_LINK::handle_frame(int r) {
  G_BRIDGE& b = *p_bridge;
  switch (r) {
    case G_WS_READER::WSR_MESSAGE:
      ++b.counters.from_hub;
      if (publish_message() != BRIDGE_OK) b_msg_pending = true;
      return BRIDGE_OK;
    case G_WS_READER::WSR_TOO_LARGE:
      ++b.counters.from_hub;
      ++b.counters.too_large;
      return BRIDGE_OK;
    case G_WS_READER::WSR_PING:
      memcpy(pong, reader.ctl, reader.ctl_len);
      pong_len = reader.ctl_len;
      b_pong = true;
      return BRIDGE_OK;
    case G_WS_READER::WSR_CLOSE:
      return hub_closed();
    default:
      snprintf(why, sizeof why, "not a valid WebSocket frame from the hub");
      return BRIDGE_FAIL;
  }
}

int G_HUB_LINK::hub_closed() {
  if (reader.close_code == 1009) {
    learn_limit();
    snprintf(why, sizeof why, "the hub closed the connection with 1009: a message was larger than it takes");
  } else {
    snprintf(why, sizeof why, "the hub closed the connection with %u", unsigned(reader.close_code));
  }
  say_goodbye(reader.close_code);
  return BRIDGE_FAIL;
}

int G_HUB_LINK::io_failed() {
  conn.why_io("hub");
  snprintf(why, sizeof why, "%s", conn.why);
  return BRIDGE_FAIL;
}

int G_HUB_LINK::read_hub(SOCKET_STATE& io, bool& progress) {
  if (b_msg_pending || !io.readable || in_len != 0) return BRIDGE_OK;
  const int64_t n = conn.read(p_in, IN_SIZE);
  if (n == CONN_EOF || n == CONN_ERROR) return io_failed();
  if (n < 0) {
    io.readable = false;
    io.read_wants = poll_events(n);
    return BRIDGE_OK;
  }
  in_len = size_t(n);
  progress = true;
  // TLS may have waited to read before it could write.
  if (conn.p_ssl != nullptr && io.write_wants == POLLIN) io.writable = true;
  return BRIDGE_OK;
}

int G_HUB_LINK::write_hub(SOCKET_STATE& io, bool& progress) {
  if (epoch != 0) fill_out();
  if (out_pos >= out_len || !io.writable) return BRIDGE_OK;
  const int64_t n = conn.write(p_out + out_pos, out_len - out_pos);
  if (n == CONN_EOF || n == CONN_ERROR) return io_failed();
  if (n < 0) {
    io.writable = false;
    io.write_wants = poll_events(n);
    return BRIDGE_OK;
  }
  out_pos += size_t(n);
  count_written();
  progress = true;
  // TLS may have waited to write before it could read.
  if (conn.p_ssl != nullptr && io.read_wants == POLLOUT) io.readable = true;
  return BRIDGE_OK;
}

int G_HUB_LINK::wait_hub(SOCKET_STATE& io, bool& check_claim) {
  pollfd p[2] = {{conn.so, 0, 0}, {wake.fd, POLLIN, 0}};
  if (!b_msg_pending && !io.readable) p[0].events |= io.read_wants;
  if (out_pos < out_len && !io.writable) p[0].events |= io.write_wants;
  const int n = poll(p, 2, SERVE_POLL_MS);
  if (n < 0 && errno != EINTR) {
    snprintf(why, sizeof why, "poll: %s", strerror(errno));
    return BRIDGE_FAIL;
  }
  if (n == 0 && p_bridge->opt.transport == TRANSPORT_STREAMS) check_claim = true;
  if (n <= 0) return BRIDGE_OK;
  if (p[1].revents & POLLIN) {
    wake.drain();
    check_claim = true;
  }
  const short got = p[0].revents;
  if (got & (POLLERR | POLLHUP)) {
    // Reset or shut both ways: the next call says why, unless nothing is
    // read now (a message waits for room) and poll would only say it again.
    if (b_msg_pending) {
      snprintf(why, sizeof why, "hub: connection reset");
      return BRIDGE_FAIL;
    }
    io.readable = io.writable = true;
  }
  if (got & io.read_wants) io.readable = true;
  if (got & io.write_wants) io.writable = true;
  return BRIDGE_OK;
}

void G_HUB_LINK::say_goodbye(uint16_t code) {
  // A close frame when nothing else is half written; the socket is
  // non-blocking, so this never waits.
  if (!conn.is_open() || out_pos != out_len) return;
  char frame[WS_CLIENT_HEADER_MAX + 2];
  const char payload[2] = {char(code >> 8), char(code & 0xFF)};
  const size_t n = ws_client_frame(frame, WS_OP_CLOSE, payload, code != 0 ? 2 : 0, next_mask());
  conn.write(frame, n);
  conn.shutdown_tls();
}

// ---- the messages --------------------------------------------------------------

int G_HUB_LINK::publish_message() {
  G_BRIDGE& b = *p_bridge;
  const bool streams = b.opt.transport == TRANSPORT_STREAMS;
  // Pub/sub keeps nothing: what cannot be published now is lost.
  if (!streams && (!b.pub.b_up.load() || epoch == 0)) {
    ++b.counters.lost_redis_down;
    return BRIDGE_OK;
  }
  const uint8_t type = reader.msg_opcode == WS_OP_TEXT ? FED_TYPE_TEXT : FED_TYPE_BINARY;
  fed_header_write(p_msg, type, hub_id, b.instance_id, next_seq);
  const size_t len = FED_HEADER_SIZE + reader.msg_len;
  bool was_empty = false;
  int r = b.ring_to_redis.push(nullptr, 0, p_msg, len, 0, false, nullptr, &was_empty);
  if (r == G_RING::RING_FULL) {
    // Ask for a signal first, then try once more: room made in between
    // would otherwise go unnoticed.
    b_wait_room.store(true);
    r = b.ring_to_redis.push(nullptr, 0, p_msg, len, 0, false, nullptr, &was_empty);
    if (r == G_RING::RING_FULL) return BRIDGE_FAIL;
    b_wait_room.store(false);
  }
  if (r == G_RING::RING_OK) {
    ++next_seq;
    if (was_empty) b.pub.wake.signal();
  } else {
    ++b.counters.too_large;
  }
  return BRIDGE_OK;
}

void G_HUB_LINK::fill_out() {
  if (out_pos < out_len) return;  // a batch is still being written
  G_BRIDGE& b = *p_bridge;
  out_pos = out_len = out_frames = out_frames_done = 0;
  if (b_pong) {
    out_len = ws_client_frame(p_out, WS_OP_PONG, pong, pong_len, next_mask());
    frames[out_frames++] = FRAME{out_len, HUB_RECORD_ID{}, pong_len, false};
    b_pong = false;
  }
  const size_t limit = b.hub_message_max.load();
  const uint32_t tag = G_BRIDGE::aux_epoch(epoch);
  size_t too_large = 0;
  size_t too_large_len = 0;
  while (out_frames < OUT_FRAMES_MAX) {
    const int r = b.ring_to_hub.pop_with([&](const char* data, size_t n, uint32_t aux) {
      if (n < HUB_RECORD_ID::SIZE || (aux >> 8) != tag) return true;  // queued for an earlier session
      const size_t len = n - HUB_RECORD_ID::SIZE;
      if (len > limit) {
        ++too_large;
        too_large_len = len;
        return true;
      }
      return frame_record(data, len, uint8_t(aux & 0xFF));
    });
    if (r != G_RING::POP_TAKEN) break;
  }
  if (too_large != 0) {
    b.counters.too_large += too_large;
    b.log_too_large(last_too_large_log_ms, too_large_len, limit);
  }
  release_reader();
}

bool G_HUB_LINK::frame_record(const char* record, size_t len, uint8_t opcode) {
  const size_t need = ws_client_header_size(len) + len;
  // A batch ends near OUT_BATCH; one message of any allowed size fits
  // into an empty buffer.
  if (out_len != 0 && (out_len + need > out_cap || out_len >= OUT_BATCH)) return false;
  out_len += ws_client_frame(p_out + out_len, opcode, record + HUB_RECORD_ID::SIZE, len, next_mask());
  frames[out_frames++] = FRAME{out_len, HUB_RECORD_ID::read(record), len, true};
  return true;
}

void G_HUB_LINK::release_reader() {
  G_BRIDGE& b = *p_bridge;
  if (b_reader_wait.load() && b.ring_to_hub.bytes() <= b.opt.buffer_bytes / 2) {
    b_reader_wait.store(false);
    b.sub.wake.signal();
  }
}

void G_HUB_LINK::count_written() {
  G_BRIDGE& b = *p_bridge;
  const size_t first = out_frames_done;
  bool advanced = false;
  STREAM_ID last;
  while (out_frames_done < out_frames && frames[out_frames_done].end <= out_pos) {
    const FRAME& f = frames[out_frames_done++];
    if (!f.b_msg) continue;
    ++b.counters.to_hub;
    history[history_next] = f;
    history_next = (history_next + 1) % HISTORY;
    if (history_n < HISTORY) ++history_n;
    // An entry of several messages counts as written with its last: a
    // bridge resumed from before it drops the ones already written by
    // their numbers.
    if (f.id.b_end && f.id.is_entry()) last = STREAM_ID{f.id.ms, f.id.seq};
    advanced = true;
  }
  if (!advanced) return;
  {
    // The position and, with it, each bridge's last number written: a
    // bridge resumed from here judges gaps and duplicates as this one.
    SESSION_LOCK guard(b.session.lock);
    if (!(last == STREAM_ID{})) b.session.written = last;
    for (size_t i = first; i < out_frames_done; ++i)
      if (frames[i].b_msg && frames[i].id.number != 0)
        b.session.written_origins.set(frames[i].id.bridge, frames[i].id.number);
    b.session.b_written_dirty = true;
  }
  const uint64_t now = bridge_wall_ms();
  if (last.ms != 0) b.lag_ms.store(now > last.ms ? now - last.ms : 0);
  b.pub.wake.signal();  // the writer saves the position
}

void G_HUB_LINK::learn_limit() {
  G_BRIDGE& b = *p_bridge;
  // The hub reads frames in order and refused the first one over its
  // limit; the largest one written is over it for sure.
  size_t largest = 0;
  for (size_t i = 0; i < history_n; ++i)
    if (history[i].len > largest) largest = history[i].len;
  if (largest == 0) return;
  const size_t limit = largest - 1;
  if (limit < b.hub_message_max.load()) b.hub_message_max.store(limit);
  bridge_log(
      L"!! hub %s:%u refused a message of %zu bytes (1009); messages larger than %zu bytes toward it are "
      L"dropped from now on%ls\n",
      b.opt.hub_host, unsigned(b.opt.hub_port), largest, limit,
      b_announced_max ? L"" : L" (it announces no limit: give --max-message)");
  if (b.opt.transport == TRANSPORT_STREAMS) rewind_before(largest);
}

void G_HUB_LINK::rewind_before(size_t largest) {
  // Everything from the first frame that large on was never taken: read
  // it again (and drop what is too large) after the reconnect.
  const size_t oldest = history_n < HISTORY ? 0 : history_next;
  STREAM_ID before;
  bool found = false;
  for (size_t k = 0; k < history_n && !found; ++k) {
    const FRAME& f = history[(oldest + k) % HISTORY];
    if (f.len >= largest) {
      found = true;
      break;
    }
    if (f.id.b_end && f.id.is_entry()) before = STREAM_ID{f.id.ms, f.id.seq};
  }
  if (!found || (before.ms == 0 && before.seq == 0)) return;
  G_BRIDGE& b = *p_bridge;
  SESSION_LOCK guard(b.session.lock);
  b.session.written = before;
  b.session.b_written_dirty = true;
}
