// One connection slot: its threads, the accept loop, the set-up of each
// connection, the fan-out data path, the clean stop's close, and the
// metrics and health pages.
#include "relay/g_so_task.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "relay/g_socket.hpp"
#include "support/g_console.hpp"
#include "support/g_utf8.hpp"
#include "web/http_page.hpp"

G_SO_TASK* G_SO_TASK::tasks = nullptr;
uint16_t G_SO_TASK::w_connections = 0;
uint64_t G_SO_TASK::page_size_r = 0;
uint64_t G_SO_TASK::page_size_w = 0;
uint64_t G_SO_TASK::stack_size = 0;
bool G_SO_TASK::b_listen = false;
std::atomic<bool> G_SO_TASK::b_stop{false};
std::atomic<int32_t> G_SO_TASK::task_count{0};
std::atomic<int> G_SO_TASK::so_listen{-1};
std::atomic<bool> G_SO_TASK::b_print_was_active{false};
std::atomic<bool> G_SO_TASK::b_stopping{false};
std::atomic<int> G_SO_TASK::live_r{0};
std::atomic<int64_t> G_SO_TASK::stop_deadline_ms{0};
int64_t G_SO_TASK::start_time = 0;
uint32_t G_SO_TASK::ref_count = 0;
g_event G_SO_TASK::e_thread_p;
g_thread G_SO_TASK::h_thread_p;

G_SO_TASK::G_SO_TASK() {
  task_id = ref_count++;
  e_send.init(false, false);
  e_send_done.init(false, true);
}

G_SO_TASK::~G_SO_TASK() {
  b_running = false;
  --ref_count;
  b_relay = false;
  print = false;
  write = false;
  page_r = nullptr;
  if (task_id == 0) {
    // Join the print thread after closing its event, so that it has finished
    // before the static thread object is destroyed at process exit.
    e_thread_p.close();
    h_thread_p.wait();
    h_thread_p.close();
  }
  g_tls_t& tls = ws.tls;
  if (tls.so != -1) {
    wprintf(L"\n!! server %02u  so %i %i\n", task_id, (int)tls.so_attached, (int)tls.so);
  }
  tls.b_abort = true;
  tls.end_session();
  e_thread_r.close();
  e_thread_w.close();
  e_send.close();
  e_send_done.close();
  if (h_thread_r.b_valid) {
    if (b_connected) {
      wprintf(L":: server %02u  terminate_r so %i\n", task_id, (int)tls.so_attached);
      h_thread_r.kill();
    } else {
      const int old = so_listen.exchange(-1);
      if (old != -1) {
        ::shutdown(old, SHUT_RDWR);
        ::close(old);
      }
      h_thread_r.wait();
    }
    h_thread_r.close();
  }
  if (h_thread_w.b_valid) {
    if (b_connected) {
      wprintf(L":: server %02u  terminate_w so %i\n", task_id, (int)tls.so_attached);
      h_thread_w.kill();
    } else {
      h_thread_w.wait();
    }
    h_thread_w.close();
  }
}

int G_SO_TASK::init_task() {
  ws.tls.p_recv = page_r;
  ws.tls.p_recv_size = page_size_r;
  b_running = true;
  e_thread_r.init(false, false);
  h_thread_r.conf_stack(stack_size, true);
  int r = h_thread_r.create(bootstrap_r, this);
  if (r == 0) ++live_r;
  if (r == 0 && write) {
    e_thread_w.init(false, false);
    h_thread_w.conf_stack(stack_size, true);
    r = h_thread_w.create(bootstrap_w, this);
  }
  // The hub ends the process once every thread it started has been
  // stopped: an exit here would pull the arena from under them.
  if (r != 0) print_format_inline(r, L"CreateThread(NULL, 0, bootstrap_r/w, this, 0, NULL)");
  return r;
}

int G_SO_TASK::init_print() {
  e_thread_p.init(false, false);
  h_thread_p.conf_stack(stack_size, true);
  const int r = h_thread_p.create(bootstrap_p, this);
  if (r != 0) print_format_inline(r, L"CreateThread(NULL, 0, bootstrap_p, this, 0, NULL)");
  return r;
}

void* G_SO_TASK::bootstrap_p(void* task) {
  G_SO_TASK* t = static_cast<G_SO_TASK*>(task);
  while (e_thread_p.wait() == 0 && t->b_running) {
  }
  // Task 0's destructor joins and closes the thread object.
  return nullptr;
}

int G_SO_TASK::work_p() {
  while (e_thread_p.wait() == 0 && b_running) {
  }
  return -1;
}

void* G_SO_TASK::bootstrap_r(void* task) {
  G_SO_TASK* t = static_cast<G_SO_TASK*>(task);
  if (t->e_thread_r.wait() == 0) {
    if (b_listen) {
      t->start_server();
    } else {
      t->start_client(&t->e_thread_r, true);
    }
  }
  t->b_running = false;
  t->e_send.close();
  t->e_send_done.close();
  t->e_thread_w.close();
  t->ws.tls.end_session();
  // Joined, not left to close itself: a thread that only forgets its own
  // handle is never reclaimed. The hub joins this thread the same way.
  t->h_thread_w.wait();
  t->h_thread_w.close();
  --live_r;
  return nullptr;
}

