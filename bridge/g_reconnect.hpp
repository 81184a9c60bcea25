#pragma once
// The reconnect loop every link of the bridge runs: connect, serve while
// the connection lasts, then wait before the next attempt (a back-off
// after a failure, a fixed pause while standing by). Each outage is
// logged once, each loss of a live connection every time.
//
// Threading: an instance belongs to the thread of its link.

#include <atomic>
#include <cstdint>

#include "bridge/bridge_common.hpp"

// Reconnect delays: 100 ms, doubling up to 5 s; back to 100 ms once a
// connection has been made.
struct BRIDGE_BACKOFF {
  static constexpr unsigned FIRST_MS = 100;
  static constexpr unsigned CAP_MS = 5000;
  unsigned next_ms = FIRST_MS;
  unsigned take() {
    const unsigned ms = next_ms;
    next_ms = next_ms >= CAP_MS / 2 ? CAP_MS : next_ms * 2;
    return ms;
  }
  void reset() { next_ms = FIRST_MS; }
};

class G_RECONNECT {
 public:
  // kind names the link in the lines ("hub", "redis"), host and port say
  // where it goes, role follows the address in parentheses (nullptr:
  // none); why is the link's reason text, made printable before it is
  // logged. All of them must outlive the loop.
  void init(const wchar_t* kind, const char* host, uint16_t port, const wchar_t* role, unsigned standby_ms,
            char* why);

  // Runs until stop, or until connect or serve answers BRIDGE_STOP.
  //   connect(): BRIDGE_OK, BRIDGE_FAIL (why says), BRIDGE_STOP.
  //   serve(): runs the connection connect made; calls up() once the link
  //     counts as up. BRIDGE_STOP, BRIDGE_STANDBY (try again after
  //     standby_ms, back-off untouched), anything else: the connection
  //     ended (why says).
  //   drop(): closes the connection; after every attempt but a stopped one.
  template <class CONNECT, class SERVE, class DROP>
  void run(G_WAKE& wake, const std::atomic<bool>& stop, CONNECT&& connect, SERVE&& serve, DROP&& drop) {
    while (!stop.load()) {
      int r = connect();
      if (r == BRIDGE_STOP) return;
      const bool connected = r == BRIDGE_OK;
      if (connected) r = serve();
      if (r == BRIDGE_STOP) return;
      drop();
      const unsigned ms = r == BRIDGE_STANDBY ? standby_ms : failed(connected);
      if (wake.nap(ms, stop) == BRIDGE_STOP) return;
    }
  }

  // The link counts as up: the back-off starts from its first delay again
  // and the next failure is logged. True when it was up before (this is a
  // reconnect).
  bool up();

 private:
  // Logs the failure (an unreachable link once per outage) and returns
  // the back-off before the next attempt.
  unsigned failed(bool b_was_connected);

  const wchar_t* kind = L"";
  const char* host = "";
  uint16_t port = 0;
  const wchar_t* role = nullptr;
  unsigned standby_ms = 0;
  char* why = nullptr;
  BRIDGE_BACKOFF backoff;
  bool b_reported = false;  // this outage has been logged
  bool b_ever_up = false;
};
