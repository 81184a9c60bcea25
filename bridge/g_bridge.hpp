#pragma once
// relayhub-bridge: joins one hub to every other hub whose bridge uses the
// same Redis pub/sub channel. The bridge owns the options, its random
// instance id, the counters, the two bounded buffers and three links (hub,
// Redis publisher, Redis subscriber), each with its own thread.
//
//   hub --(hub link)--> ring_to_redis --(publisher)--> Redis
//   Redis --(subscriber)--> ring_to_hub --(hub link)--> hub
//
// Threading: init, run and close run on the main thread, which also prints
// the counters and handles the stop signals. After init, opt, instance_id,
// password and max_message are read-only; b_stop and the counters are
// atomics; the rings lock themselves.

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "bridge/bridge_options.hpp"
#include "bridge/bridge_wire.hpp"
#include "bridge/g_hub_link.hpp"
#include "bridge/g_redis_link.hpp"
#include "bridge/g_ring.hpp"

// Exit status of the program.
enum BRIDGE_EXIT_E : int {
  BRIDGE_EXIT_OK = 0,            // stopped by a signal, or the usage text
  BRIDGE_EXIT_START_FAILED = 1,  // unreadable password or CA file, no memory
  BRIDGE_EXIT_USAGE = 2,         // a wrong command line
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

  BRIDGE_OPTIONS opt;
  uint8_t instance_id[FED_ID_SIZE] = {};
  char password[PASSWORD_MAX] = {};
  size_t password_len = 0;
  bool b_password = false;
  // Largest payload relayed: --max-message, and what a buffer can hold.
  size_t max_message = 0;

  std::atomic<bool> b_stop{false};
  G_BRIDGE_COUNTERS counters;
  G_RING ring_to_hub;
  G_RING ring_to_redis;
  G_HUB_LINK hub;
  G_REDIS_LINK pub;
  G_REDIS_LINK sub;

 private:
  int read_password();
  void stop_links();
};