void* G_SO_TASK::bootstrap_w(void* task) {
  G_SO_TASK* t = static_cast<G_SO_TASK*>(task);
  {
    // A send thread woken for a delivery must not preempt the receive thread
    // that is still fanning the same message out: without wake-up preemption
    // a fan-out to N receivers costs N wake-ups instead of 2N context switches.
    sched_param sp{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &sp);
  }
  if (b_listen || t->e_thread_w.wait() == 0) t->start_client(&t->e_thread_w, false);
  t->b_running = false;
  t->e_thread_r.close();
  t->ws.tls.end_session();
  return nullptr;
}

int G_SO_TASK::kind_of_connection() const {
  const bool tls = ws.tls.b_tls.load();
  const bool web = ws.b_websocket;
  return tls ? (web ? G_KIND_WSS : G_KIND_TLS) : (web ? G_KIND_WS : G_KIND_RAW);
}

const wchar_t* G_SO_TASK::kind_name(int kind) {
  static const wchar_t* const names[G_KIND_COUNT] = {L"RAW", L"TLS", L"WS", L"WSS"};
  return kind >= 0 && kind < G_KIND_COUNT ? names[kind] : L"-";
}

void G_SO_TASK::print_kind() {
  wprintf(L"%ls\n", kind_name(kind_of_connection()));
}

int G_SO_TASK::start_server() {
  while (!b_stop) {
    int so = -1;
    const int r = accept_one(so);
    if (r == ACCEPT_RETRY) continue;
    if (r != ACCEPT_OK) return r == ACCEPT_STOPPED ? 0 : -1;
    const int32_t count = arrived(so);
    serve(so, count);
    teardown(so);
    if (b_stop) return 0;
  }
  return 0;
}

int G_SO_TASK::accept_one(int& so) {
  addr_listen_size = sizeof(sockaddr_in);
  socklen_t len = addr_listen_size;
  so = ::accept(so_listen, reinterpret_cast<sockaddr*>(&addr_listen), &len);
  addr_listen_size = len;
  if (so != -1) return ACCEPT_OK;
  const int err = errno;
  if (err == EINTR) return ACCEPT_RETRY;
  if (err == ECONNRESET) return b_stop ? ACCEPT_STOPPED : ACCEPT_RETRY;
  if (err == EMFILE) {
    const int old = so_listen.exchange(-1);
    if (old != -1) {
      ::shutdown(old, SHUT_RDWR);
      ::close(old);
    }
  }
  if (b_stop) return ACCEPT_FAILED;
  b_stop = true;
  b_running = false;
  const int listening = so_listen;
  if (listening == -1) return ACCEPT_FAILED;
  wprintf(
      L"!! server %02u  accept(so_listen:%i, (sockaddr *) &addr_listen:%08llx, "
      L"&addr_listen_size:%u)\n",
      task_id, listening, (unsigned long long)(uintptr_t)&addr_listen, addr_listen_size);
  print_format_inline(err, nullptr);
  return ACCEPT_FAILED;
}

int32_t G_SO_TASK::arrived(int so) {
  const int32_t count = ++task_count;
  b_connected = true;
  accepted_ms = g_tls_t::now_ms();
  if (report) {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(&addr_listen.sin_addr);
    wprintf(L"\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  so %i  ", a[0], a[1],
            a[2], a[3], (unsigned)ntohs(addr_listen.sin_port), task_id, (unsigned)count,
            (unsigned)w_connections, so);
    if (ws.b_verbose_handshake) {
      wprintf(L"\n");
    } else {
      b_print_was_active = true;
    }
    fflush(stdout);
  }
  G_SOCKET::socket_keep_alive(so);
  return count;
}

void G_SO_TASK::serve(int so, int32_t count) {
  bool late = false;
  for (;;) {
    if (set_up(so, count, late) == SETUP_ENDED) return;
    if (!late && ws.handshake_silent && !b_stopping && spare_of_a_page_load(addr_listen.sin_addr.s_addr)) {
      // A browser that loads a page opens a spare connection at the same
      // moment and may send its next request over it seconds later;
      // relayed messages it found there first would spoil that answer. So
      // a silent connection that came with an HTTP request from the same
      // address waits outside the relay until it speaks (and is then set up
      // again) or until a browser would have given it up.
      if (first_bytes_within(SPARE_WAIT_MS)) {
        late = true;
        continue;
      }
    }
    become_member();
    b_setup_again = false;
    if (!b_stopping) work_r();
    if (b_stopping) close_for_stop();
    if (!b_setup_again || late) return;
    // A silent member's first bytes came late and may be a ClientHello or
    // a request (a browser's spare connection put to use): it leaves the
    // relay and is set up again, once.
    kind_now = G_KIND_NONE;
    b_relay = false;
    if (lock_send() == 0) unlock_send();
    late = true;
  }
}

void G_SO_TASK::become_member() {
  g_tls_t& tls = ws.tls;
  // Fails only when the socket is gone, and then the read loop ends at its
  // first read anyway.
  (void)tls.set_recv_timeout(0);
  tls.set_setup_budget(0);
  const int kind = kind_of_connection();
  G_SLOT_COUNTERS::add(counters.accepted[kind], 1);
  kind_now = kind;
  form_now = ws.version.load() >= 13 ? 0 : 1;
  // Reset the send side under the send lock, before the slot turns ready: a
  // sender that saw this slot ready may already be waiting.
  const bool locked = lock_send() == 0;
  send_result = 0;
  send_errno = 0;
  size_send = 0;
  b_relay = true;
  if (locked) unlock_send();
  if (e_thread_w.b_valid) e_thread_w.signal();
}

