#pragma once
// Pieces every part of the bridge uses: the results, the counters, the
// wake-up descriptor of a thread, a thread's entry, and console lines.

#include <atomic>
#include <cstdint>

// Results shared by the links.
enum BRIDGE_RESULT_E : int {
  BRIDGE_OK = 0,
  BRIDGE_FAIL = -1,     // the connection failed or ended; retry later
  BRIDGE_STOP = -2,     // the bridge is stopping
  BRIDGE_STANDBY = -3,  // another bridge holds the hub: stand by
  BRIDGE_PENDING = -4,  // not decided yet
};

// A plain copy of the counters at one moment.
struct BRIDGE_COUNTS {
  uint64_t from_hub = 0;          // messages the hub relayed to the bridge
  uint64_t to_redis = 0;          // of those, published (Redis answered)
  uint64_t from_redis = 0;        // other bridges' messages received
  uint64_t to_hub = 0;            // of those, written to the hub
  uint64_t lost_redis_down = 0;   // from the hub, not published: Redis unreachable
  uint64_t dropped_full = 0;      // toward the hub, oldest dropped past the buffer
  uint64_t dropped_hub_down = 0;  // toward the hub, dropped: hub unreachable
  uint64_t too_large = 0;         // either way, over --max-message or the buffer
  uint64_t rejected = 0;          // from Redis, not a bridge message
  uint64_t missed = 0;            // from Redis, sequence numbers that never came
  uint64_t duplicates = 0;        // from Redis, already delivered: not again
  bool operator==(const BRIDGE_COUNTS&) const = default;
};

// Threading: every member is an atomic counter; any thread adds, the main
// thread reads.
struct G_BRIDGE_COUNTERS {
  std::atomic<uint64_t> from_hub{0};
  std::atomic<uint64_t> to_redis{0};
  std::atomic<uint64_t> from_redis{0};
  std::atomic<uint64_t> to_hub{0};
  std::atomic<uint64_t> lost_redis_down{0};
  std::atomic<uint64_t> dropped_full{0};
  std::atomic<uint64_t> dropped_hub_down{0};
  std::atomic<uint64_t> too_large{0};
  std::atomic<uint64_t> rejected{0};
  std::atomic<uint64_t> missed{0};
  std::atomic<uint64_t> duplicates{0};
  // Connections made by each link after its first; not in the counter line.
  std::atomic<uint64_t> reconnects_hub{0};
  std::atomic<uint64_t> reconnects_publish{0};
  std::atomic<uint64_t> reconnects_read{0};

  BRIDGE_COUNTS snapshot() const;
};

// One counter line: ":: counters  from hub N  to redis N  ...".
void bridge_print_counts(const BRIDGE_COUNTS& c);

// An eventfd that wakes one thread out of poll. Threading: any thread
// signals; the owning thread polls fd and drains it.
class G_WAKE {
 public:
  G_WAKE() = default;
  ~G_WAKE();
  G_WAKE(const G_WAKE&) = delete;
  G_WAKE& operator=(const G_WAKE&) = delete;
  int init();  // 0 or errno
  void close();
  void signal();
  void drain();
  // Sleeps ms milliseconds; signals do not shorten it (a reconnect
  // backoff), only stop does. BRIDGE_STOP when stop is set, else BRIDGE_OK.
  int nap(unsigned ms, const std::atomic<bool>& stop);
  // Waits up to ms milliseconds for a signal (taken) or stop. BRIDGE_STOP
  // when stop is set, else BRIDGE_OK.
  int wait(unsigned ms, const std::atomic<bool>& stop);
  int fd = -1;
};

// The entry of a thread that runs (self->*RUN)(), self a T: one for the
// threads of every link.
template <class T, void (T::*RUN)()>
void* bridge_thread_main(void* self) {
  (static_cast<T*>(self)->*RUN)();
  return nullptr;
}

// A console line (wide, flushed at once: the output is often a pipe).
void bridge_log(const wchar_t* format, ...);

// Replaces every byte outside printable ASCII with '?', in place: text from
// a peer (a status line, an error reply) must neither move the terminal nor
// fail the wide conversion of the line it is printed in.
void bridge_printable(char* text);

// Milliseconds of the monotonic clock.
uint64_t bridge_now_ms();
// Milliseconds since the epoch (stream entry ids are wall-clock times).
uint64_t bridge_wall_ms();
