// One POSIX thread: stack size, creation, join, signals and scheduling.
#include "support/g_thread.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <sched.h>

#include "support/g_event.hpp"

g_thread::g_thread() : stack_size(0), flags(0), p_attr(nullptr), b_valid(false), b_joined(false) {
  memset(&h_thread, 0, sizeof h_thread);
}

g_thread::~g_thread() {
  if (usable() == 0) pthread_kill(h_thread, SIGTERM);
}

int g_thread::usable() const {
  if (!b_valid.load()) return G_CLOSED;
  if (b_joined.load()) return ESRCH;
  return 0;
}

void g_thread::conf_stack(unsigned long size, bool) {
  stack_size = size;
}

void g_thread::conf_flags(void* attributes, unsigned f) {
  p_attr = static_cast<pthread_attr_t*>(attributes);
  flags = f;
}

pthread_attr_t* g_thread::get_attributes(pthread_attr_t* buffer, bool* initialised) {
  if (initialised != nullptr) *initialised = false;
  if (p_attr != nullptr) return p_attr;
  if (stack_size == 0 || buffer == nullptr) return nullptr;
  if (pthread_attr_init(buffer) != 0) return nullptr;
  if (pthread_attr_setstacksize(buffer, static_cast<size_t>(stack_size)) != 0) {
    pthread_attr_destroy(buffer);
    return nullptr;
  }
  if (initialised != nullptr) *initialised = true;
  return buffer;
}

int g_thread::create(void* (*function)(void*), void* argument) {
  pthread_attr_t local;
  bool local_used = false;
  pthread_attr_t* attr = get_attributes(&local, &local_used);
  // Valid before the thread runs, so a thread function that closes its own
  // object at once is not overridden afterwards.
  b_joined.store(false);
  b_valid.store(true);
  pthread_t handle;
  const int rc = pthread_create(&handle, attr, function, argument);
  if (local_used) pthread_attr_destroy(&local);
  if (rc != 0) {
    b_valid.store(false);
    return rc;
  }
  h_thread = handle;
  return 0;
}

int g_thread::close() {
  if (!b_valid.exchange(false)) return G_CLOSED;
  stack_size = 0;
  flags = 0;
  p_attr = nullptr;
  return 0;
}

int g_thread::kill() {
  return kill(SIGTERM);
}

int g_thread::kill(int sig) {
  const int rc = usable();
  if (rc != 0) return rc;
  return pthread_kill(h_thread, sig);
}

int g_thread::wait() {
  int rc = usable();
  if (rc != 0) return rc;
  rc = pthread_join(h_thread, nullptr);
  if (rc == 0) b_joined.store(true);
  return rc;
}

int g_thread::wait_time(unsigned ms) {
  int rc = usable();
  if (rc != 0) return rc;
  struct timespec until;
  g_event::deadline(ms, &until);
  rc = pthread_timedjoin_np(h_thread, nullptr, &until);
  if (rc == 0) b_joined.store(true);
  return rc;
}

int g_thread::cancel() {
  const int rc = usable();
  if (rc != 0) return rc;
  return pthread_cancel(h_thread);
}

int g_thread::resume() {
  return b_valid.load() ? -1 : G_CLOSED;
}

int g_thread::suspend() {
  return b_valid.load() ? -1 : G_CLOSED;
}

uint64_t g_thread::get_affinity() {
  if (usable() != 0) return 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (pthread_getaffinity_np(h_thread, sizeof set, &set) != 0) return 0;
  uint64_t mask = 0;
  for (int cpu = 0; cpu < 64; ++cpu) {
    if (CPU_ISSET(cpu, &set)) mask |= uint64_t{1} << cpu;
  }
  return mask;
}

uint64_t g_thread::set_affinity(unsigned long mask) {
  if (usable() != 0) return 0;
  const uint64_t previous = get_affinity();
  cpu_set_t set;
  CPU_ZERO(&set);
  for (int cpu = 0; cpu < 64; ++cpu) {
    if ((mask >> cpu) & 1u) CPU_SET(cpu, &set);
  }
  // Only the first 8 bytes (CPUs 0 to 63) are handed over.
  if (pthread_setaffinity_np(h_thread, sizeof(uint64_t), &set) != 0) return 0;
  return previous;
}

int g_thread::get_priority() {
  if (usable() != 0) return INT_MAX;
  int policy = 0;
  struct sched_param param;
  memset(&param, 0, sizeof param);
  if (pthread_getschedparam(h_thread, &policy, &param) != 0) return INT_MAX;
  return param.sched_priority;
}

void g_thread::priority_policy(int priority, int* policy, int* value) {
  if (priority == 0) {
    *policy = SCHED_OTHER;
    *value = 0;
    return;
  }
  *policy = priority > 0 ? SCHED_FIFO : SCHED_RR;
  // Magnitude through unsigned arithmetic: the most negative integer stays
  // negative (and is then raised to the minimum) without overflowing.
  int v = priority > 0 ? priority : static_cast<int>(0u - static_cast<unsigned>(priority));
  const int lowest = sched_get_priority_min(*policy);
  const int highest = sched_get_priority_max(*policy);
  if (v < lowest) v = lowest;
  if (v > highest) v = highest;
  *value = v;
}

int g_thread::set_priority(int priority) {
  if (usable() != 0) return -1;
  int policy = 0;
  struct sched_param param;
  memset(&param, 0, sizeof param);
  priority_policy(priority, &policy, &param.sched_priority);
  return pthread_setschedparam(h_thread, policy, &param) == 0 ? 0 : -1;
}