void G_SO_TASK::teardown(int so) {
  kind_now = G_KIND_NONE;
  ws.tls.end_session();
  b_relay = false;
  // Wait for a send still in flight on the old socket: it must finish (and
  // record its result) before the next connection of this task starts, or
  // its failure would be charged to, or even close, the new connection.
  if (lock_send() == 0) unlock_send();
  ws.b_websocket = false;
  b_connected = false;
  const int32_t count = --task_count;
  if (report) {
    bool expected = true;
    if (b_print_was_active.compare_exchange_strong(expected, false)) wprintf(L"\n\n");
    wprintf(L":: server_%02u.fin  active %02u/%02u  so %i\n", task_id, (unsigned)count,
            (unsigned)w_connections, so);
  }
}

int G_SO_TASK::start_client(g_event* e, bool receiver) {
  g_tls_t& tls = ws.tls;
  if (!b_running) return 0;
  // In server mode the send thread serves every later connection of its task
  // from work_w, so once released it must get there even when the connection
  // that released it has already ended: a message handed over meanwhile would
  // otherwise hold the send lock forever.
  bool released = false;
  for (;;) {
    if ((b_connected && tls.so != -1) || (released && !receiver && b_listen)) {
      if (receiver) {
        int32_t count = ++task_count;
        const int so = tls.so;
        if (report) {
          wprintf(L":: client_%02u.working  active %02u  so %i  %s\n", task_id, (unsigned)count, so,
                  tls.get_status() == G_TLS_OK ? "TLS" : "RAW");
        }
        work_r();
        tls.end_session();
        count = --task_count;
        if (report) {
          wprintf(L":: client_%02u.fin  active %02u  so %i\n", task_id, (unsigned)count,
                  (int)tls.so_attached);
        }
      } else {
        work_w();
      }
      b_connected = false;
      if (b_stop) return 0;
      if (!b_running) return 0;
      continue;
    }
    if (e->wait() != 0) return -1;
    if (!b_running) return 0;
    released = true;
  }
}

int G_SO_TASK::new_client(int so, bool use_tls) {
  return use_tls ? ws.tls.new_client(so) : ws.tls.new_client_raw(so);
}

int G_SO_TASK::resume() {
  const int r = e_thread_r.signal();
  if (h_thread_w.b_valid) e_thread_w.signal();
  return r;
}

int G_SO_TASK::resume_r() {
  return e_thread_r.signal();
}

int G_SO_TASK::resume_w() {
  return e_thread_w.b_valid ? e_thread_w.signal() : 0;
}

// ---------------------------------------------------------------------------
// Fan-out data path

void G_SO_TASK::fan_out(char* p, size_t length, uint32_t opcode) {
  batch_r[0] = relay_msg_t{p, length, opcode};
  batch_count = 1;
  fan_out_batch();
}

namespace {

// A plain sender's message goes to WebSocket receivers as text when its
// bytes are well-formed UTF-8, else as binary: decided once for all.
void resolve_opcode(relay_msg_t& m) {
  if (m.opcode != WS_OPCODE_TEXT && m.opcode != WS_OPCODE_BINARY)
    m.opcode =
        utf8_well_formed((const unsigned char*)m.payload, m.length) ? WS_OPCODE_TEXT : WS_OPCODE_BINARY;
}

}  // namespace

void G_SO_TASK::fan_out_batch() {
  const size_t count = batch_count;
  batch_count = 0;
  if (count == 0) return;
  // Seen by a stop before it checks b_stopping: either the stop waits for
  // this fan-out, or this read came after the stop began and is dropped.
  b_fanning.store(true);
  if (b_stopping.load()) {
    b_fanning.store(false);
    return;
  }
  uint64_t total = 0;
  for (size_t k = 0; k < count; ++k)
    total += batch_r[k].length;
  const int own = kind_now.load(std::memory_order_relaxed);
  if (own >= 0) {
    G_SLOT_COUNTERS::add(counters.received_msgs[own], count);
    G_SLOT_COUNTERS::add(counters.received_bytes[own], total);
  }
  // Framed once, when the first RFC 6455 receiver comes up: every such
  // receiver then gets these same bytes without a copy of its own.
  relay_frames_t frames;
  bool framed = false;
  // Deliveries are summed here and counted once per batch.
  uint64_t msgs[G_KIND_COUNT] = {};
  uint64_t bytes[G_KIND_COUNT] = {};
  for (uint32_t i = 0; i < w_connections && !b_abandon; ++i) {
    G_SO_TASK* t = &tasks[i];
    if (t == this || !t->b_relay) continue;
    if (!framed && t->ws.b_websocket && t->ws.version >= 13) {
      framed = true;
      frame_batch(count, frames);
    }
    const int kind = t->kind_now.load(std::memory_order_relaxed);
    const size_t handed = t->send_batch(batch_r, count, &frames, this);
    if (kind < 0 || handed == 0) continue;
    msgs[kind] += handed;
    if (handed == count) {
      bytes[kind] += total;
    } else {
      for (size_t k = 0; k < handed; ++k)
        bytes[kind] += batch_r[k].length;
    }
  }
  for (int k = 0; k < G_KIND_COUNT; ++k) {
    if (msgs[k] == 0) continue;
    G_SLOT_COUNTERS::add(counters.delivered_msgs[k], msgs[k]);
    G_SLOT_COUNTERS::add(counters.delivered_bytes[k], bytes[k]);
  }
  b_fanning.store(false);
}

