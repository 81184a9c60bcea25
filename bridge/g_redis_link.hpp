#pragma once
// One connection to Redis, in one of two roles: the publisher PUBLISHes
// what the hub relayed (pipelined, each reply counted), the subscriber
// receives the channel's messages and queues other bridges' ones toward
// the hub. A subscribed connection cannot publish, hence two. Each
// reconnects by itself with the capped backoff.
//
// Threading: one thread (run) owns the hiredis context and everything
// below it. Other threads touch only wake (to signal) and b_up (atomic).

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "support/g_thread.hpp"

struct redisContext;
class G_BRIDGE;

class G_REDIS_LINK {
 public:
  enum ROLE_E : int { ROLE_PUBLISH = 0, ROLE_SUBSCRIBE = 1 };
  static constexpr unsigned CONNECT_TIMEOUT_MS = 2000;
  // Bound of one blocking read or write on a live connection.
  static constexpr unsigned IO_TIMEOUT_MS = 5000;
  static constexpr size_t BATCH_MESSAGES = 1024;
  static constexpr size_t BATCH_BYTES = 1024 * 1024;

  G_REDIS_LINK() = default;
  ~G_REDIS_LINK();
  G_REDIS_LINK(const G_REDIS_LINK&) = delete;
  G_REDIS_LINK& operator=(const G_REDIS_LINK&) = delete;

  int init(G_BRIDGE* owner, int role);  // 0 or errno
  void close();
  int start();
  int join();

  // Publisher: signalled when messages wait toward Redis, and at stop.
  // Subscriber: signalled at stop.
  G_WAKE wake;
  // Connected (and authenticated, and subscribed for the subscriber).
  std::atomic<bool> b_up{false};

 private:
  static void* thread_main(void* self);
  void run();
  int open_connection();
  int serve_publish();
  int serve_subscribe();
  void drop_connection();
  // Polls the connection for input and wake for up to ms: 1 when the
  // connection is readable, 0 otherwise, BRIDGE_STOP at stop.
  int wait_input(int ms);
  void handle_message(void* reply);
  void why_context();
  const wchar_t* role_name() const;

  G_BRIDGE* p_bridge = nullptr;
  int role = ROLE_PUBLISH;
  redisContext* p_ctx = nullptr;
  // Publisher: commands written whose replies have not come yet.
  uint64_t in_flight = 0;
  char why[256] = {};
  g_thread thread;
};
