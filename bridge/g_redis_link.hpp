#pragma once
// One connection to Redis, in one of two roles.
//
// The writer claims the hub for this bridge (a key per hub identity, with
// a time to live it renews), saves the position of the last entry written
// into the hub, and appends what the hub relayed: XADD to the stream with
// a time-based trim (Streams), or PUBLISH (pub/sub). Toward Streams a
// message leaves the buffer only once Redis has answered for it; after a
// lost connection the unanswered ones are sent again (receivers drop the
// duplicates by sequence number).
//
// The reader follows the stream with a blocking XREAD from the last entry
// it queued, only while the buffer toward the hub has room (so it reads as
// fast as the hub takes), or receives the channel (SUBSCRIBE). It drops its
// own hub's messages, counts gaps and duplicates by sequence number, and
// queues the rest toward the hub.
//
// Threading: one thread (run) owns the connection and everything below
// it. Other threads touch only wake (to signal) and b_up (atomic).

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "bridge/bridge_wire.hpp"
#include "bridge/g_redis_conn.hpp"
#include "support/g_thread.hpp"

class G_BRIDGE;
struct STREAM_ID;

class G_REDIS_LINK {
 public:
  enum ROLE_E : int { ROLE_WRITE = 0, ROLE_READ = 1 };
  // Connect, TLS and AUTH together.
  static constexpr unsigned CONNECT_TIMEOUT_MS = 2000;
  // Bound of one wait for an answer on a live connection.
  static constexpr unsigned IO_TIMEOUT_MS = 5000;
  static constexpr size_t BATCH_MESSAGES = 1024;
  // Commands sent and not answered yet, at most.
  static constexpr size_t WINDOW_COMMANDS = 4096;
  static constexpr size_t KINDS_MAX = WINDOW_COMMANDS + 16;
  // Messages of one stream entry, at most (one alone may be larger).
  static constexpr size_t ENTRY_MESSAGES = 64;
  static constexpr size_t ENTRY_BYTES = 64 * 1024;
  static constexpr size_t BATCH_BYTES = 1024 * 1024;
  // A hub's claim lives this long unless renewed, every CLAIM_RENEW_MS.
  static constexpr unsigned CLAIM_TTL_MS = 6000;
  static constexpr unsigned CLAIM_RENEW_MS = 2000;
  static constexpr unsigned FINISH_TIMEOUT_MS = 1000;
  // A saved position lives this long after its last save.
  static constexpr unsigned POSITION_TTL_MS = 86400u * 1000u;
  static constexpr unsigned XREAD_BLOCK_MS = 1000;
  static constexpr size_t XREAD_COUNT_MAX = 512;

  G_REDIS_LINK() = default;
  ~G_REDIS_LINK();
  G_REDIS_LINK(const G_REDIS_LINK&) = delete;
  G_REDIS_LINK& operator=(const G_REDIS_LINK&) = delete;

  // 0, or -1 with why set (no memory, a TLS file that does not load).
  int init(G_BRIDGE* owner, int role);
  void close();
  int start();
  int join();

  // Writer: signalled when messages wait toward Redis, when the hub link
  // opened a session or wrote entries, and at stop. Reader: signalled when
  // the claim changed, when the hub link made room, and at stop.
  G_WAKE wake;
  // Connected (and authenticated, and subscribed for a pub/sub reader).
  std::atomic<bool> b_up{false};

 private:
  static void* thread_main(void* self);
  void run();
  int open_connection();
  int serve_write();
  int serve_read_stream();
  int serve_read_channel();
  void drop_connection();
  const wchar_t* role_name() const;