bool G_SO_TASK::frame_batch(size_t count, relay_frames_t& out) {
  out = relay_frames_t{};
  char* start = nullptr;
  char* pos = nullptr;
  for (size_t k = 0; k < count; ++k) {
    relay_msg_t& m = batch_r[k];
    resolve_opcode(m);
    const size_t header = WEBSOCKET_SRV::frame_header_size(m.length);
    if (k == 0) {
      // The first frame starts right in front of its payload, so that it
      // stays where it is.
      if (m.payload < page_r || static_cast<size_t>(m.payload - page_r) < header) return false;
      start = pos = m.payload - header;
    } else if (m.payload < pos || static_cast<size_t>(m.payload - pos) < header) {
      return false;
    }
    // Moving down only: nothing ahead of a payload is overwritten before
    // it has been moved.
    char* dst = pos + header;
    if (dst != m.payload && m.length != 0) memmove(dst, m.payload, m.length);
    WEBSOCKET_SRV::frame_header(pos, m.length, m.opcode);
    m.payload = dst;
    pos = dst + m.length;
  }
  out.data = start;
  out.length = static_cast<size_t>(pos - start);
  return true;
}

int G_SO_TASK::read_failed(int64_t n) {
  g_tls_t& tls = ws.tls;
  // The transport recorded why, right after the call that failed.
  const int err = tls.err_recv;
  if (n == 0 || !b_running || err == ECONNABORTED || err == ECONNRESET) return 0;
  if (err != 0) {
    wprintf(L"\n!! recv(%u)  so %i %i\n", task_id, (int)tls.so, (int)tls.so_attached);
    print_format_inline(err, L"");
    return err;
  }
  if (tls.err_tls != 0) {
    wprintf(L"\n!! recv(%u)  TLS error %i  so %i %i\n", task_id, (int)tls.err_tls, (int)tls.so,
            (int)tls.so_attached);
  }
  return 0;
}

size_t G_SO_TASK::plain_head() const {
  return page_size_r > 2 * FRAME_HEAD_MAX ? FRAME_HEAD_MAX : 0;
}

int G_SO_TASK::work_r() {
  g_tls_t& tls = ws.tls;
  tls.user_timeout_ms = 8000;
  skipped_r = 0;
  b_abandon = false;
  // A plain read goes to WebSocket receivers as one frame, whose header
  // (up to FRAME_HEAD_MAX bytes) must fit in the same half as the bytes:
  // read at most that much less, or a full read could not be framed and
  // would be lost. The read lands behind that much room, where the frame's
  // header is then written in place.
  const size_t head = plain_head();
  const size_t limit_plain = head != 0 ? page_size_r - head : page_size_r - 1;
  // Bytes the handshake read that are the stream's: they lie behind the
  // head room, where the handshake read them.
  char* const rest = page_r + head + ws.handshake_rest_off;
  const size_t rest_len = ws.handshake_rest_len;
  ws.handshake_rest_len = 0;
  if (!ws.b_websocket) {
    if (rest_len == 0 && ws.handshake_silent && late_first_bytes_need_set_up()) {
      b_setup_again = true;
      return 0;
    }
    // The bytes read for the handshake are the stream's first, and lie
    // where a read would have put them.
    size_t held = 0;
    if (rest_len != 0) held = fan_out_text(page_r + head, rest_len, limit_plain);
    for (;;) {
      if (b_abandon || b_stopping) return 0;
      // A held tail waits only briefly for the rest of its character.
      if (held != 0) (void)tls.set_recv_timeout(TAIL_WAIT_MS);
      const int64_t n = tls.recv(page_r + head + held, limit_plain - held);
      if (held != 0) (void)tls.set_recv_timeout(0);
      if (n < 0 && held != 0 && (tls.err_recv == EAGAIN || tls.err_recv == EWOULDBLOCK)) {
        // The sender stopped inside a character: its bytes go as they are.
        fan_out(page_r + head, held, WS_OPCODE_AUTO);
        held = 0;
        continue;
      }
      if (n <= 0) {
        // A sender that closes releases a tail it still held.
        if (held != 0 && n == 0) fan_out(page_r + head, held, WS_OPCODE_AUTO);
        return read_failed(n);
      }
      held = fan_out_text(page_r + head, held + static_cast<size_t>(n), limit_plain);
    }
  }

  // The frame walk calls back per message (collected: the messages of one
  // read stay where they are until the next room(), and are fanned out
  // together, one write per receiver), per pong and at the close.
  struct walk_handler {
    G_SO_TASK& t;
    void message(char* payload, size_t length, uint32_t opcode) {
      t.batch_r[t.batch_count++] = relay_msg_t{payload, length, opcode};
      if (t.batch_count == BATCH_MAX) t.fan_out_batch();
    }
    void reply(const char* frame, size_t length) { t.send_control(frame, length, false); }
    void close(uint16_t code, const char*, size_t) {
      // Through ws, which also ends the framing toward this connection.
      t.ws.close_with(code);
      // What the client sent before its close (or its fault) still goes out.
      t.fan_out_batch();
      if (code == WS_CLOSE_TOO_BIG) {
        wprintf(L"\n!! ws(%02u) message over %llu bytes: closed with 1009 (raise -L)\n", t.task_id,
                (unsigned long long)t.ws.rx.message_max());
      }
      t.send_control(t.ws.c_reply, t.ws.c_reply_size, true);
      t.linger_close(g_tls_t::now_ms() + LINGER_MS);
    }
  } handler{*this};
  WS_PARSER& rx = ws.rx;
  rx.begin(page_r, page_size_r, ws.version);
  int r = WS_WALK_MORE;
  size_t carried = 0;
  while (r == WS_WALK_MORE) {
    if (b_abandon || b_stopping) return 0;
    if (carried < rest_len) {
      // Frames the client sent right behind its request: walked first.
      size_t taken = 0;
      r = rx.feed(rest + carried, rest_len - carried, taken, handler);
      carried += taken;
    } else {
      size_t room = 0;
      char* at = rx.room(room);
      const int64_t n = tls.recv(at, room);
      if (n <= 0) return read_failed(n);
      r = rx.consume(static_cast<size_t>(n), handler);
    }
    fan_out_batch();
  }
  return 0;
}

