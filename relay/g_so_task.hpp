// One connection slot of the hub: its receive and send threads, its buffers
// inside the hub's arena, and the fan-out data path.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

#include "metrics/g_metrics.hpp"
#include "support/g_event.hpp"
#include "support/g_thread.hpp"
#include "websocket/websocket_srv.hpp"

// One message of a read, as the fan-out hands it to every receiver: it
// points into the sender's receive buffer. opcode is the WebSocket
// sender's, or WS_OPCODE_AUTO until the first WebSocket receiver resolves it
// from the bytes.
struct relay_msg_t {
  char* payload;
  size_t length;
  uint32_t opcode;
};

// The RFC 6455 frames of one batch, back to back: built once by the sender,
// in place in its own receive buffer, for every receiver that takes them
// unchanged. data is null when the batch could not be framed in place.
struct relay_frames_t {
  const char* data = nullptr;
  size_t length = 0;
};

// Threading. Each slot has a receive thread (accept loop, handshake, work_r:
// reading and fanning out) and a send thread (work_w). Other slots' receive
// threads deliver to this slot through send_packet / send_batch, which run
// on the SENDING slot's receive thread against the RECEIVING slot.
//
// The hand-over: send_batch takes the receiving slot's send lock
// e_send_done (lock_send) and writes the messages of the sender's current
// read, framed for this connection, with one non-blocking write (the direct
// write). Where the sender already holds them contiguous (the batch's
// RFC 6455 frames, built once in place for all such receivers, or the one
// message of a plain read for a byte stream) they are written from there;
// otherwise they are framed back to back into the receiver's current half
// of page_w first. When everything went out the sender gives the lock back
// (unlock_send); otherwise what is left is in the current half (copied
// there now if it was not), halves are switched, and the sender signals
// e_send: the lock, as a token, passes with it to the receiver's send
// thread, which writes the rest and then gives the lock back. So each
// receiver has at most one read's messages in flight (in one half), the
// next sender uses the other half once it holds the lock, and a receiver
// that does not drain makes its senders wait (backpressure): nothing is
// queued.
class G_SO_TASK {
 public:
  // ---- set once at start-up, by the hub before any thread is released ----
  char* page_r = nullptr;  // receive buffer
  char* page_w = nullptr;  // send double buffer: two halves of size_w_half
  uint64_t size_w_half = 0;
  uint32_t task_id = 0;
  bool report = false;
  bool print_once = false;
  bool print = false;
  bool verbose = false;
  bool write = false;

  // ---- events (each safe to use from any thread) ----
  g_event e_thread_r;   // releases the receive thread
  g_event e_thread_w;   // releases the send thread
  g_event e_send;       // hand-over: bytes (and the send lock) for the send thread
  g_event e_send_done;  // the send lock: auto-reset, created signalled

  // ---- under the send lock e_send_done, whoever holds it: a sender's
  // receive thread (send_batch), this slot's receive thread (its own control
  // frames, the reset before the slot turns ready), or this slot's send
  // thread after a hand-over. ws's framing for this connection
  // (frame_append) runs under it too. ----
  int64_t send_result = 0;
  uint32_t send_errno = 0;
  uint8_t page_w_index = 0;
  char* page_w_cur = nullptr;  // the half the next batch is framed into
  char* p_send = nullptr;
  uint64_t size_send = 0;

  // ---- the connection; ws.tls is used by both threads under the
  // transport's own rules, ws's other state as WEBSOCKET_SRV says ----
  WEBSOCKET_SRV ws;

  // ---- atomics read by other slots and threads ----
  std::atomic<bool> b_connected{false};
  std::atomic<bool> b_relay{false};  // ready to receive fanned-out messages
  std::atomic<bool> b_running{false};
  // The member's kind while it is one (G_KIND_NONE otherwise); written by the
  // receive thread at set-up and teardown.
  std::atomic<int> kind_now{G_KIND_NONE};
  // Its WebSocket handshake form while it is one: 0 RFC 6455, 1 Key1/Key2.
  std::atomic<int> form_now{0};
  // Set by the receive thread while it hands a batch out: a stop waits until
  // no slot is in the middle of one (what was read is delivered first).
  std::atomic<bool> b_fanning{false};

