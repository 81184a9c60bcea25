// The bridge's WebSocket client of its hub: the handshake, reading what
// the hub relays, writing what other bridges published.
#include "bridge/g_hub_link.hpp"

#include <openssl/rand.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/g_bridge.hpp"
#include "support/g_notify.hpp"

namespace {

constexpr int SERVE_POLL_MS = 1000;
constexpr uint64_t TOO_LARGE_LOG_MS = 1000;  // at most one such line a second

short poll_events(int64_t again) { return again == CONN_AGAIN_WRITE ? POLLOUT : POLLIN; }

// The identity of a hub that announces none: its address (FNV-1a).
uint64_t address_id(const char* host, uint16_t port) {
  uint64_t h = 1469598103934665603ull;
  for (const char* p = host; *p != 0; ++p) h = (h ^ uint8_t(*p)) * 1099511628211ull;
  h = (h ^ (port >> 8)) * 1099511628211ull;
  h = (h ^ (port & 0xFF)) * 1099511628211ull;
  return h != 0 ? h : 1;
}

}  // namespace

G_HUB_LINK::~G_HUB_LINK() { close(); }

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

int G_HUB_LINK::start() { return thread.create(&G_HUB_LINK::thread_main, this); }

int G_HUB_LINK::join() { return thread.wait(); }

void* G_HUB_LINK::thread_main(void* self) {
  static_cast<G_HUB_LINK*>(self)->run();
  return nullptr;
}

const uint8_t* G_HUB_LINK::next_mask() {
  if (mask_next >= sizeof masks) {
    // Masks must be unpredictable to whoever sees the frames (RFC 6455 10.3).
    if (RAND_bytes(masks, int(sizeof masks)) != 1) {
      for (size_t i = 0; i < sizeof masks; ++i) masks[i] = uint8_t(random());
    }
    mask_next = 0;
  }
  const uint8_t* m = masks + mask_next;
  mask_next += 4;
  return m;
}

void G_HUB_LINK::run() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  const bool streams = o.transport == TRANSPORT_STREAMS;
  BRIDGE_BACKOFF backoff;
  bool b_reported = false;   // this outage has been logged
  bool b_standing = false;   // standing by has been logged
  bool b_ever_up = false;
  while (!b.b_stop.load()) {
    int r = open_connection();
    if (r == BRIDGE_STOP) break;
    if (r == BRIDGE_OK) {
      // Nothing queued for an earlier session is delivered into this one.
      const uint64_t gone = b.ring_to_hub.clear();
      if (!streams) b.counters.dropped_hub_down += gone;
      // Toward Streams nothing is read from the hub before the claim: its
      // senders wait. Pub/sub waits while Redis is there to decide.
      r = wait_claim(streams);
      if (r == BRIDGE_STOP) {
        say_goodbye(WS_CLOSE_GOING_AWAY);
        break;
      }
      bool standby = r == BRIDGE_FAIL;
      if (!standby) {
        b_up.store(true);
        backoff.reset();
        b_reported = false;
        b_standing = false;
        if (b_ever_up) ++b.counters.reconnects_hub;
        b_ever_up = true;
        bridge_log(L":: hub %s:%u up (%ls)  instance %016llx  message max %zu\n", o.hub_host,
                   unsigned(o.hub_port), o.b_tls ? L"WSS" : L"WS", (unsigned long long)hub_id,
                   b.hub_message_max.load());
        if (b.pub.b_up.load() && b.sub.b_up.load()) g_notify_ready_once();  // relaying both ways
        r = serve();
        b_up.store(false);
        if (r == BRIDGE_STOP) {
          say_goodbye(WS_CLOSE_GOING_AWAY);
          break;
        }
        standby = r == BRIDGE_STANDBY;
      }
      if (standby) {
        // Another bridge has this hub: leave the hub's slot to it and ask
        // again later (it may be one that ended, whose claim runs out).
        say_goodbye(WS_CLOSE_GOING_AWAY);
        drop_connection();
        if (!b_standing) {
          bridge_printable(why);
          bridge_log(L"!! hub %s:%u (instance %016llx) is bridged already by %s; standing by, asking again "
                     L"every %u ms\n",
                     o.hub_host, unsigned(o.hub_port), (unsigned long long)hub_id, why, STANDBY_RETRY_MS);
          b_standing = true;
        }
        if (wake.nap(STANDBY_RETRY_MS, b.b_stop) == BRIDGE_STOP) break;
        continue;
      }
      drop_connection();
      bridge_printable(why);
      bridge_log(L"!! hub %s:%u down: %s; reconnecting (backoff %u ms doubling to %u ms)\n", o.hub_host,
                 unsigned(o.hub_port), why, BRIDGE_BACKOFF::FIRST_MS, BRIDGE_BACKOFF::CAP_MS);
      b_reported = true;
    } else {
      drop_connection();
      if (!b_reported) {
        bridge_printable(why);
        bridge_log(L"!! hub %s:%u unreachable: %s; retrying (backoff %u ms doubling to %u ms)\n", o.hub_host,
                   unsigned(o.hub_port), why, BRIDGE_BACKOFF::FIRST_MS, BRIDGE_BACKOFF::CAP_MS);
        b_reported = true;
      }
    }
    if (wake.nap(backoff.take(), b.b_stop) == BRIDGE_STOP) break;
  }
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

