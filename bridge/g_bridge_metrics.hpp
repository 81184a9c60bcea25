#pragma once
// The bridge's metrics endpoint (--metrics): GET /metrics answers the
// counters in the Prometheus text exposition format 0.0.4, GET /healthz
// answers 200 while the hub and both Redis links are up (503 and what is
// down otherwise); anything else 404. One request per connection, answered
// and closed; one connection at a time, each given at most 2 s.
//
// Threading: init and close run on the main thread; in between one thread
// (run) owns the listening socket and the connection it serves, and only
// reads the bridge's atomics. Other threads touch only wake (to signal the
// stop); why is read by the main thread only after a failed init.

#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "support/g_thread.hpp"

class G_BRIDGE;

class G_BRIDGE_METRICS {
 public:
  static constexpr unsigned REQUEST_TIMEOUT_MS = 2000;
  static constexpr size_t REQUEST_MAX = 4096;
  static constexpr size_t ANSWER_MAX = 8192;

  G_BRIDGE_METRICS() = default;
  ~G_BRIDGE_METRICS();
  G_BRIDGE_METRICS(const G_BRIDGE_METRICS&) = delete;
  G_BRIDGE_METRICS& operator=(const G_BRIDGE_METRICS&) = delete;

  // Listens on the address of --metrics. 0, or -1 with why set.
  int init(G_BRIDGE* owner);
  void close();
  int start();
  int join();

  // Fills out with the exposition text; returns its length.
  size_t render(char* out, size_t cap) const;
  // 1 healthy (out says "ok"), 0 not (out says what is down).
  int health(char* out, size_t cap) const;

  G_WAKE wake;
  char why[256] = {};

 private:
  void run();
  // One request on so, answered, all by deadline.
  void serve(int so);
  // The request head into req (REQUEST_MAX + 1 bytes, zero-ended): 0, or
  // -1 when the peer failed, the deadline passed, or the bridge stops.
  int read_request(int so, char* req, uint64_t deadline);
  void answer(int so, const char* req, uint64_t deadline);

  G_BRIDGE* p_bridge = nullptr;
  int listener = -1;
  g_thread thread;
};