  // ---- counters: each group has one writer (G_SLOT_COUNTERS says which);
  // summed by a scrape ----
  G_SLOT_COUNTERS counters;

  // ---- the threads: started by init_task at start-up; the receive thread
  // joins the send thread when it ends, the destructor joins both ----
  g_thread h_thread_r;
  g_thread h_thread_w;

  // ---- the receive thread only ----
  // Peer address of this task's accept: tasks accept concurrently, so each
  // one needs storage of its own.
  sockaddr_in addr_listen{};
  uint32_t addr_listen_size = 0;
  // When the connection now served was accepted (g_tls_t::now_ms).
  int64_t accepted_ms = 0;
  // Messages of the current read, fanned out together.
  static constexpr size_t BATCH_MAX = 256;
  // Room a plain read leaves in front of its bytes for the frame header a
  // WebSocket receiver needs (the largest RFC 6455 server header).
  static constexpr size_t FRAME_HEAD_MAX = 10;
  relay_msg_t batch_r[BATCH_MAX];
  size_t batch_count = 0;
  // Receivers (bit = task_id) this slot stopped waiting for after its own
  // client closed its sending side, and whether its client reset while it
  // waited (nothing more of it is relayed); reset per connection.
  uint32_t skipped_r = 0;
  bool b_abandon = false;
  // work_r ended because the member's late first bytes need a set-up.
  bool b_setup_again = false;

  // ---- written under the send lock by whoever hands a batch to the send
  // thread, cleared by the send thread; read without the lock by waiting
  // senders ----
  // When the batch now in flight on the send thread was handed over
  // (g_tls_t::now_ms), 0 while none is.
  std::atomic<int64_t> inflight_since_ms{0};

  // ---- written by the receive thread, read by other slots' set-ups: the
  // address (network order) and time of this slot's last HTTP answer ----
  std::atomic<uint32_t> answered_addr{0};
  std::atomic<int64_t> answered_ms{0};

  // ---- process-wide: written once before any task is released, except the
  // atomics ----
  static G_SO_TASK* tasks;
  static uint16_t w_connections;
  static uint64_t page_size_r;
  static uint64_t page_size_w;
  static uint64_t stack_size;
  static bool b_listen;
  static std::atomic<bool> b_stop;
  static std::atomic<int32_t> task_count;
  static std::atomic<int> so_listen;
  static std::atomic<bool> b_print_was_active;
  // A clean stop is under way (set once by the hub on SIGTERM or SIGINT):
  // nothing more is read, each slot closes its connection politely by
  // stop_deadline_ms (g_tls_t::now_ms).
  static std::atomic<bool> b_stopping;
  // Receive threads started and not yet ended (the hub watches for 0).
  static std::atomic<int> live_r;
  static std::atomic<int64_t> stop_deadline_ms;
  // When the process started, in seconds since the epoch (for the metrics).
  static int64_t start_time;
  static uint32_t ref_count;
  static g_event e_thread_p;
  static g_thread h_thread_p;

  G_SO_TASK();
  ~G_SO_TASK();
  G_SO_TASK(const G_SO_TASK&) = delete;
  G_SO_TASK& operator=(const G_SO_TASK&) = delete;

  // Start the slot's threads (init_task: receive and, with `write`, send;
  // init_print: the print thread). 0, or the failed creation's error number
  // (the error trailer has been printed; the caller stops what it started).
  int init_task();
  int init_print();
  static void* bootstrap_r(void* task);
  static void* bootstrap_w(void* task);
  static void* bootstrap_p(void* task);
  int start_server();
  int start_client(g_event* e, bool receiver);
  int new_client(int so, bool use_tls);
  int resume();
  int resume_r();
  int resume_w();
  int work_p();