int G_HUB_LINK::open_connection() {
  G_BRIDGE& b = *p_bridge;
  const BRIDGE_OPTIONS& o = b.opt;
  const uint64_t deadline = bridge_now_ms() + OPEN_TIMEOUT_MS;
  why[0] = 0;
  int r = conn.open(o.hub_host, o.hub_port, p_ctx, o.ca_file[0] != 0, deadline, wake, b.b_stop);
  if (r != BRIDGE_OK) {
    snprintf(why, sizeof why, "%s", conn.why);
    return r;
  }

  // The WebSocket upgrade.
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
  for (size_t done = 0; done < size_t(req_len);) {
    const int64_t n = conn.write(request + done, size_t(req_len) - done);
    if (n > 0) {
      done += size_t(n);
      continue;
    }
    if (n == CONN_ERROR || n == CONN_EOF) {
      conn.why_io("WebSocket request");
      snprintf(why, sizeof why, "%s", conn.why);
      return BRIDGE_FAIL;
    }
    r = conn.wait(poll_events(n), deadline, wake, b.b_stop);
    if (r != BRIDGE_OK) {
      snprintf(why, sizeof why, "no answer within %u ms", OPEN_TIMEOUT_MS);
      return r;
    }
  }
  // The response head; frames may follow it in the same read.
  in_pos = in_len = 0;
  const char* end = nullptr;
  while (end == nullptr) {
    if (in_len >= HEAD_MAX) {
      snprintf(why, sizeof why, "WebSocket response longer than %zu bytes", HEAD_MAX);
      return BRIDGE_FAIL;
    }
    const int64_t n = conn.read(p_in + in_len, HEAD_MAX - in_len);
    if (n > 0) {
      in_len += size_t(n);
      end = static_cast<const char*>(memmem(p_in, in_len, "\r\n\r\n", 4));
      continue;
    }
    if (n == CONN_EOF || n == CONN_ERROR) {
      conn.why_io("WebSocket response");
      snprintf(why, sizeof why, "%s", conn.why);
      return BRIDGE_FAIL;
    }
    r = conn.wait(poll_events(n), deadline, wake, b.b_stop);
    if (r != BRIDGE_OK) {
      snprintf(why, sizeof why, "no answer within %u ms", OPEN_TIMEOUT_MS);
      return r;
    }
  }
  const size_t head_len = size_t(end - p_in) + 4;
  const int check = ws_check_response(p_in, head_len, key);
  if (check != WS_RESPONSE_OK) {
    const char* eol = static_cast<const char*>(memchr(p_in, '\r', head_len));
    const int status_len = int(eol != nullptr ? eol - p_in : 0);
    snprintf(why, sizeof why, "WebSocket handshake refused (%s): %.*s",
             check == WS_RESPONSE_STATUS    ? "status"
             : check == WS_RESPONSE_UPGRADE ? "no upgrade"
                                            : "wrong Sec-WebSocket-Accept",
             status_len > 80 ? 80 : status_len, p_in);
    return BRIDGE_FAIL;
  }

  // Who the hub is and what it takes.
  uint64_t instance = 0;
  uint64_t announced_max = 0;
  const int found = ws_hub_announcement(p_in, head_len, instance, announced_max);
  const uint64_t id = (found & WS_ANNOUNCE_INSTANCE) != 0 && instance != 0 ? instance
                                                                            : address_id(o.hub_host, o.hub_port);
  if ((found & WS_ANNOUNCE_INSTANCE) == 0 && id != hub_id)
    bridge_log(L"!! hub %s:%u announces no instance id (an older hub): its address stands for it, so a bridge "
               L"restarted after the hub was restarted too resumes where the old one stopped, and two bridges "
               L"reach it unnoticed under two addresses\n",
               o.hub_host, unsigned(o.hub_port));
  size_t limit = b.max_message;
  b_announced_max = (found & WS_ANNOUNCE_MAX) != 0;
  if (b_announced_max) {
    if (announced_max < limit) limit = size_t(announced_max);
  } else if (id == hub_id) {
    limit = b.hub_message_max.load();  // what its 1009 taught, for the same hub
  } else {
    bridge_log(L"!! hub %s:%u announces no message limit (an older hub): --max-message %zu applies; a larger "
               L"message costs a reconnect\n",
               o.hub_host, unsigned(o.hub_port), limit);
  }
  b.hub_message_max.store(limit);
  hub_id = id;
  {
    SESSION_LOCK guard(b.session.lock);
    session = ++b.session.hub_session;
    b.session.hub_id = id;
  }
  b.pub.wake.signal();  // the writer claims the hub for this session
  in_pos = head_len;
  reader.reset();
  return BRIDGE_OK;
}