bool G_SO_TASK::spare_of_a_page_load(uint32_t addr) const {
  for (uint32_t i = 0; i < w_connections; ++i) {
    const G_SO_TASK& t = tasks[i];
    const int64_t at = t.answered_ms.load();
    // Answered within moments of this connection's arrival, before or
    // after it: a browser opens its spare connection around the request it
    // sends, sometimes only once the answer is on its way.
    const int64_t apart = at > accepted_ms ? at - accepted_ms : accepted_ms - at;
    if (at != 0 && apart < SPARE_PAIR_MS && t.answered_addr.load() == addr) return true;
  }
  return false;
}

bool G_SO_TASK::first_bytes_within(unsigned ms) {
  g_tls_t& tls = ws.tls;
  if (tls.set_recv_timeout(ms) != G_TLS_OK) return false;
  char first[16];
  const int64_t n = tls.peek(first, sizeof first);
  (void)tls.set_recv_timeout(0);
  return n > 0 && !b_stopping;
}

bool G_SO_TASK::late_first_bytes_need_set_up() {
  // Blocks until the first bytes come (the member receives meanwhile), and
  // consumes nothing.
  char first[1024];
  const int64_t n = ws.tls.peek(first, sizeof first);
  if (n <= 0 || b_stopping) return false;
  // Only a whole request line counts here (a browser sends it in one
  // piece): a member's late first words that merely could begin one are
  // relayed at once, as plain bytes.
  const bool hello = !ws.tls.b_tls && n >= 6 && first[0] == 22 && first[5] == 1;
  const bool request = http_request_line_kind(first, static_cast<size_t>(n)) == HTTP_LINE_YES;
  return hello || request;
}

int G_SO_TASK::set_up(int so, int32_t count, bool late) {
  g_tls_t& tls = ws.tls;
  const timeval tv_detect{0, 500000};
  setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, &tv_detect, sizeof(tv_detect));
  // Each read of the set-up waits at most tv_detect; the budget bounds
  // them all, however slowly a TLS client hands its bytes over.
  tls.set_setup_budget(SETUP_BUDGET_MS);
  // A late set-up of a plain connection looks for a ClientHello again; one
  // of a TLS connection only for a request.
  if (!late || !tls.b_tls) {
    if (tls.new_server_detect(so) == G_TLS_FAIL) {
      // Refused before it was classified: no identity, a failed handshake,
      // or one that did not finish within the set-up budget.
      const int why = !g_tls_t::server_valid      ? G_SETUP_TLS_NO_IDENTITY
                      : tls.err_recv == ETIMEDOUT ? G_SETUP_TIMEOUT
                                                  : G_SETUP_TLS_HANDSHAKE;
      G_SLOT_COUNTERS::add(counters.setup_failures[why], 1);
      return SETUP_ENDED;
    }
  }
  ws.send_buf = page_w;
  ws.send_buf_size = page_size_w;
  ws.message_limit =
      page_size_r > WEBSOCKET_SRV::MESSAGE_SLACK ? page_size_r - WEBSOCKET_SRV::MESSAGE_SLACK : 0;
  // The request is read behind the head room a plain read keeps, so that
  // bytes the handshake read for a plain stream are relayed from where they
  // are.
  const size_t head = plain_head();
  const int hs = ws.client_handshake(page_r + head, page_size_r - head);
  count_handshake(hs);
  if (report) {
    if (late) {
      wprintf(L":: server_%02u.late  so %i  %ls\n", task_id, so,
              hs == WS_HANDSHAKE_ANSWERED ? L"HTTP" : kind_name(kind_of_connection()));
    } else if (task_count.load() == count) {
      b_print_was_active = false;
      if (hs == WS_HANDSHAKE_ANSWERED)
        wprintf(L"HTTP\n");
      else
        print_kind();
    }
  }
  if (hs != WS_HANDSHAKE_ANSWERED) return SETUP_MEMBER;
  // Browsers open spare connections next to the ones they use.
  answered_addr = addr_listen.sin_addr.s_addr;
  answered_ms = g_tls_t::now_ms();
  // An HTTP answer (a refused upgrade, the page, an error) ends the
  // connection; it never becomes a relay member. The answer must arrive:
  // what the client still sends is read and dropped first.
  linger_close(g_tls_t::now_ms() + LINGER_MS);
  return SETUP_ENDED;
}

size_t G_SO_TASK::fan_out_text(char* p, size_t len, size_t full) {
  // A read that ends inside a UTF-8 character (because it filled the
  // buffer, or because the stream was cut into segments there) leaves that
  // character's first bytes for the next read, so that both pieces stay
  // text: always after a full read, and after a shorter one when what comes
  // before is text (the rest of the character is then on its way; the next
  // read waits for it only TAIL_WAIT_MS). Anything else goes out at once.
  size_t hold = utf8_incomplete_tail(p, len);
  if (hold != 0 && len != full && !utf8_well_formed(reinterpret_cast<const unsigned char*>(p), len - hold))
    hold = 0;
  if (len > hold) fan_out(p, len - hold, WS_OPCODE_AUTO);
  if (hold != 0) memmove(p, p + len - hold, hold);
  return hold;
}