  // Fan-out data path.
  int work_r();
  // Delivers the messages of one read to this slot's connection, each framed
  // for it, back to back and out in one write: from frames (the sender's
  // RFC 6455 frames of these messages, or null) when this connection takes
  // them unchanged, from the one message itself for a byte stream, else
  // framed into its current half; a half that fills up is written and the
  // rest go into the other half. Runs on the sending slot's receive thread;
  // may resolve msgs[i].opcode. Returns the number of messages handed on
  // (written, or given to the send thread).
  // sender: the slot whose receive thread calls (null when none: the wait
  // for the lock is then a plain one).
  size_t send_batch(relay_msg_t* msgs, size_t count, const relay_frames_t* frames = nullptr,
                    G_SO_TASK* sender = nullptr);
  // One message: send_batch of one.
  int send_packet(char* payload, size_t length, uint32_t opcode = WS_OPCODE_AUTO);
  // Sends a frame of this slot's own (a pong, a close) through the same send
  // path, so that it never interleaves with a relayed frame. Runs on this
  // slot's receive thread. final: the close, after which nothing is relayed
  // to the connection; waits (bounded) until it has been written.
  int send_control(const char* frame, size_t length, bool final);
  int work_w();
  void reset();

  // Sums every slot's counters and state into m, at one moment.
  static void take_snapshot(G_METRICS_SNAPSHOT& m);
  // The hub's own pages besides the chat page, registered with the
  // handshake (WEBSOCKET_SRV::dynamic_page): GET or HEAD of /metrics (the
  // counters in the Prometheus text format) and /healthz ("ok" while the
  // hub accepts, 503 once it stops). Returns the status sent, or 0 when the
  // request is for another page.
  static int serve_page(WEBSOCKET_SRV& ws, const http_request_t& req);
  void assign_send_buffer(char* buffer, size_t size);

  // The send lock: taken before framing or writing; given back by the
  // taker when nothing is left to write, else by the send thread after it
  // has written the rest (see the hand-over above). Held from framing to
  // the end of the write, it allows one read's messages in flight per
  // receiver. 0 when taken; 43 once the slot is closing.
  //
  // The wait for it is bounded: a batch in flight that the receiver's
  // socket has not taken within STALL_CUT_MS is cut by the send thread (the
  // receiver is disconnected), so one client that stops reading cannot stop
  // the others; reading a few bytes now and then does not renew the bound.
  int lock_send() { return e_send_done.wait(); }
  // As lock_send, giving up after ms milliseconds (110, ETIMEDOUT).
  int lock_send(unsigned ms) { return e_send_done.wait_time(ms); }
  void unlock_send() { e_send_done.signal(); }

  // How long a final close frame may take to be written; how long, and for
  // how many bytes, the close waits for the peer's own close while it drops
  // what the peer still sends.
  static constexpr unsigned CLOSE_WAIT_MS = 2000;
  static constexpr int64_t LINGER_MS = 3000;
  static constexpr uint64_t LINGER_BYTES = 16u << 20;
  // A receiver whose batch in flight is not taken by its socket within this
  // is disconnected (the send thread's write deadline).
  static constexpr int64_t STALL_CUT_MS = 10000;
  // How long a silent connection from an address that was just answered
  // over HTTP (a browser's spare connection) waits outside the relay for
  // its first bytes: about as long as a browser keeps such a connection.
  static constexpr unsigned SPARE_WAIT_MS = 10000;
  static constexpr int64_t SPARE_PAIR_MS = 2000;
  // How long a tail of a plain read held back at the end of a UTF-8
  // character waits for the rest of it.
  static constexpr unsigned TAIL_WAIT_MS = 50;
  // How long a connection lingers for the peer's FIN when the hub stops.
  static constexpr int64_t STOP_LINGER_MS = 500;
  // A sender waiting for a receiver's lock looks at its own client this
  // often; once that client has left, it does not wait for a receiver whose
  // batch has been in flight this long.
  static constexpr unsigned LOCK_SLICE_MS = 100;
  static constexpr int64_t DEPART_SKIP_MS = 1000;
  // Beyond the cut and this grace the waiting sender gives up on the
  // receiver (the cut should have happened by then).
  static constexpr int64_t STALL_GRACE_MS = 2000;
  // The longest a connection's set-up (TLS detection, TLS handshake,
  // WebSocket handshake) may take before the slot stops waiting for it.
  static constexpr uint32_t SETUP_BUDGET_MS = 2000;