bool G_HUB_LINK::claim_still_held() {
  G_BRIDGE& b = *p_bridge;
  SESSION_LOCK guard(b.session.lock);
  if (b.session.claim_session != session) return false;
  if (b.session.claim == BRIDGE_SESSION::CLAIM_HELD) {
    epoch = b.session.epoch;
    return true;
  }
  if (b.session.claim == BRIDGE_SESSION::CLAIM_REFUSED) snprintf(why, sizeof why, "%s", b.session.holder);
  return false;
}

int G_HUB_LINK::wait_claim(bool b_always) {
  G_BRIDGE& b = *p_bridge;
  const uint64_t deadline = bridge_now_ms() + OPEN_TIMEOUT_MS;
  for (;;) {
    {
      SESSION_LOCK guard(b.session.lock);
      if (b.session.claim_session == session && b.session.claim != BRIDGE_SESSION::CLAIM_PENDING) {
        if (b.session.claim == BRIDGE_SESSION::CLAIM_HELD) {
          epoch = b.session.epoch;
          return BRIDGE_OK;
        }
        snprintf(why, sizeof why, "%s", b.session.holder);
        return BRIDGE_FAIL;
      }
    }
    if (!b_always && (!b.pub.b_up.load() || bridge_now_ms() >= deadline)) return BRIDGE_PENDING;
    if (wake.wait(b_always ? SERVE_POLL_MS : 50, b.b_stop) == BRIDGE_STOP) return BRIDGE_STOP;
  }
}

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
    if (f.b_end && (f.ms != 0 || f.seq != 0)) last = STREAM_ID{f.ms, f.seq};
    advanced = true;
  }
  if (!advanced) return;
  {
    // The position and, with it, each bridge's last number written: a
    // bridge resumed from here judges gaps and duplicates as this one.
    SESSION_LOCK guard(b.session.lock);
    if (!(last == STREAM_ID{})) b.session.written = last;
    for (size_t i = first; i < out_frames_done; ++i)
      if (frames[i].b_msg && frames[i].number != 0) b.session.written_origins.set(frames[i].bridge, frames[i].number);
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
  bridge_log(L"!! hub %s:%u refused a message of %zu bytes (1009); messages larger than %zu bytes toward it are "
             L"dropped from now on%ls\n",
             b.opt.hub_host, unsigned(b.opt.hub_port), largest, limit,
             b_announced_max ? L"" : L" (it announces no limit: give --max-message)");
  if (b.opt.transport != TRANSPORT_STREAMS) return;
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
    if (f.b_end && (f.ms != 0 || f.seq != 0)) before = STREAM_ID{f.ms, f.seq};
  }
  if (!found || (before.ms == 0 && before.seq == 0)) return;
  SESSION_LOCK guard(b.session.lock);
  b.session.written = before;
  b.session.b_written_dirty = true;
}