size_t G_SO_TASK::utf8_incomplete_tail(const char* p, size_t len) {
  const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
  // Back over up to three continuation bytes to the lead byte before them.
  size_t i = len;
  size_t cont = 0;
  while (i > 0 && cont < 3 && (u[i - 1] & 0xC0) == 0x80) {
    --i;
    ++cont;
  }
  if (i == 0) return 0;
  const unsigned char lead = u[i - 1];
  const size_t need = lead >= 0xF0 && lead <= 0xF4   ? 4
                      : lead >= 0xE0 && lead <= 0xEF ? 3
                      : lead >= 0xC2 && lead <= 0xDF ? 2
                                                     : 0;
  // Only a character that is still short of bytes is held.
  return need > cont + 1 ? cont + 1 : 0;
}

void G_SO_TASK::count_handshake(int hs) {
  const int status = ws.http_status;
  const int h = G_SLOT_COUNTERS::http_index(status);
  if (h >= 0) G_SLOT_COUNTERS::add(counters.http[h], 1);
  if (hs != WS_HANDSHAKE_ANSWERED) return;
  if (ws.http_refused_upgrade)
    G_SLOT_COUNTERS::add(counters.setup_failures[G_SETUP_UPGRADE_REFUSED], 1);
  else if (status == 400 || status == 431)
    G_SLOT_COUNTERS::add(counters.setup_failures[G_SETUP_BAD_REQUEST], 1);
}

void G_SO_TASK::close_for_stop() {
  g_tls_t& tls = ws.tls;
  const int64_t deadline = stop_deadline_ms.load();
  // Every batch already read is delivered before anyone closes: wait until
  // no slot is in the middle of a fan-out (no new one starts once the stop
  // is under way).
  for (;;) {
    bool busy = false;
    for (uint32_t i = 0; i < w_connections && !busy; ++i)
      busy = tasks[i].b_fanning.load();
    if (!busy || g_tls_t::now_ms() >= deadline) break;
    struct timespec pause {
      0, 2000000
    };
    nanosleep(&pause, nullptr);
  }
  // Our last bytes must not wait past the stop's deadline either.
  tls.set_send_deadline(deadline);
  if (ws.b_websocket && ws.version.load() != 0) {
    ws.close_with(WS_CLOSE_AWAY);
    send_control(ws.c_reply, ws.c_reply_size, true);
  }
  if (tls.b_tls) (void)tls.close_notify();
  const int64_t linger = g_tls_t::now_ms() + STOP_LINGER_MS;
  linger_close(linger < deadline ? linger : deadline);
}

void G_SO_TASK::linger_close(int64_t until_ms) {
  // Our last bytes (a close frame, an HTTP answer) have been written. Tell
  // the peer nothing more follows and read what it still sends until it
  // closes too, within a bound: closing on unread data would send a reset,
  // which can destroy those last bytes on their way (a browser then sees
  // 1006 instead of the close code).
  g_tls_t& tls = ws.tls;
  // The bound below is the linger's own; the set-up's no longer applies.
  tls.set_setup_budget(0);
  tls.shutdown_send();
  uint64_t dropped = 0;
  while (dropped < LINGER_BYTES) {
    const int64_t left = until_ms - g_tls_t::now_ms();
    if (left <= 0) break;
    // Each read waits at most what is left of the bound.
    if (tls.set_recv_timeout(static_cast<unsigned>(left)) != G_TLS_OK) break;
    // Whatever still comes is dropped: nothing is decoded any more.
    const int64_t n = tls.recv(page_r, page_size_r);
    if (n <= 0) break;
    dropped += static_cast<uint64_t>(n);
  }
}

int G_SO_TASK::send_control(const char* frame, size_t length, bool final) {
  // A close is the last frame: relayed frames must not follow it.
  if (final) {
    b_relay = false;
    const int c = G_SLOT_COUNTERS::close_index(ws.close_code);
    if (c >= 0) G_SLOT_COUNTERS::add(counters.closes[c], 1);
  }
  if (lock_send() != 0) return 0;
  if (send_result == -1 || ws.tls.so == -1 || length == 0 || length > size_w_half) {
    unlock_send();
    return 0;
  }
  hand_over(frame, length);
  if (final) {
    // Wait (bounded, within a stop's deadline) until it has been written
    // before the connection goes.
    int64_t wait = CLOSE_WAIT_MS;
    if (b_stopping) {
      const int64_t left = stop_deadline_ms.load() - g_tls_t::now_ms();
      wait = left < 0 ? 0 : left < wait ? left : wait;
    }
    if (lock_send(static_cast<unsigned>(wait)) == 0) unlock_send();
  }
  return 1;
}

int G_SO_TASK::send_packet(char* payload, size_t length, uint32_t opcode) {
  relay_msg_t m{payload, length, opcode};
  return send_batch(&m, 1) == 1 ? 1 : 0;
}

