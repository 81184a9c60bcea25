#pragma once
// The bridge's connection to its hub: an ordinary WebSocket client (plain
// or over TLS) that reads every message the hub relays to it and hands it
// to the writer, and writes every message from other bridges into the hub
// as one masked frame of the same type. It reconnects by itself; while
// another bridge holds its hub it stands by, away from the hub.
//
// Threading: one thread (run) owns the connection, the reader and all
// buffers below. Other threads touch only wake (to signal), b_up,
// b_wait_room and b_reader_wait (atomics).

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "bridge/bridge_wire.hpp"
#include "bridge/g_conn.hpp"
#include "support/g_thread.hpp"

class G_BRIDGE;

class G_HUB_LINK {
 public:
  // Time for connect, TLS and WebSocket handshakes together.
  static constexpr unsigned OPEN_TIMEOUT_MS = 5000;
  static constexpr unsigned STANDBY_RETRY_MS = 2000;
  static constexpr size_t IN_SIZE = 256 * 1024;     // socket reads
  static constexpr size_t OUT_BATCH = 256 * 1024;   // frames written together
  static constexpr size_t OUT_FRAMES_MAX = 1024;
  static constexpr size_t HEAD_MAX = 8192;          // handshake response
  // Frames remembered after they were written, to find the one an older
  // hub refused with 1009.
  static constexpr size_t HISTORY = 1024;
  // Bytes of a record toward the hub before the payload: the entry id,
  // the publishing bridge, its sequence number, and 1 when the message is
  // the last one of its entry to go into the hub (host order).
  static constexpr size_t RECORD_ID_SIZE = 40;

  G_HUB_LINK() = default;
  ~G_HUB_LINK();
  G_HUB_LINK(const G_HUB_LINK&) = delete;
  G_HUB_LINK& operator=(const G_HUB_LINK&) = delete;

  // Buffers, wake-up descriptor and TLS context. 0, or -1 with why set.
  int init(G_BRIDGE* owner);
  void close();
  int start();  // starts the thread: 0 or its error number
  int join();

  // Signalled when messages wait toward the hub, when the writer has room
  // again, when the claim is decided, and at stop.
  G_WAKE wake;
  // The WebSocket session is open and the hub claimed.
  std::atomic<bool> b_up{false};
  // This thread waits for room toward Redis; the writer signals wake.
  std::atomic<bool> b_wait_room{false};
  // The reader waits for room toward the hub; this thread signals it.
  std::atomic<bool> b_reader_wait{false};
  // This thread has ended: it writes nothing more into the hub.
  std::atomic<bool> b_done{false};
  char why[256] = {};

 private:
  struct FRAME {
    size_t end;  // end of the frame in p_out
    uint64_t ms;  // its stream entry id (0-0: not an entry)
    uint64_t seq;
    uint64_t bridge;   // the publishing bridge and its number (0: none)
    uint64_t number;
    size_t len;   // payload bytes
    bool b_msg;   // a message, not a control frame
    bool b_end;   // the last message of its stream entry
  };
  static void* thread_main(void* self);
  void run();
  int open_connection();
  // Waits until the writer decided the claim for this session; unless
  // b_always, only while the writer is up and for OPEN_TIMEOUT_MS at most.
  // BRIDGE_OK (held), BRIDGE_FAIL (refused; why says by whom),
  // BRIDGE_PENDING (not decided), BRIDGE_STOP.
  int wait_claim(bool b_always);
  int serve();
  void drop_connection();
  // The reader's message toward Redis: BRIDGE_OK (queued or counted),
  // or BRIDGE_FAIL while the writer has no room.
  int publish_message();
  void fill_out();
  void count_written();
  // An older hub closed us with 1009: learn its limit from what was
  // written, and take the position back to before the message it refused.
  void learn_limit();
  const uint8_t* next_mask();
  // Sends a close frame with code (0: none) if it can go at once.
  void say_goodbye(uint16_t code);
  bool claim_still_held();

  G_BRIDGE* p_bridge = nullptr;
  SSL_CTX* p_ctx = nullptr;
  G_CONN conn;

  G_WS_READER reader;
  char* p_msg = nullptr;  // FED_HEADER_SIZE bytes of room, then the message
  size_t msg_max = 0;
  char* p_in = nullptr;
  size_t in_pos = 0;
  size_t in_len = 0;
  bool b_msg_pending = false;  // a whole message waits for room toward Redis

  // The session: its number, its hub's id, the epoch of its claim.
  uint64_t session = 0;
  uint64_t hub_id = 0;
  uint64_t epoch = 0;
  bool b_announced_max = false;
  uint64_t next_seq = 1;  // of the messages this bridge publishes

  char* p_out = nullptr;
  size_t out_cap = 0;
  size_t out_pos = 0;
  size_t out_len = 0;
  FRAME frames[OUT_FRAMES_MAX] = {};
  size_t out_frames = 0;
  size_t out_frames_done = 0;
  // A pong owed to the hub (the latest ping's payload).
  bool b_pong = false;
  char pong[G_WS_READER::CONTROL_MAX] = {};
  size_t pong_len = 0;

  FRAME history[HISTORY] = {};
  size_t history_next = 0;
  size_t history_n = 0;

  uint8_t masks[4 * 256] = {};
  size_t mask_next = sizeof masks;
  uint64_t last_too_large_log_ms = 0;

  g_thread thread;
};