 private:
  // Fans the collected batch out to every other ready slot, in index order.
  void fan_out_batch();
  void fan_out(char* p, size_t length, uint32_t opcode);
  // Frames batch_r's first count messages as RFC 6455 frames in place in
  // page_r, each header over bytes already consumed in front of its payload
  // (the client's header and mask, or a plain read's head room), payloads
  // moved up to close the gaps; the messages' payload pointers follow.
  // False when a header finds no room: out stays empty.
  bool frame_batch(size_t count, relay_frames_t& out);
  // Under the send lock: switches halves and writes len bytes from src at
  // once; whatever the socket does not take goes to the send thread from
  // the half that was current (copied there unless src lies in it).
  void hand_over(const char* src, size_t len);
  int read_failed(int64_t n);
  // Head room a plain read keeps in front of its bytes (FRAME_HEAD_MAX, or 0
  // for a buffer too small to spare it).
  size_t plain_head() const;
  // Results of lock_for.
  enum : int { LOCK_TAKEN = 0, LOCK_SKIP = 1 };
  // Takes this (receiving) slot's send lock for a batch of sender's:
  // LOCK_TAKEN, or LOCK_SKIP when the sender does not deliver to it (the
  // slot is closing, or the sender's own client has left and this receiver
  // is stalled).
  int lock_for(G_SO_TASK* sender);
  // Reads and drops what the peer still sends after our last bytes, until
  // its end of stream, until_ms (g_tls_t::now_ms) or LINGER_BYTES.
  void linger_close(int64_t until_ms);
  // The polite end of a member when the hub stops: after every fan-out under
  // way has been delivered, a close frame with 1001 (WebSocket), the TLS
  // close_notify (TLS), the FIN (all), then a short linger; all within the
  // stop's deadline.
  void close_for_stop();
  // Fans out the len bytes of a plain read at p, except an incomplete UTF-8
  // character at its end when the read filled the buffer (len == full) or
  // the bytes before it are text; those bytes (at most 3) are moved to p and
  // their count returned, for the next read to complete.
  size_t fan_out_text(char* p, size_t len, size_t full);
  // Bytes at the end of p[0..len) that start a UTF-8 character still short
  // of its continuation bytes: 0 to 3.
  static size_t utf8_incomplete_tail(const char* p, size_t len);
  // The accept loop's steps, one connection after another. accept_one:
  // ACCEPT_OK with the new socket in so; ACCEPT_RETRY to accept again;
  // ACCEPT_STOPPED / ACCEPT_FAILED: the loop ends (start_server returns 0 /
  // -1; the first failure stops every slot). arrived: counts the connection
  // in and prints its SYN line; returns the active count. serve: set-up,
  // membership and the read loop (again for a late set-up). teardown: the
  // session ends, the slot waits for a send in flight, prints the .fin line.
  enum : int { ACCEPT_OK = 0, ACCEPT_RETRY = 1, ACCEPT_STOPPED = 2, ACCEPT_FAILED = 3 };
  int accept_one(int& so);
  int32_t arrived(int so);
  void serve(int so, int32_t count);
  void become_member();
  void teardown(int so);
  // Whether this connection looks like a browser's spare one: some slot
  // answered an HTTP request from the same address (network order) within
  // SPARE_PAIR_MS of this connection's arrival.
  bool spare_of_a_page_load(uint32_t addr) const;
  // Waits up to ms for the connection's first bytes, consuming nothing:
  // true when some came.
  bool first_bytes_within(unsigned ms);
  // Results of set_up.
  enum : int { SETUP_MEMBER = 0, SETUP_ENDED = 1 };
  // A connection's set-up: TLS detection and handshake (not again for a
  // late set-up of a TLS connection), then the request, if any; prints the
  // kind. SETUP_MEMBER when it is to become a relay member, SETUP_ENDED
  // when it was refused or answered over HTTP (and lingered). late: the
  // second set-up of a member whose first bytes came after its first one.
  int set_up(int so, int32_t count, bool late);
  // For a member that was silent through its set-up: waits for its first
  // bytes and tells whether they start a ClientHello or an HTTP request, so
  // that it must be set up again (true), or are plain data (false).
  bool late_first_bytes_need_set_up();
  static const wchar_t* kind_name(int kind);
  // Counts a handshake's outcome (its HTTP status, a refusal).
  void count_handshake(int hs);
  // The kind of the connection now attached.
  int kind_of_connection() const;
  void print_kind();
};