int G_SO_TASK::lock_for(G_SO_TASK* sender) {
  if (sender == nullptr) return lock_send() == 0 ? LOCK_TAKEN : LOCK_SKIP;
  if (sender->b_abandon) return LOCK_SKIP;
  const uint32_t bit = 1u << (task_id & 31);
  // A receiver this departed sender gave up on gets its messages only when
  // its lock is free right away.
  if (sender->skipped_r & bit) return e_send_done.wait_time(0) == 0 ? LOCK_TAKEN : LOCK_SKIP;
  for (;;) {
    const int r = e_send_done.wait_time(LOCK_SLICE_MS);
    if (r == 0) return LOCK_TAKEN;
    if (r != ETIMEDOUT) return LOCK_SKIP;  // the slot is closing
    // The wait is bounded: the receiver's send thread cuts a batch that is
    // not taken within STALL_CUT_MS. Meanwhile the sender looks at its own
    // client. One that reset has left for good: what it sent is void, and
    // its slot is freed at once. One that closed its sending side still has
    // what it sent delivered, but not to a receiver that has not taken a
    // batch for a while.
    const int peer = sender->ws.tls.peer_state();
    if (peer == g_tls_t::PEER_GONE) {
      sender->b_abandon = true;
      return LOCK_SKIP;
    }
    const int64_t since = inflight_since_ms.load();
    const int64_t age = since != 0 ? g_tls_t::now_ms() - since : 0;
    if (peer == g_tls_t::PEER_DONE && age >= DEPART_SKIP_MS) {
      sender->skipped_r |= bit;
      return LOCK_SKIP;
    }
    // Past the cut and still held: never hang the sender on it.
    if (age > STALL_CUT_MS + STALL_GRACE_MS) return LOCK_SKIP;
  }
}

size_t G_SO_TASK::send_batch(relay_msg_t* msgs, size_t count, const relay_frames_t* frames,
                             G_SO_TASK* sender) {
  size_t handed = 0;
  size_t i = 0;
  while (i < count) {
    if (lock_for(sender) != LOCK_TAKEN) return handed;
    if (send_result == -1) {
      const uint32_t err = send_errno;  // read under the lock
      unlock_send();
      // A stalled receiver was reported once, when it was cut.
      if (err != ECONNABORTED && err != ECONNRESET && err != ETIMEDOUT) {
        print_format_inline(static_cast<int>(err),
                            L"!! send_packet() !! work_w() !! send(so, p_send, size_send, SO_SEND_FLAGS)");
      }
      return handed;
    }
    if (!b_relay || ws.tls.so == -1) {
      unlock_send();
      return handed;
    }
    const bool web = ws.b_websocket;
    if (i == 0) {
      // What the sender already holds contiguous for this connection is
      // written from there: the batch's RFC 6455 frames, or the one
      // message of a read for a byte stream.
      const char* ready = nullptr;
      size_t ready_length = 0;
      if (web) {
        if (frames != nullptr && frames->data != nullptr && frames->length <= size_w_half &&
            ws.version >= 13 && ws.frame_type_fixed == 0) {
          ready = frames->data;
          ready_length = frames->length;
        }
      } else if (count == 1 && msgs[0].length != 0 && msgs[0].length <= size_w_half) {
        ready = msgs[0].payload;
        ready_length = msgs[0].length;
      }
      if (ready != nullptr) {
        hand_over(ready, ready_length);
        return count;
      }
    }
    // Frame as many messages as the current half holds, back to back.
    size_t pos = 0;
    size_t framed = 0;
    for (; i < count; ++i) {
      relay_msg_t& m = msgs[i];
      if (web) {
        // The bytes decide a plain sender's type, once for all receivers.
        resolve_opcode(m);
        const int r = ws.frame_append(page_w_cur, size_w_half, pos, m.payload, m.length, m.opcode);
        if (r == WEBSOCKET_SRV::APPEND_DONE) {
          ++framed;
          continue;
        }
        if (r == WEBSOCKET_SRV::APPEND_SKIPPED) continue;
      } else {
        // A byte stream gets the bare bytes; an empty message is nothing.
        if (m.length == 0) continue;
        if (m.length <= size_w_half - pos) {
          memcpy(page_w_cur + pos, m.payload, m.length);
          pos += m.length;
          ++framed;
          continue;
        }
      }
      // The half is full. A message that fits no empty half is never sent
      // from bytes that were not copied for it: it is dropped here.
      if (pos == 0) continue;
      break;
    }
    if (pos == 0) {
      unlock_send();
      continue;
    }
    hand_over(page_w_cur, pos);
    handed += framed;
  }
  return handed;
}

void G_SO_TASK::hand_over(const char* src, size_t len) {
  // Switch halves before the hand-over: once the send thread has the bytes
  // it may give the lock to the next sender at any moment.
  char* const half = page_w_cur;
  page_w_cur = page_w_index == 0 ? page_w + size_w_half : page_w;
  page_w_index ^= 1;
  // The send path is idle (we hold its lock), so write what the socket
  // takes at once ourselves: no wake-up and no thread hand-over for the
  // common case. Whatever remains, and any failure, goes to the send
  // thread, which blocks, records the result and closes as usual. (Server
  // mode only; client mode keeps the plain hand-over.)
  if (b_listen && ws.tls.b_tls) {
    // Encrypted here; left-over records are the send thread's to finish.
    const int64_t w = ws.tls.send_tls_nowait(src, len);
    if (w > 0) {
      send_result = w;
      unlock_send();
      return;
    }
    if (w == 0) {
      // The message is consumed: only records are left (send_pending).
      p_send = half;
      size_send = 0;
      inflight_since_ms = g_tls_t::now_ms();
      e_send.signal();
      return;
    }
  } else if (b_listen) {
    const int64_t w = ws.tls.send_nowait(src, len);
    if (w > 0) {
      if (static_cast<uint64_t>(w) == len) {
        send_result = w;
        unlock_send();
        return;
      }
      src += w;
      len -= static_cast<size_t>(w);
    }
  }
  // Only now, and only the rest, is copied: the sender's buffer is read
  // again as soon as the fan-out returns. From here the batch is in flight
  // on the send thread, which must see it taken within STALL_CUT_MS.
  const uintptr_t at = reinterpret_cast<uintptr_t>(src);
  const uintptr_t h = reinterpret_cast<uintptr_t>(half);
  const bool in_half = at >= h && at < h + size_w_half;
  if (!in_half && len != 0) memcpy(half, src, len);
  p_send = in_half ? const_cast<char*>(src) : half;
  size_send = len;
  inflight_since_ms = g_tls_t::now_ms();
  e_send.signal();
}

