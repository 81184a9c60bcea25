// The bridge's shared pieces: counters, a thread's wake-up descriptor and
// the console lines.
#include "bridge/bridge_common.hpp"
#include "support/g_eintr.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <cwchar>

BRIDGE_COUNTS G_BRIDGE_COUNTERS::snapshot() const {
  BRIDGE_COUNTS c;
  c.from_hub = from_hub.load();
  c.to_redis = to_redis.load();
  c.from_redis = from_redis.load();
  c.to_hub = to_hub.load();
  c.lost_redis_down = lost_redis_down.load();
  c.dropped_full = dropped_full.load();
  c.dropped_hub_down = dropped_hub_down.load();
  c.too_large = too_large.load();
  c.rejected = rejected.load();
  c.missed = missed.load();
  c.duplicates = duplicates.load();
  return c;
}

void bridge_print_counts(const BRIDGE_COUNTS& c) {
  bridge_log(
      L":: counters  from hub %llu  to redis %llu  from redis %llu  to hub %llu  "
      L"dropped: redis down %llu  buffer full %llu  hub down %llu  too large %llu  rejected %llu  "
      L"missed %llu  duplicates %llu\n",
      (unsigned long long)c.from_hub, (unsigned long long)c.to_redis, (unsigned long long)c.from_redis,
      (unsigned long long)c.to_hub, (unsigned long long)c.lost_redis_down, (unsigned long long)c.dropped_full,
      (unsigned long long)c.dropped_hub_down, (unsigned long long)c.too_large, (unsigned long long)c.rejected,
      (unsigned long long)c.missed, (unsigned long long)c.duplicates);
}

G_WAKE::~G_WAKE() {
  close();
}

int G_WAKE::init() {
  close();
  fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd < 0 ? errno : 0;
}

void G_WAKE::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void G_WAKE::signal() {
  const uint64_t one = 1;
  // A full counter (never in practice) still leaves the descriptor readable.
  (void)no_eintr([&] { return write(fd, &one, sizeof one); });
}

void G_WAKE::drain() {
  uint64_t v;
  (void)no_eintr([&] { return read(fd, &v, sizeof v); });
}

int G_WAKE::nap(unsigned ms, const std::atomic<bool>& stop) {
  const uint64_t end = bridge_now_ms() + ms;
  while (!stop.load()) {
    const uint64_t now = bridge_now_ms();
    if (now >= end) return BRIDGE_OK;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(end - now)) > 0) drain();
  }
  return BRIDGE_STOP;
}

int G_WAKE::wait(unsigned ms, const std::atomic<bool>& stop) {
  if (stop.load()) return BRIDGE_STOP;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, int(ms)) > 0) drain();
  return stop.load() ? BRIDGE_STOP : BRIDGE_OK;
}

void bridge_log(const wchar_t* format, ...) {
  va_list ap;
  va_start(ap, format);
  vwprintf(format, ap);
  va_end(ap);
  fflush(stdout);
}

void bridge_printable(char* text) {
  for (; *text != 0; ++text)
    if (*text < 0x20 || *text > 0x7E) *text = '?';
}

uint64_t bridge_wall_ms() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

uint64_t bridge_now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}
