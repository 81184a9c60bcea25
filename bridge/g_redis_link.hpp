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
// Threading: one thread (run) owns the connection, the loop and every
// private member. Other threads touch only wake (to signal) and b_up
// (atomic); why is read by the main thread only before the thread starts
// (a failed init).

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "bridge/bridge_wire.hpp"
#include "bridge/g_reconnect.hpp"
#include "bridge/g_redis_conn.hpp"
#include "support/g_thread.hpp"

class G_BRIDGE;
struct STREAM_ID;
struct HUB_RECORD_ID;

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
  // Bytes one XREAD asks for when entries are waiting. Redis builds a
  // reply whole before it sends any of it, and replies of megabytes cost
  // it more CPU per byte than replies of this size; Redis is what a fast
  // stream waits for.
  static constexpr size_t XREAD_REPLY_TARGET = 256 * 1024;

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
  void run();
  const wchar_t* role_name() const;

  // ---- the connection, both roles ----
  // Connects, authenticates, and proves the link usable (PING) or
  // subscribes. BRIDGE_OK, BRIDGE_FAIL (why says), BRIDGE_STOP.
  int open_connection();
  int ping();
  int subscribe();
  // Serves the connection in this link's role. BRIDGE_STOP, or BRIDGE_FAIL
  // (it ended: why says).
  int serve_connection();
  void drop_connection();
  // One command and its answer, waiting timeout_ms at most. BRIDGE_OK with
  // *reply set (free it), BRIDGE_FAIL (why says), BRIDGE_STOP.
  int command(int argc, const char* const* argv, const size_t* lens, redisReply** reply,
              unsigned timeout_ms = IO_TIMEOUT_MS);
  // One command whose answer ok(reply) judges. BRIDGE_OK; BRIDGE_FAIL with
  // why "<what> refused: ..." or the connection's failure; BRIDGE_STOP.
  template <class OK>
  int command_judged(int argc, const char* const* argv, const size_t* lens, const char* what, OK&& ok);
  // Reads once: G_REDIS_CONN::FILL_MORE, BRIDGE_OK, BRIDGE_FAIL (why says).
  int fill_replies();
  // Hands every whole reply read so far to f(reply), which answers
  // BRIDGE_OK to go on; each reply is freed after. BRIDGE_OK, or
  // BRIDGE_FAIL (a bad reply, or f's: why says).
  template <class F>
  int take_replies(F&& f);
  // why = the connection's failure; returns r.
  int conn_failed(int r);

  // ---- the writer: the claim ----
  // Claims or renews the hub of the current session when due.
  // BRIDGE_OK, BRIDGE_FAIL (the connection), BRIDGE_STOP.
  int tend_claim(bool b_force);
  // Claims hub id for a new session and tells the other links. As
  // tend_claim.
  int decide_claim(uint64_t session, uint64_t id, const STREAM_ID& written, uint64_t now);
  // Renews the claim of session; a claim lost meanwhile is given up. As
  // tend_claim.
  int renew_claim(uint64_t session, uint64_t now);
  // Where the reader of held hub id starts: the same hub again (a dropped
  // connection) from what was written into it; a hub new to this process
  // from its saved position (fresh set). As tend_claim.
  int claim_start(uint64_t id, const STREAM_ID& written, STREAM_ID& start, bool& fresh);
  // The decision for session into the shared session state.
  void publish_claim(uint64_t session, bool held, const STREAM_ID& start, bool fresh);
  // Wakes the hub link and the reader: the claim changed.
  void tell_claim();
  // EVAL of the claim script for id: *held, or the holder named in the
  // session state. As tend_claim.
  int claim_hub(uint64_t id, bool* held);
  // At a clean stop: saves the last position and gives the claim up.
  void finish();
  // At a clean stop: the answers still owed, then (Streams) what waits
  // toward Redis, until deadline. BRIDGE_OK once all is answered, else
  // BRIDGE_FAIL.
  int finish_appends(uint64_t deadline, const std::atomic<bool>& go_on);
  // The saved position of hub id (or its newest entry) and the numbers
  // seen as far as there. BRIDGE_OK, BRIDGE_FAIL, BRIDGE_STOP.
  int start_position(uint64_t id, STREAM_ID& start, G_ORIGINS& seen);
  void set_keys(uint64_t id);

  // ---- the writer: appends and the position ----
  // Queues the saving of the position at, and of n_seen numbers (all of
  // them after a DEL when full); *commands says how many replies follow.
  // 0, or -1 when it does not fit the out buffer.
  int append_save(const STREAM_ID& at, size_t n_seen, bool full, size_t* commands);
  // Takes the position the hub link wrote, when it moved and the claim is
  // this session's, with the numbers seen that changed (all of them when
  // full, which a forgotten bridge sets). False when nothing is to save.
  bool take_written(STREAM_ID& at, size_t& n_seen, bool& full);
  // Appends, the position and the claim, pipelined, until the connection
  // ends. BRIDGE_STOP, BRIDGE_FAIL (why says).
  int serve_write();
  int serve_write_pipelined();
  // Queues appends while fewer than a window are unanswered. BRIDGE_OK
  // (progress set when any went), BRIDGE_FAIL (why says).
  int queue_appends(bool& progress);
  // The messages of the next command, out of the buffer into entry_data
  // and entry_len: up to ENTRY_MESSAGES or ENTRY_BYTES toward a stream, one
  // toward a channel, as many as the out buffer has room for with
  // fixed_args arguments besides. Their number.
  size_t take_entry(size_t fixed_args);
  // Queues XADD of one entry of the n messages taken (trimmed to minid
  // unless nullptr), or PUBLISH of one. 0, or -1 when it does not fit.
  int append_entry(size_t n, const char* minid);
  // Streams: queues the saving of the position when the hub link moved
  // it. As queue_appends.
  int queue_position(bool& progress);
  // Writes what the socket takes now (want_write set when it takes no
  // more). As queue_appends.
  int write_queued(bool& want_write, bool& progress);
  // Judges the answers read so far; answer_due is the latest time for the
  // next one owed (0: none owed). As queue_appends.
  int take_answers(uint64_t& answer_due, bool& progress);
  // Nothing to do now: waits for the socket, for work, for the claim's
  // renewal or for an owed answer. BRIDGE_OK, BRIDGE_FAIL (no answer in
  // time, the end, or data not asked for: why says).
  int wait_for_redis(uint64_t answer_due, bool want_write);
  // A command queued whose answer is owed, answering for count messages.
  void owe(int kind, size_t count);
  // Judges reply as the answer to the oldest command owed one; an
  // accepted message adds one to *acked. BRIDGE_OK, or BRIDGE_FAIL with
  // why set (none was owed, or a refusal).
  int answer_owed(const redisReply* reply, size_t* acked);
  // Judges the answer to a command of kind. As answer_owed.
  int handle_reply(int kind, size_t count, const redisReply* reply, size_t* acked);
  // acked messages leave the buffer, counted; a hub link waiting for room
  // is woken.
  void settle(size_t acked);

  // ---- the reader ----
  int serve_read_stream();
  int serve_read_channel();
  // A new epoch: reading starts again from start.
  void start_epoch(uint64_t e, const STREAM_ID& start);
  // Read only as fast as the hub takes: BRIDGE_OK while the buffer toward
  // the hub is at most half full, else BRIDGE_PENDING after a wait for
  // room, or BRIDGE_STOP.
  int wait_for_room();
  // Entries one XREAD asks for: as many as XREAD_REPLY_TARGET (and the
  // reply limit) hold, judged by the largest seen, and no more than there
  // is room for toward the hub.
  size_t xread_count();
  // One blocking XREAD from the last entry queued. BRIDGE_OK with *reply
  // set (free it), BRIDGE_FAIL (why says; a reply over the limit makes the
  // next one smaller, or has a lone entry that large skipped), BRIDGE_STOP.
  int xread(redisReply** reply);
  // The entries of an XREAD reply toward the hub, until one finds no
  // room. False when the reply is malformed.
  bool take_entries(const redisReply* reply, uint64_t epoch_now);
  // One stream entry toward the hub: BRIDGE_OK (all of it), BRIDGE_PENDING
  // (no room: the rest is read again later), BRIDGE_FAIL (malformed).
  int queue_entry(const redisReply* entry, uint64_t epoch_now);
  // The messages of one stream entry into piece[], piece_len[];
  // their number (0, counted as rejected, for an entry of none or a
  // malformed one).
  size_t entry_pieces(const redisReply* fields);
  // Whether msg would go into the hub (judging changes nothing).
  bool deliverable(const char* msg, size_t len) const;
  // One message from Redis (entry id 0-0 for pub/sub); b_end when it is
  // the last of its entry to go into the hub.
  void deliver(const char* msg, size_t len, uint64_t ms, uint64_t seq, uint64_t epoch_now, bool b_end);
  // Judges m's sequence number: false for a duplicate (counted); a gap is
  // counted and logged.
  bool judge_sequence(const FED_MESSAGE& m);
  // m into the buffer toward the hub with its record id.
  void push_toward_hub(const FED_MESSAGE& m, const HUB_RECORD_ID& id, uint64_t epoch_now);
  // The claimed session's epoch and start, 0 when none yet.
  uint64_t current_epoch(STREAM_ID* start);
  // Skips an entry too large to read whole, after the given id.
  int skip_entry();

  G_BRIDGE* p_bridge = nullptr;
  int role = ROLE_WRITE;
  bool b_streams = true;   // the transport is a stream
  size_t channel_len = 0;  // of opt.channel
  // Bytes of XREAD replies judged by the largest entry seen.
  size_t xread_budget = 0;
  G_REDIS_CONN rc;
  REDIS_ENDPOINT endpoint;
  SSL_CTX* p_tls = nullptr;
  G_RECONNECT reconnect;

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
  uint64_t hub_id = 0;   // of the claimed session, as of current_epoch
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
