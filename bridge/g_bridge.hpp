#pragma once
// relayhub-bridge: joins one hub to every other hub whose bridge uses the
// same Redis stream (or pub/sub channel). The bridge owns the options, its
// random instance id, the counters, the two bounded buffers, the session
// state the links share, and four threads besides the main one: the hub
// link, the Redis writer, the Redis reader and (with --metrics) the
// metrics endpoint.
//
//   hub --(hub link)--> ring_to_redis --(writer: XADD / PUBLISH)--> Redis
//   Redis --(reader: XREAD / SUBSCRIBE)--> ring_to_hub --(hub link)--> hub
//
// Before anything flows, the writer claims the hub in Redis under the
// identity the hub announced: one hub, one active bridge (a second one
// stands by), so that no configuration of bridges can cycle.
//
// Threading: init, run and close run on the main thread, which also prints
// the counters and handles the stop signals. Each member says who owns it.

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "bridge/bridge_options.hpp"
#include "bridge/bridge_wire.hpp"
#include "bridge/g_hub_link.hpp"
#include "bridge/g_bridge_metrics.hpp"
#include "bridge/g_redis_link.hpp"
#include "bridge/g_ring.hpp"
#include "support/g_mutex.hpp"

// Exit status of the program.
enum BRIDGE_EXIT_E : int {
  BRIDGE_EXIT_OK = 0,            // stopped by a signal, or the usage text
  BRIDGE_EXIT_START_FAILED = 1,  // unreadable or unsafe password file, CA or
                                 // key file, metrics port taken, no memory
  BRIDGE_EXIT_USAGE = 2,         // a wrong command line
};

// A stream entry id.
struct STREAM_ID {
  uint64_t ms = 0;
  uint64_t seq = 0;
  bool operator==(const STREAM_ID&) const = default;
  bool less(const STREAM_ID& o) const { return ms < o.ms || (ms == o.ms && seq < o.seq); }
};

// What the links tell each other about the hub session, its claim and the
// positions in the stream. Threading: every member is guarded by lock.
struct BRIDGE_SESSION {
  enum : int { CLAIM_PENDING = 0, CLAIM_HELD = 1, CLAIM_REFUSED = 2 };
  static constexpr size_t HOLDER_SIZE = 160;

  g_mutex lock;
  // Hub link: bumped at each open WebSocket session, with its hub's id.
  uint64_t hub_session = 0;
  uint64_t hub_id = 0;
  // Writer: the claim for hub_session; holder names the bridge that has
  // the hub when it is refused (or was lost to it).
  uint64_t claim_session = 0;
  int claim = CLAIM_PENDING;
  char holder[HOLDER_SIZE] = {};
  // Writer: bumped with each claim held; the reader starts from start.
  uint64_t epoch = 0;
  STREAM_ID start;
  // Hub link: the last entry written whole into the hub, and each
  // publishing bridge's last number written; written_dirty until the
  // writer has saved them in Redis. The writer fills written_origins from
  // Redis for a hub new to this bridge; the reader starts from a copy.
  STREAM_ID written;
  G_ORIGINS written_origins;
  bool b_written_dirty = false;
};

// Holds a lock for a scope; a closed lock is not held.
class SESSION_LOCK {
 public:
  explicit SESSION_LOCK(g_mutex& m) : p_lock(&m), b_held(m.lock() == 0) {}
  ~SESSION_LOCK() {
    if (b_held) p_lock->unlock();
  }
  SESSION_LOCK(const SESSION_LOCK&) = delete;
  SESSION_LOCK& operator=(const SESSION_LOCK&) = delete;

 private:
  g_mutex* p_lock;
  bool b_held;
};

class G_BRIDGE {
 public:
  static constexpr size_t PASSWORD_MAX = 1024;

  G_BRIDGE() = default;
  ~G_BRIDGE();
  G_BRIDGE(const G_BRIDGE&) = delete;
  G_BRIDGE& operator=(const G_BRIDGE&) = delete;

  // Everything but the threads. BRIDGE_EXIT_OK, or the exit status after
  // the reason was printed.
  int init(const BRIDGE_OPTIONS& options);
  // Starts the links (with the stop signals blocked, so that they inherit
  // that mask), then unblocks stop_signals on the calling thread, prints
  // counters every opt.stats_s seconds when they changed, and returns once
  // fd_signal turns readable (a stop signal): the links are stopped and
  // joined, the last counters printed.
  int run(int fd_signal, const sigset_t* stop_signals);
  void close();

  // The hub link's and the reader's epoch tag of a record toward the hub.
  static uint32_t record_aux(uint8_t type, uint64_t epoch) { return uint32_t(type) | uint32_t(epoch << 8); }
  static uint32_t aux_epoch(uint64_t epoch) { return uint32_t(epoch << 8) >> 8; }

  // Written by init on the main thread, read-only once the links run.
  BRIDGE_OPTIONS opt;
  uint64_t instance_id = 0;
  char password[PASSWORD_MAX] = {};
  size_t password_len = 0;
  bool b_password = false;
  // Where Redis is; each Redis link adds its own TLS context.
  REDIS_ENDPOINT redis;
  // Largest payload relayed: --max-message, and what a buffer can hold.
  size_t max_message = 0;

  // Atomics, written by the thread named and read by any.
  // Largest payload the hub of the current session takes (what it
  // announced or what its 1009 taught), at most max_message: the hub link.
  std::atomic<size_t> hub_message_max{0};
  // Age in ms of the last stream entry written into the hub, when
  // written: the hub link.
  std::atomic<uint64_t> lag_ms{0};
  std::atomic<bool> b_stop{false};  // the main thread
  G_BRIDGE_COUNTERS counters;       // any thread adds

  BRIDGE_SESSION session;  // guarded by its lock
  G_RING ring_to_hub;      // each ring locks itself
  G_RING ring_to_redis;
  // Each owned by its own thread; its class says what others may touch.
  G_HUB_LINK hub;
  G_REDIS_LINK pub;
  G_REDIS_LINK sub;
  G_BRIDGE_METRICS metrics;

  // A message of len bytes dropped for the hub's limit, in a line at most
  // once a second per caller (last_ms: the caller's own time of its last
  // line).
  void log_too_large(uint64_t& last_ms, size_t len, size_t limit) const;

 private:
  // The steps of init, each BRIDGE_EXIT_OK or the exit status after the
  // reason was printed: the password and the client key file; the lock,
  // the rings and the largest message they carry; where Redis is, and the
  // links.
  int init_secrets();
  int init_buffers();
  int init_links();
  // Checks that the file at path is for its owner's eyes only, and with
  // b_keep takes its first line as the password. BRIDGE_EXIT_OK, or
  // BRIDGE_EXIT_START_FAILED after the reason was printed.
  int read_private_file(const char* path, const char* what, bool b_keep);
  // The first line of fd into password. As read_private_file.
  int read_password(int fd, const char* path, const char* what);
  // The start-up line: where the hub and Redis are and the sizes.
  void log_start() const;
  // Starts the link threads in order; started counts those that run.
  // 0, or the error number of the one that did not start.
  int start_links(int& started);
  // Prints the counters every opt.stats_s seconds when they changed,
  // until fd_signal turns readable.
  void print_counters(int fd_signal);
  void stop_links();
  void join_links(int started);
};
