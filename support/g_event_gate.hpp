#pragma once
// The gate every support primitive (g_event, g_event_sem, g_mutex) puts
// around its operations, so that close can destroy the primitive only once
// no thread is inside: a count of the threads inside, tested against the
// primitive's validity flag, and the wait for that count to drop to zero.
//
// Threading: any thread; enter/leave pair up on the calling thread.

#include <atomic>

class g_event_gate {
 public:
  // Counts the caller in: true, or false (not counted) when valid is clear.
  // Counting before testing pairs with close, which clears the flag before
  // reading the count: one of the two always sees the other.
  bool enter(const std::atomic<bool>& valid) {
    users.fetch_add(1, std::memory_order_seq_cst);
    if (valid.load(std::memory_order_seq_cst)) return true;
    leave();
    return false;
  }
  void leave() { users.fetch_sub(1, std::memory_order_release); }
  // Waits until no thread is inside, yielding first, then backing off
  // (0.1 ms) so that a slow leaver is not starved by the spinning closer;
  // nudge(ctx), when given, runs before each look (to wake waiters again).
  void wait_until_unused(void (*nudge)(void*) = nullptr, void* ctx = nullptr) const;

  std::atomic<int> users{0};
};
