#pragma once
// The bridge's connection to its hub: an ordinary WebSocket client (plain
// or over TLS) that reads every message the hub relays to it and hands it
// to the publisher, and writes every message from other bridges into the
// hub as one masked frame of the same type. It reconnects by itself.
//
// Threading: one thread (run) owns the socket, the TLS session, the reader
// and all buffers below. Other threads touch only wake (to signal), b_up
// and b_wait_room (atomics).

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "bridge/bridge_wire.hpp"
#include "support/g_thread.hpp"

class G_BRIDGE;

class G_HUB_LINK {
 public:
  // Time for connect, TLS and WebSocket handshakes together.
  static constexpr unsigned OPEN_TIMEOUT_MS = 5000;
  static constexpr size_t IN_SIZE = 256 * 1024;     // socket reads
  static constexpr size_t OUT_BATCH = 256 * 1024;   // frames written together
  static constexpr size_t OUT_FRAMES_MAX = 1024;
  static constexpr size_t HEAD_MAX = 8192;          // handshake response

  G_HUB_LINK() = default;
  ~G_HUB_LINK();
  G_HUB_LINK(const G_HUB_LINK&) = delete;
  G_HUB_LINK& operator=(const G_HUB_LINK&) = delete;

  // Buffers, wake-up descriptor and TLS context. 0, or -1 with why set.
  int init(G_BRIDGE* owner);
  void close();
  int start();  // starts the thread: 0 or its error number
  int join();

  // Signalled when messages wait toward the hub, when the publisher has
  // room again, and at stop.
  G_WAKE wake;
  // The WebSocket session is open (the subscriber drops while it is not).
  std::atomic<bool> b_up{false};
  // This thread waits for room toward Redis; the publisher signals wake.
  std::atomic<bool> b_wait_room{false};
  char why[256] = {};

 private:
  static void* thread_main(void* self);
  void run();
  int open_connection();
  int serve();
  void drop_connection();
  // Waits until the socket is ready for events (or fails), the deadline
  // passes (BRIDGE_FAIL), or stop (BRIDGE_STOP).
  int wait_io(short events, uint64_t deadline_ms);
  int64_t io_read(char* buf, size_t n);
  int64_t io_write(const char* buf, size_t n);
  // An SSL_read/SSL_write result r <= 0 as one of the IO_ results.
  int64_t ssl_failed(int r);
  void why_io(const char* what);
  // The reader's message toward Redis: BRIDGE_OK (published or counted),
  // or BRIDGE_FAIL while the publisher has no room.
  int publish_message();
  void fill_out();
  void count_written();
  const uint8_t* next_mask();
  // Sends a close frame with code (0: none) if it can go at once.
  void say_goodbye(uint16_t code);

  G_BRIDGE* p_bridge = nullptr;
  SSL_CTX* p_ctx = nullptr;
  SSL* p_ssl = nullptr;
  int so = -1;
  int io_errno = 0;
  unsigned long io_ssl_error = 0;

  G_WS_READER reader;
  char* p_msg = nullptr;  // FED_HEADER_SIZE bytes of room, then the message
  size_t msg_max = 0;
  char* p_in = nullptr;
  size_t in_pos = 0;
  size_t in_len = 0;
  bool b_msg_pending = false;  // a whole message waits for room toward Redis

  char* p_out = nullptr;
  size_t out_cap = 0;
  size_t out_pos = 0;
  size_t out_len = 0;
  // End of each frame in p_out, to count the ones written; frames before
  // out_first_msg are control frames.
  size_t frame_end[OUT_FRAMES_MAX] = {};
  size_t out_frames = 0;
  size_t out_frames_done = 0;
  size_t out_first_msg = 0;
  // A pong owed to the hub (the latest ping's payload).
  bool b_pong = false;
  char pong[G_WS_READER::CONTROL_MAX] = {};
  size_t pong_len = 0;

  uint8_t masks[4 * 256] = {};
  size_t mask_next = sizeof masks;

  g_thread thread;
};
