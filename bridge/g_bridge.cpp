#include "bridge/g_bridge.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

G_BRIDGE::~G_BRIDGE() { close(); }

int G_BRIDGE::read_password() {
  const int fd = open(opt.password_file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    bridge_log(L"!! cannot read the password file %s: %s\n", opt.password_file, strerror(errno));
    return BRIDGE_EXIT_START_FAILED;
  }
  size_t n = 0;
  for (;;) {
    const ssize_t r = read(fd, password + n, sizeof password - 1 - n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    n += size_t(r);
    if (n == sizeof password - 1) break;
  }
  ::close(fd);
  // The first line is the password; a line break ends it.
  size_t len = 0;
  while (len < n && password[len] != '\n' && password[len] != '\r') ++len;
  if (len == 0 || len == sizeof password - 1) {
    explicit_bzero(password, sizeof password);
    bridge_log(L"!! the password file %s holds %ls\n", opt.password_file,
               len == 0 ? L"no password on its first line" : L"a line longer than 1022 bytes");
    return BRIDGE_EXIT_START_FAILED;
  }
  explicit_bzero(password + len, sizeof password - len);
  password_len = len;
  b_password = true;
  return BRIDGE_EXIT_OK;
}

int G_BRIDGE::init(const BRIDGE_OPTIONS& options) {
  opt = options;
  if (getrandom(instance_id, sizeof instance_id, 0) != ssize_t(sizeof instance_id)) {
    bridge_log(L"!! no randomness for the instance id: %s\n", strerror(errno));
    return BRIDGE_EXIT_START_FAILED;
  }
  if (opt.password_file[0] != 0) {
    const int r = read_password();
    if (r != BRIDGE_EXIT_OK) return r;
  }
  if (ring_to_hub.init(size_t(opt.buffer_bytes)) != 0 || ring_to_redis.init(size_t(opt.buffer_bytes)) != 0) {
    bridge_log(L"!! cannot allocate two buffers of %llu bytes\n", (unsigned long long)opt.buffer_bytes);
    return BRIDGE_EXIT_START_FAILED;
  }
  // A message must fit one buffer, with its header toward Redis.
  max_message = size_t(opt.max_message);
  const size_t fits = ring_to_redis.max_data() - FED_HEADER_SIZE;
  if (max_message > fits) max_message = fits;
  if (hub.init(this) != 0) {
    bridge_log(L"!! %s\n", hub.why);
    return BRIDGE_EXIT_START_FAILED;
  }
  if (pub.init(this, G_REDIS_LINK::ROLE_PUBLISH) != 0 || sub.init(this, G_REDIS_LINK::ROLE_SUBSCRIBE) != 0) {
    bridge_log(L"!! eventfd: %s\n", strerror(errno));
    return BRIDGE_EXIT_START_FAILED;
  }
  return BRIDGE_EXIT_OK;
}

void G_BRIDGE::stop_links() {
  b_stop.store(true);
  hub.wake.signal();
  pub.wake.signal();
  sub.wake.signal();
}

int G_BRIDGE::run(int fd_signal, const sigset_t* stop_signals) {
  wchar_t id[2 * FED_ID_SIZE + 1];
  for (size_t i = 0; i < FED_ID_SIZE; ++i) swprintf(id + 2 * i, 3, L"%02x", unsigned(instance_id[i]));
  bridge_log(L":: relayhub-bridge  hub %s:%u (%ls)  redis %s:%u  channel %s  instance %ls\n"
             L"   buffer %llu bytes each way  max message %llu bytes  counters every %u s\n",
             opt.hub_host, unsigned(opt.hub_port), opt.b_tls ? (opt.ca_file[0] ? L"wss, verified" : L"wss") : L"ws",
             opt.redis_host, unsigned(opt.redis_port), opt.channel, id, (unsigned long long)opt.buffer_bytes,
             (unsigned long long)max_message, opt.stats_s);

  int started = 0;
  int rc = hub.start();
  if (rc == 0) {
    ++started;
    rc = pub.start();
  }
  if (rc == 0) {
    ++started;
    rc = sub.start();
  }
  if (rc == 0) ++started;
  if (rc != 0) bridge_log(L"!! cannot start a thread: %s\n", strerror(rc));
  pthread_sigmask(SIG_UNBLOCK, stop_signals, nullptr);

  BRIDGE_COUNTS shown;
  uint64_t next = bridge_now_ms() + uint64_t(opt.stats_s) * 1000u;
  while (rc == 0) {
    const uint64_t now = bridge_now_ms();
    if (now >= next) {
      const BRIDGE_COUNTS c = counters.snapshot();
      if (!(c == shown)) {
        bridge_print_counts(c);
        shown = c;
      }
      next = now + uint64_t(opt.stats_s) * 1000u;
      continue;
    }
    pollfd p{fd_signal, POLLIN, 0};
    const int n = poll(&p, 1, int(next - now));
    if (n > 0) break;  // a stop signal
  }

  stop_links();
  if (started > 0) hub.join();
  if (started > 1) pub.join();
  if (started > 2) sub.join();
  bridge_print_counts(counters.snapshot());
  bridge_log(L":: stopped\n");
  return rc == 0 ? BRIDGE_EXIT_OK : BRIDGE_EXIT_START_FAILED;
}

void G_BRIDGE::close() {
  hub.close();
  pub.close();
  sub.close();
  ring_to_hub.close();
  ring_to_redis.close();
  explicit_bzero(password, sizeof password);
  password_len = 0;
  b_password = false;
}