  // Writer: claims or renews the hub of the current session when due.
  // BRIDGE_OK, BRIDGE_FAIL (the connection), BRIDGE_STOP.
  int tend_claim(bool b_force);
  int claim_hub(uint64_t id, bool* held);
  // At a clean stop: saves the last position and gives the claim up.
  void finish();
  // The saved position of hub id (or its newest entry) and the numbers
  // seen as far as there. BRIDGE_OK, BRIDGE_FAIL, BRIDGE_STOP.
  int start_position(uint64_t id, STREAM_ID& start, G_ORIGINS& seen);
  void set_keys(uint64_t id);
  // Queues the saving of the position at, and of n_seen numbers (all of
  // them after a DEL when full); *commands says how many replies follow.
  // 0, or -1 when it does not fit the out buffer.
  int append_save(const STREAM_ID& at, size_t n_seen, bool full, size_t* commands);
  int serve_write_pipelined();
  // Writer: judges the answer to a queued command of kind; an accepted
  // message adds one to *acked. BRIDGE_OK, or BRIDGE_FAIL with why set.
  int handle_reply(int kind, size_t count, const redisReply* reply, size_t* acked);

  // Reader: the messages of one stream entry into piece[], piece_len[];
  // their number (0, counted as rejected, for an entry of none or a
  // malformed one).
  size_t entry_pieces(const redisReply* fields);
  // Reader: whether msg would go into the hub (judging changes nothing).
  bool deliverable(const char* msg, size_t len) const;
  // Reader: one message from Redis (entry id 0-0 for pub/sub); b_end when
  // it is the last of its entry to go into the hub.
  void deliver(const char* msg, size_t len, uint64_t ms, uint64_t seq, uint64_t epoch_now, bool b_end);
  // Reader: the claimed session's epoch and start, 0 when none yet.
  uint64_t current_epoch(STREAM_ID* start);
  // Reader: skips an entry too large to read whole, after the given id.
  int skip_entry();

  G_BRIDGE* p_bridge = nullptr;
  int role = ROLE_WRITE;
  G_REDIS_CONN rc;
  REDIS_ENDPOINT endpoint;
  SSL_CTX* p_tls = nullptr;

 public:
  char why[256] = {};

 private:
  g_thread thread;

  // Writer state: the kinds of the commands whose answers are owed,
  // [kinds_head, kinds_tail) modulo KINDS_MAX.
  uint8_t kinds[KINDS_MAX] = {};
  uint16_t kind_count[KINDS_MAX] = {};  // messages answered for by each
  const char* entry_data[ENTRY_MESSAGES] = {};
  size_t entry_len[ENTRY_MESSAGES] = {};
  const char* entry_argv[8 + 2 * ENTRY_MESSAGES] = {};
  size_t entry_lens[8 + 2 * ENTRY_MESSAGES] = {};
  uint64_t kinds_head = 0;
  uint64_t kinds_tail = 0;
  uint64_t claimed_session = 0;  // the session whose claim was decided here
  uint64_t claimed_hub = 0;      // its hub, when held
  uint64_t renew_at_ms = 0;
  // Redis' clock less ours, from the last XADD answer (an entry id is
  // Redis' time); none before the first answer.
  int64_t redis_clock_offset_ms = 0;
  bool b_redis_clock = false;
  uint64_t pos_key_hub = 0;
  char pos_key[300] = {};
  char seen_key[300] = {};
  // The numbers seen, as saved: all of them at the next save when set.
  bool b_seen_full = true;
  uint64_t seen_evictions = 0;
  uint64_t seen_bridges[G_ORIGINS::ORIGINS_MAX] = {};
  uint64_t seen_lasts[G_ORIGINS::ORIGINS_MAX] = {};
  char seen_text[G_ORIGINS::ORIGINS_MAX][2][24] = {};
  G_ORIGINS loaded;
  char claim_key[300] = {};
  char claim_value[128] = {};

  // Reader state.
  uint64_t epoch = 0;
  uint64_t hub_id = 0;  // of the claimed session, as of current_epoch
  uint64_t read_ms = 0;  // the last entry queued (or skipped)
  uint64_t read_seq = 0;
  size_t entry_max_seen = 1024;
  bool b_skip_next = false;
  static constexpr size_t PIECES_MAX = 4096;
  const char* piece[PIECES_MAX] = {};
  size_t piece_len[PIECES_MAX] = {};
  bool piece_ok[PIECES_MAX] = {};  // will go into the hub
  // An entry read part of the way for want of room: where to go on.
  uint64_t partial_ms = 0;
  uint64_t partial_seq = 0;
  size_t partial_k = 0;
  G_ORIGINS origins;
  uint64_t last_drop_log_ms = 0;
};
