// One connection slot of the hub: its receive and send threads, its buffers
// inside the hub's arena, and the fan-out data path.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

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

// Threading. Each slot has a receive thread (accept loop, handshake, work_r:
// reading and fanning out) and a send thread (work_w). Other slots' receive
// threads deliver to this slot through send_packet / send_batch, which run
// on the SENDING slot's receive thread against the RECEIVING slot.
//
// The hand-over: send_batch takes the receiving slot's send lock
// e_send_done (lock_send), frames the messages of the sender's current read
// back to back into the receiver's current half of page_w, switches halves
// and writes what the socket takes at once (the direct write). When
// everything went out it gives the lock back (unlock_send); otherwise it
// signals e_send and the lock, as a token, passes with it to the
// receiver's send thread, which writes the rest and then gives the lock
// back. So each receiver has at most one read's messages in flight (in one
// half), the next sender frames into the other half once it holds the lock,
// and a receiver that does not drain makes its senders wait
// (backpressure): nothing is queued.
class G_SO_TASK {
 public:
  // ---- set once at start-up, by the hub before any thread is released ----
  char* page_r = nullptr;      // receive buffer
  char* page_w = nullptr;      // send double buffer: two halves of size_w_half
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

  // ---- the threads: started by init_task at start-up; the receive thread
  // joins the send thread when it ends, the destructor joins both ----
  g_thread h_thread_r;
  g_thread h_thread_w;

  // ---- the receive thread only ----
  // Peer address of this task's accept: tasks accept concurrently, so each
  // one needs storage of its own.
  sockaddr_in addr_listen{};
  uint32_t addr_listen_size = 0;
  // Messages of the current read, fanned out together.
  static constexpr size_t BATCH_MAX = 256;
  relay_msg_t batch_r[BATCH_MAX];
  size_t batch_count = 0;

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
  static uint32_t ref_count;
  static g_event e_thread_p;
  static g_thread h_thread_p;

  G_SO_TASK();
  ~G_SO_TASK();
  G_SO_TASK(const G_SO_TASK&) = delete;
  G_SO_TASK& operator=(const G_SO_TASK&) = delete;

  void init_task();
  void init_print();
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
  // for it, back to back in its current half and out in one write; a half
  // that fills up is written and the rest go into the other half. Runs on
  // the sending slot's receive thread; may resolve msgs[i].opcode. Returns
  // the number of messages handed on (written, or given to the send thread).
  size_t send_batch(relay_msg_t* msgs, size_t count);
  // One message: send_batch of one.
  int send_packet(char* payload, size_t length, uint32_t opcode = WS_OPCODE_AUTO);
  // Sends a frame of this slot's own (a pong, a close) through the same send
  // path, so that it never interleaves with a relayed frame. Runs on this
  // slot's receive thread. final: the close, after which nothing is relayed
  // to the connection; waits (bounded) until it has been written.
  int send_control(const char* frame, size_t length, bool final);
  int work_w();
  void reset();
  void assign_send_buffer(char* buffer, size_t size);

  // The send lock: taken before framing into the current half; given back
  // by the taker when nothing is left to write, else by the send thread
  // after it has written the rest (see the hand-over above). Held from
  // framing to the end of the write, it allows one read's messages in
  // flight per receiver. 0 when taken; 43 once the slot is closing.
  int lock_send() { return e_send_done.wait(); }
  // As lock_send, giving up after ms milliseconds (110, ETIMEDOUT).
  int lock_send(unsigned ms) { return e_send_done.wait_time(ms); }
  void unlock_send() { e_send_done.signal(); }

  // How long a final close frame may take to be written, and how many
  // reads of what the peer still sends the close waits for.
  static constexpr unsigned CLOSE_WAIT_MS = 2000;
  static constexpr int LINGER_READS = 5;
  // The longest a connection's set-up (TLS detection, TLS handshake,
  // WebSocket handshake) may take before the slot stops waiting for it.
  static constexpr uint32_t SETUP_BUDGET_MS = 2000;

 private:
  // Fans the collected batch out to every other ready slot, in index order.
  void fan_out_batch();
  void fan_out(char* p, size_t length, uint32_t opcode);
  // Under the send lock, with p_send/size_send set: switches halves and
  // writes at once or wakes the send thread.
  void hand_over();
  int read_failed(int64_t n);
  void linger_close();
  void print_kind();
};
