#pragma once
// The bridge's connection to its hub: an ordinary WebSocket client (plain
// or over TLS) that reads every message the hub relays to it and hands it
// to the writer, and writes every message from other bridges into the hub
// as one masked frame of the same type. It reconnects by itself; while
// another bridge holds its hub it stands by, away from the hub.
//
// Threading: one thread (run) owns the connection, the reader, the loop
// and every private member. Other threads touch only wake (to signal),
// b_up, b_wait_room, b_reader_wait and b_done (atomics); why is read by
// the main thread only before the thread starts (a failed init).

#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "bridge/bridge_wire.hpp"
#include "bridge/g_conn.hpp"
#include "bridge/g_reconnect.hpp"
#include "support/g_thread.hpp"

class G_BRIDGE;

// The head of each record toward the hub (SIZE bytes, host order): the
// stream entry id (0-0: not an entry), the publishing bridge and its
// number (0: none), and whether the message is the last one of its entry
// to go into the hub. The reader writes it, the hub link reads it.
struct HUB_RECORD_ID {
  static constexpr size_t SIZE = 40;
  uint64_t ms = 0;
  uint64_t seq = 0;
  uint64_t bridge = 0;
  uint64_t number = 0;
  bool b_end = false;

  void write(char out[SIZE]) const;
  static HUB_RECORD_ID read(const char in[SIZE]);
  bool is_entry() const { return ms != 0 || seq != 0; }
};

class G_HUB_LINK {
 public:
  // Time for connect, TLS and WebSocket handshakes together.
  static constexpr unsigned OPEN_TIMEOUT_MS = 5000;
  static constexpr unsigned STANDBY_RETRY_MS = 2000;
  static constexpr size_t IN_SIZE = 256 * 1024;    // socket reads
  static constexpr size_t OUT_BATCH = 256 * 1024;  // frames written together
  static constexpr size_t OUT_FRAMES_MAX = 1024;
  static constexpr size_t HEAD_MAX = 8192;  // handshake response
  // Frames remembered after they were written, to find the one an older
  // hub refused with 1009.
  static constexpr size_t HISTORY = 1024;

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
    HUB_RECORD_ID id;
    size_t len;  // payload bytes
    bool b_msg;  // a message, not a control frame
  };
  // What serve learnt of the socket: whether to try it, else what it waits for.
  struct SOCKET_STATE {
    bool readable = true;  // try first; the socket says when to stop
    bool writable = true;
    short read_wants = POLLIN;
    short write_wants = POLLOUT;
  };

  void run();

  // ---- connecting ----
  // TCP (and TLS), the WebSocket handshake, what the hub announces, and a
  // new session. BRIDGE_OK, BRIDGE_FAIL (why says), BRIDGE_STOP.
  int open_connection();
  // Sends the upgrade request and judges the answer; head_len is then the
  // length of the answer's head in p_in. Results as open_connection.
  int upgrade(uint64_t deadline, size_t& head_len);
  int send_request(const char* request, size_t len, uint64_t deadline);
  // Reads until the end of the answer's head (frames may follow it in the
  // same read). Results as open_connection.
  int read_response_head(uint64_t deadline, size_t& head_len);
  // BRIDGE_OK for a 101 that accepts key, else BRIDGE_FAIL (why says).
  int judge_response(size_t head_len, const char* key);
  // After a handshake read or write n that moved nothing: BRIDGE_OK once
  // the socket is ready to try again, BRIDGE_FAIL (why says), BRIDGE_STOP.
  int handshake_wait(int64_t n, const char* what, uint64_t deadline);
  // Who the hub is (hub_id) and what it takes (hub_message_max), from the
  // answer's head.
  void learn_hub(size_t head_len);
  // The largest message toward hub id: what it announced (found says
  // whether it did), what its 1009 taught, or --max-message.
  size_t message_limit(int found, uint64_t announced_max, uint64_t id);
  // A new session for the writer to claim; frames after the head are read.
  void open_session(size_t head_len);

  // ---- one connection ----
  // Waits for the claim, then serves while it holds. BRIDGE_STOP,
  // BRIDGE_STANDBY (another bridge has the hub), BRIDGE_FAIL (why says).
  int serve_connection();
  // The link counts as up: serves until the session ends. As serve.
  int serve_up();
  // Goes away from a hub another bridge holds (logged once a stand-by).
  void stand_by();
  // The writer's decision on this session's claim: BRIDGE_OK (held: epoch
  // set), BRIDGE_STANDBY (refused: why names the holder), BRIDGE_PENDING.
  int claim_decision();
  // Waits until the writer decided the claim for this session; unless
  // b_always, only while the writer is up and for OPEN_TIMEOUT_MS at most.
  // BRIDGE_OK (held), BRIDGE_STANDBY (refused; why says by whom),
  // BRIDGE_PENDING (not decided), BRIDGE_STOP.
  int wait_claim(bool b_always);
  // Relays both ways until the session ends. BRIDGE_STOP, BRIDGE_STANDBY
  // (the claim went to another bridge), BRIDGE_FAIL (why says).
  int serve();
  // The claim again: BRIDGE_OK (held; or pending, epoch 0 and nothing
  // goes into the hub), BRIDGE_STANDBY (refused).
  int refresh_claim();
  // The messages read, as far as the way toward Redis takes them.
  // BRIDGE_OK (progress set when anything was taken), BRIDGE_FAIL (the hub
  // closed or sent a bad frame: why says).
  int take_input(bool& progress);
  // One result of the reader other than WSR_MORE: BRIDGE_OK, or
  // BRIDGE_FAIL (the hub closed, or a bad frame: why says).
  int handle_frame(int r);
  // The hub's close frame: answered, and why says what it meant.
  // BRIDGE_FAIL.
  int hub_closed();
  // Reads more once everything read was taken. BRIDGE_OK (progress set
  // when bytes came), BRIDGE_FAIL (why says).
  int read_hub(SOCKET_STATE& io, bool& progress);
  // Writes frames toward the hub as far as the socket takes them. As
  // read_hub.
  int write_hub(SOCKET_STATE& io, bool& progress);
  // Nothing to do now: waits for the socket, a signal, or a second.
  // BRIDGE_OK (check_claim set when the claim may have changed),
  // BRIDGE_FAIL (why says).
  int wait_hub(SOCKET_STATE& io, bool& check_claim);
  // why = the connection's failure; BRIDGE_FAIL.
  int io_failed();
  void drop_connection();

  // ---- the messages ----
  // The reader's message toward Redis: BRIDGE_OK (queued or counted),
  // or BRIDGE_FAIL while the writer has no room.
  int publish_message();
  // A new batch of frames toward the hub once the last one is written.
  void fill_out();
  // One record as a frame into the batch: false when the batch is full
  // (the record stays queued).
  bool frame_record(const char* record, size_t len, uint8_t opcode);
  // Lets the reader go on once the way toward the hub is half empty.
  void release_reader();
  // Counts the frames written whole and tells the writer the position.
  void count_written();
  // An older hub closed us with 1009: learn its limit from what was
  // written, and take the position back to before the message it refused.
  void learn_limit();
  // The position to before the first frame of largest bytes or more.
  void rewind_before(size_t largest);
  const uint8_t* next_mask();
  // Sends a close frame with code (0: none) if it can go at once.
  void say_goodbye(uint16_t code);

  G_BRIDGE* p_bridge = nullptr;
  SSL_CTX* p_ctx = nullptr;
  G_CONN conn;
  G_RECONNECT reconnect;
  bool b_standing = false;  // standing by has been logged

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