void G_HUB_LINK::fill_out() {
  if (out_pos < out_len) return;  // a batch is still being written
  G_BRIDGE& b = *p_bridge;
  out_pos = out_len = out_frames = out_frames_done = 0;
  if (b_pong) {
    out_len = ws_client_frame(p_out, WS_OP_PONG, pong, pong_len, next_mask());
    frames[out_frames++] = FRAME{out_len, 0, 0, 0, 0, pong_len, false, false};
    b_pong = false;
  }
  const size_t limit = b.hub_message_max.load();
  const uint32_t tag = G_BRIDGE::aux_epoch(epoch);
  size_t too_large = 0;
  size_t too_large_len = 0;
  while (out_frames < OUT_FRAMES_MAX) {
    const int r = b.ring_to_hub.pop_with([&](const char* data, size_t n, uint32_t aux) {
      if (n < RECORD_ID_SIZE || (aux >> 8) != tag) return true;  // queued for an earlier session
      const size_t len = n - RECORD_ID_SIZE;
      if (len > limit) {
        ++too_large;
        too_large_len = len;
        return true;
      }
      const size_t need = ws_client_header_size(len) + len;
      // A batch ends near OUT_BATCH; one message of any allowed size fits
      // into an empty buffer.
      if (out_len != 0 && (out_len + need > out_cap || out_len >= OUT_BATCH)) return false;
      FRAME f{};
      memcpy(&f.ms, data, 8);
      memcpy(&f.seq, data + 8, 8);
      memcpy(&f.bridge, data + 16, 8);
      memcpy(&f.number, data + 24, 8);
      uint64_t end = 0;
      memcpy(&end, data + 32, 8);
      f.b_end = end != 0;
      out_len += ws_client_frame(p_out + out_len, uint8_t(aux & 0xFF), data + RECORD_ID_SIZE, len, next_mask());
      f.end = out_len;
      f.len = len;
      f.b_msg = true;
      frames[out_frames++] = f;
      return true;
    });
    if (r != G_RING::POP_TAKEN) break;
  }
  if (too_large != 0) {
    b.counters.too_large += too_large;
    const uint64_t now = bridge_now_ms();
    if (now - last_too_large_log_ms >= TOO_LARGE_LOG_MS) {
      last_too_large_log_ms = now;
      bridge_log(L"!! dropped a message of %zu bytes toward hub %s:%u: it takes at most %zu\n", too_large_len,
                 b.opt.hub_host, unsigned(b.opt.hub_port), limit);
    }
  }
  if (b_reader_wait.load() && b.ring_to_hub.bytes() <= b.opt.buffer_bytes / 2) {
    b_reader_wait.store(false);
    b.sub.wake.signal();
  }
}

