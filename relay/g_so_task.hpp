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

class G_SO_TASK {
 public:
  g_event e_thread_r;
  g_event e_thread_w;
  g_event e_send;
  g_event e_send_done;
  int64_t send_result = 0;
  uint32_t send_errno = 0;
  uint8_t page_w_index = 0;
  char* page_w = nullptr;
  char* page_w_cur = nullptr;
  char* p_send = nullptr;
  uint64_t size_w_half = 0;
  uint64_t size_send = 0;
  WEBSOCKET_SRV ws;
  std::atomic<bool> b_connected{false};
  std::atomic<bool> b_relay{false};
  std::atomic<bool> b_running{false};
  g_thread h_thread_r;
  g_thread h_thread_w;
  uint32_t task_id = 0;
  bool report = false;
  bool print_once = false;
  bool print = false;
  bool verbose = false;
  bool write = false;
  char* page_r = nullptr;
  // Peer address of this task's accept: tasks accept concurrently, so each
  // one needs storage of its own.
  sockaddr_in addr_listen{};
  uint32_t addr_listen_size = 0;

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
  // Delivers one message to this slot's connection, framed for it; opcode
  // is the WebSocket sender's (text, binary) or WS_OPCODE_AUTO for a plain
  // sender's bytes. Runs on the sending slot's receive thread. 1 = handed
  // on (written, or given to the send thread), 0 = dropped.
  int send_packet(char* payload, size_t length, uint32_t opcode = WS_OPCODE_AUTO);
  // Sends a frame of this slot's own (a pong, a close) through the same send
  // path, so that it never interleaves with a relayed frame. Runs on this
  // slot's receive thread. final: the close, after which nothing is relayed
  // to the connection; waits (bounded) until it has been written.
  int send_control(const char* frame, size_t length, bool final);
  int work_w();
  void reset();
  void assign_send_buffer(char* buffer, size_t size);

  // The receiver's send lock e_send_done: taken by whoever frames into the
  // current half; given back by it when the message is dropped or written
  // at once, else by the send thread after the write (the hand-over).
  int lock_send() { return e_send_done.wait(); }
  void unlock_send() { e_send_done.signal(); }

  // How long a final close frame may take to be written, and how many
  // reads of what the peer still sends the close waits for.
  static constexpr unsigned CLOSE_WAIT_MS = 2000;
  static constexpr int LINGER_READS = 5;

 private:
  void fan_out(char* p, size_t length, uint32_t opcode);
  // Under the send lock, with p_send/size_send set: switches halves and
  // writes at once or wakes the send thread.
  void hand_over();
  int read_failed(int64_t n);
  void linger_close();
  void print_kind();
};
