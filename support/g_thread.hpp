#pragma once
// One POSIX thread: configured (stack size or caller-owned attributes),
// started with create, then joined, signalled, cancelled or forgotten.
// Results: 0 = success, the threading call's error number = failure,
// G_CLOSED (43, EIDRM) = the object holds no thread.
//
// Threading: configured and created by one owner thread; wait, kill and the
// queries may come from any thread; the started thread may close its own
// object (b_valid is atomic for that).

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "support/g_result.hpp"

class g_thread {
 public:
  g_thread();
  // Sends SIGTERM to a thread that is still held (and not yet joined).
  ~g_thread();
  g_thread(const g_thread&) = delete;
  g_thread& operator=(const g_thread&) = delete;

  // Stack size for the next create; 0 = system default. The flag has no effect.
  void conf_stack(unsigned long size, bool);
  // Attributes used unchanged by create (stack size then ignored); flags are
  // only recorded.
  void conf_flags(void* attributes, unsigned flags);
  // The attributes create would use, or null for the system defaults. Sets
  // *initialised when buffer was initialised and must be destroyed.
  pthread_attr_t* get_attributes(pthread_attr_t* buffer, bool* initialised);
  // Starts function(argument). A stack size the system refuses falls back
  // to the default stack silently. 0 or the creation's error number.
  [[nodiscard]] int create(void* (*function)(void*), void* argument);
  // Forgets the thread (no join, detach or signal) and the configuration.
  // The thread function may call it on its own object.
  int close();

  // After a successful join the thread handle is gone: the operations below
  // then answer ESRCH (3) or their failure value instead of using it.
  int kill();
  int kill(int sig);
  int wait();
  int wait_time(unsigned ms);
  int cancel();
  int resume();   // not supported: -1
  int suspend();  // not supported: -1

  // CPUs 0 to 63 as a bit mask; 0 on failure or without a thread.
  uint64_t get_affinity();
  // Previous mask when the new one was applied, else 0.
  uint64_t set_affinity(unsigned long mask);
  // Scheduling priority value; INT_MAX on failure or without a thread.
  int get_priority();
  // 0 = SCHED_OTHER, > 0 = SCHED_FIFO, < 0 = SCHED_RR with the magnitude as
  // priority, clamped to the policy's range. 0 on success, else -1.
  int set_priority(int priority);
  // The policy and clamped priority value that set_priority applies.
  static void priority_policy(int priority, int* policy, int* value);

  uint64_t stack_size;
  uint32_t flags;
  pthread_attr_t* p_attr;
  // Left in place by close, so an owner that is joining while the thread
  // closes its own object still has a handle.
  pthread_t h_thread;
  std::atomic<bool> b_valid;

 private:
  // 0 when the handle may be used, else 43 or ESRCH.
  int usable() const;

  std::atomic<bool> b_joined;
};