int G_HUB_LINK::serve() {
  G_BRIDGE& b = *p_bridge;
  const bool streams = b.opt.transport == TRANSPORT_STREAMS;
  bool readable = true;  // try first; the socket says when to stop
  bool writable = true;
  short read_wants = POLLIN;
  short write_wants = POLLOUT;
  bool check_claim = true;
  for (;;) {
    if (b.b_stop.load()) return BRIDGE_STOP;
    if (check_claim) {
      check_claim = false;
      if (!claim_still_held()) {
        SESSION_LOCK guard(b.session.lock);
        const bool refused = b.session.claim_session == session && b.session.claim == BRIDGE_SESSION::CLAIM_REFUSED;
        if (refused) return BRIDGE_STANDBY;
        // Pub/sub: not claimed yet; messages flow once it is.
        epoch = 0;
      }
    }
    bool progress = false;

    // A message that found no room toward Redis goes first.
    if (b_msg_pending) {
      if (publish_message() == BRIDGE_OK) {
        b_msg_pending = false;
        progress = true;
      }
    }
    // Decode what was read.
    while (!b_msg_pending && in_pos < in_len) {
      size_t used = 0;
      const int r = reader.feed(p_in + in_pos, in_len - in_pos, used);
      in_pos += used;
      if (r == G_WS_READER::WSR_MORE) break;
      progress = true;
      if (r == G_WS_READER::WSR_MESSAGE) {
        ++b.counters.from_hub;
        if (publish_message() != BRIDGE_OK) b_msg_pending = true;
      } else if (r == G_WS_READER::WSR_TOO_LARGE) {
        ++b.counters.from_hub;
        ++b.counters.too_large;
      } else if (r == G_WS_READER::WSR_PING) {
        memcpy(pong, reader.ctl, reader.ctl_len);
        pong_len = reader.ctl_len;
        b_pong = true;
      } else if (r == G_WS_READER::WSR_CLOSE) {
        if (reader.close_code == 1009) {
          learn_limit();
          snprintf(why, sizeof why, "the hub closed the connection with 1009: a message was larger than it takes");
        } else {
          snprintf(why, sizeof why, "the hub closed the connection with %u", unsigned(reader.close_code));
        }
        say_goodbye(reader.close_code);
        return BRIDGE_FAIL;
      } else {
        snprintf(why, sizeof why, "not a valid WebSocket frame from the hub");
        return BRIDGE_FAIL;
      }
    }
    if (in_pos == in_len) in_pos = in_len = 0;

    // Read more when everything read has been taken.
    if (!b_msg_pending && readable && in_len == 0) {
      const int64_t n = conn.read(p_in, IN_SIZE);
      if (n > 0) {
        in_len = size_t(n);
        progress = true;
        if (conn.p_ssl != nullptr && write_wants == POLLIN) writable = true;
      } else if (n == CONN_EOF || n == CONN_ERROR) {
        conn.why_io("hub");
        snprintf(why, sizeof why, "%s", conn.why);
        return BRIDGE_FAIL;
      } else {
        readable = false;
        read_wants = poll_events(n);
      }
    }

    // Frames toward the hub.
    if (epoch != 0) fill_out();
    if (out_pos < out_len && writable) {
      const int64_t n = conn.write(p_out + out_pos, out_len - out_pos);
      if (n > 0) {
        out_pos += size_t(n);
        count_written();
        progress = true;
        if (conn.p_ssl != nullptr && read_wants == POLLOUT) readable = true;
      } else if (n == CONN_ERROR || n == CONN_EOF) {
        conn.why_io("hub");
        snprintf(why, sizeof why, "%s", conn.why);
        return BRIDGE_FAIL;
      } else {
        writable = false;
        write_wants = poll_events(n);
      }
    }
    if (progress) continue;

    pollfd p[2] = {{conn.so, 0, 0}, {wake.fd, POLLIN, 0}};
    if (!b_msg_pending && !readable) p[0].events |= read_wants;
    if (out_pos < out_len && !writable) p[0].events |= write_wants;
    const int n = poll(p, 2, SERVE_POLL_MS);
    if (n < 0 && errno != EINTR) {
      snprintf(why, sizeof why, "poll: %s", strerror(errno));
      return BRIDGE_FAIL;
    }
    if (n == 0 && streams) check_claim = true;
    if (n <= 0) continue;
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
      readable = writable = true;
    }
    if (got & read_wants) readable = true;
    if (got & write_wants) writable = true;
  }
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