int G_SO_TASK::work_w() {
  g_tls_t& tls = ws.tls;
  for (;;) {
    if (e_send.wait() != 0) return -1;
    // The batch must be taken within the bound from its hand-over: a client
    // that reads a few bytes now and then does not renew it.
    const int64_t since = inflight_since_ms.load();
    tls.set_send_deadline(since != 0 ? since + STALL_CUT_MS : 0);
    tls.err_send = 0;
    const int64_t n = tls.has_pending() ? tls.send_pending() : tls.send(p_send, size_send);
    send_result = n;
    if (n == G_TLS_FAIL) {
      const int err = tls.err_send;
      send_errno = static_cast<uint32_t>(err);
      if (err == ETIMEDOUT) G_SLOT_COUNTERS::add(counters.stalled, 1);
      if (err == ETIMEDOUT && report && !b_stopping) {
        const int64_t held = g_tls_t::now_ms() - since;
        wprintf(L"\n!! server_%02u  stalled: its messages were not taken for %lld.%lld s, disconnected\n",
                task_id, (long long)(held / 1000), (long long)(held % 1000 / 100));
      }
      tls.end_session();
    }
    tls.set_send_deadline(0);
    inflight_since_ms = 0;
    unlock_send();
  }
}

void G_SO_TASK::reset() {
  send_result = 0;
  send_errno = 0;
  size_send = 0;
  b_relay = true;
}

void G_SO_TASK::assign_send_buffer(char* buffer, size_t size) {
  p_send = nullptr;
  page_w_index = 0;
  size_w_half = size / 2;
  page_w = page_w_cur = buffer;
}

// ---------------------------------------------------------------------------
// The hub's own pages: metrics and health

void G_SO_TASK::take_snapshot(G_METRICS_SNAPSHOT& m) {
  memset(&m, 0, sizeof(m));
  for (uint32_t i = 0; i < w_connections; ++i) {
    const G_SO_TASK& t = tasks[i];
    m.add(t.counters);
    if (t.b_connected) ++m.slots_in_use;
    // Members only: a connection being closed is none any more.
    const int k = t.kind_now.load();
    if (k < 0 || !t.b_relay) continue;
    ++m.connections[k];
    if (k == G_KIND_WS || k == G_KIND_WSS) ++m.ws_forms[t.form_now.load()];
  }
  m.slots_configured = w_connections;
  m.tls_not_after = g_tls_t::server_valid ? g_tls_t::server_not_after.load() : 0;
  m.start_time = start_time;
  m.accepting = !b_stopping && so_listen.load() != -1;
}

int G_SO_TASK::serve_page(WEBSOCKET_SRV& ws, const http_request_t& req) {
  const bool get = req.method_len == 3 && memcmp(req.method, "GET", 3) == 0;
  const bool head = req.method_len == 4 && memcmp(req.method, "HEAD", 4) == 0;
  const char* path = nullptr;
  size_t path_len = 0;
  if ((!get && !head) || !http_target_path(req.target, req.target_len, &path, &path_len)) return 0;
  const bool metrics = path_len == 8 && memcmp(path, "/metrics", 8) == 0;
  const bool health = path_len == 8 && memcmp(path, "/healthz", 8) == 0;
  if (!metrics && !health) return 0;

  char head_buf[512];
  if (health) {
    const bool ok = !b_stopping && so_listen.load() != -1;
    const char* body = ok ? "ok\n" : "stopping\n";
    const int status = ok ? HTTP_STATUS_OK : HTTP_STATUS_UNAVAILABLE;
    const size_t hl =
        http_answer_head(status, "text/plain; charset=utf-8", strlen(body), head_buf, sizeof head_buf);
    if (ws.tls.send(head_buf, hl) > 0 && get) (void)ws.tls.send(body, strlen(body));
    return status;
  }
  // The text is rendered from one snapshot and sent piece by piece through
  // a small buffer: its length first, for the head.
  G_METRICS_SNAPSHOT m;
  take_snapshot(m);
  // The answer being sent is counted in it.
  ++m.http[G_SLOT_COUNTERS::http_index(HTTP_STATUS_OK)];
  char piece[1024];
  const size_t total = g_metrics_render(m, 0, piece, 0);
  const size_t hl =
      http_answer_head(HTTP_STATUS_OK, G_METRICS_CONTENT_TYPE, total, head_buf, sizeof head_buf);
  if (ws.tls.send(head_buf, hl) <= 0 || !get) return HTTP_STATUS_OK;
  for (size_t at = 0; at < total;) {
    const size_t n = total - at < sizeof piece ? total - at : sizeof piece;
    g_metrics_render(m, at, piece, n);
    if (ws.tls.send(piece, n) <= 0) break;
    at += n;
  }
  return HTTP_STATUS_OK;
}
