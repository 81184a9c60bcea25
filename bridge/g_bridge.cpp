// The bridge as a whole: start-up, the threads of its links, the periodic
// counters line and the clean stop.
#include "bridge/g_bridge.hpp"
#include "support/g_eintr.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>

namespace {

constexpr uint64_t TOO_LARGE_LOG_MS = 1000;  // at most one such line a second

}  // namespace

G_BRIDGE::~G_BRIDGE() {
  close();
}

int G_BRIDGE::read_private_file(const char* path, const char* what, bool b_keep) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    bridge_log(L"!! cannot read the %s %s: %s\n", what, path, strerror(errno));
    return BRIDGE_EXIT_START_FAILED;
  }
  // A secret that others can read is no secret: refuse it rather than use
  // it silently.
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    bridge_log(L"!! cannot read the %s %s: %s\n", what, path, strerror(errno));
    ::close(fd);
    return BRIDGE_EXIT_START_FAILED;
  }
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    bridge_log(L"!! the %s %s can be read by others (mode %03o): chmod 600 it\n", what, path,
               unsigned(st.st_mode & 0777));
    ::close(fd);
    return BRIDGE_EXIT_START_FAILED;
  }
  if (!b_keep) {
    ::close(fd);
    return BRIDGE_EXIT_OK;
  }
  const int r = read_password(fd, path, what);
  ::close(fd);
  return r;
}

int G_BRIDGE::read_password(int fd, const char* path, const char* what) {
  size_t n = 0;
  for (;;) {
    const ssize_t r = no_eintr([&] { return read(fd, password + n, sizeof password - 1 - n); });
    if (r <= 0) break;
    n += size_t(r);
    if (n == sizeof password - 1) break;
  }
  // The first line is the password; a line break ends it.
  size_t len = 0;
  while (len < n && password[len] != '\n' && password[len] != '\r')
    ++len;
  if (len == 0 || len == sizeof password - 1) {
    explicit_bzero(password, sizeof password);
    bridge_log(L"!! the %s %s holds %ls\n", what, path,
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
  do {
    if (getrandom(&instance_id, sizeof instance_id, 0) != ssize_t(sizeof instance_id)) {
      bridge_log(L"!! no randomness for the instance id: %s\n", strerror(errno));
      return BRIDGE_EXIT_START_FAILED;
    }
  } while (instance_id == 0);
  int r = init_secrets();
  if (r == BRIDGE_EXIT_OK) r = init_buffers();
  if (r == BRIDGE_EXIT_OK) r = init_links();
  return r;
}

int G_BRIDGE::init_secrets() {
  if (opt.password_file[0] != 0) {
    const int r = read_private_file(opt.password_file, "password file", true);
    if (r != BRIDGE_EXIT_OK) return r;
  }
  if (opt.redis_key[0] == 0 && opt.redis_cert[0] == 0) return BRIDGE_EXIT_OK;
  return read_private_file(opt.redis_key[0] != 0 ? opt.redis_key : opt.redis_cert, "client key file", false);
}

int G_BRIDGE::init_buffers() {
  if (session.lock.init() != 0) {
    bridge_log(L"!! cannot create a lock\n");
    return BRIDGE_EXIT_START_FAILED;
  }
  if (ring_to_hub.init(size_t(opt.buffer_bytes)) != 0 || ring_to_redis.init(size_t(opt.buffer_bytes)) != 0) {
    bridge_log(L"!! cannot allocate two buffers of %llu bytes\n", (unsigned long long)opt.buffer_bytes);
    return BRIDGE_EXIT_START_FAILED;
  }
  // A message must fit one buffer, with its header and stream id.
  max_message = size_t(opt.max_message);
  const size_t fits = ring_to_redis.max_data() - FED_HEADER_SIZE - 32;
  if (max_message > fits) max_message = fits;
  hub_message_max.store(max_message);
  return BRIDGE_EXIT_OK;
}

int G_BRIDGE::init_links() {
  redis.host = opt.redis_host;
  redis.port = opt.redis_port;
  redis.b_verify = opt.redis_ca[0] != 0;
  redis.user = opt.redis_user;
  redis.password = b_password ? password : nullptr;
  redis.password_len = password_len;
  if (hub.init(this) != 0) {
    bridge_log(L"!! %s\n", hub.why);
    return BRIDGE_EXIT_START_FAILED;
  }
  for (G_REDIS_LINK* link : {&pub, &sub}) {
    if (link->init(this, link == &pub ? G_REDIS_LINK::ROLE_WRITE : G_REDIS_LINK::ROLE_READ) != 0) {
      bridge_log(L"!! %s\n", link->why);
      return BRIDGE_EXIT_START_FAILED;
    }
  }
  if (opt.metrics_port != 0 && metrics.init(this) != 0) {
    bridge_log(L"!! metrics: %s\n", metrics.why);
    return BRIDGE_EXIT_START_FAILED;
  }
  return BRIDGE_EXIT_OK;
}

void G_BRIDGE::stop_links() {
  b_stop.store(true);
  hub.wake.signal();
  pub.wake.signal();
  sub.wake.signal();
  metrics.wake.signal();
}

void G_BRIDGE::log_start() const {
  const bool streams = opt.transport == TRANSPORT_STREAMS;
  wchar_t retention[64] = L"";
  if (streams) swprintf(retention, 64, L"  retention %u s", opt.retention_s);
  bridge_log(
      L":: relayhub-bridge  hub %s:%u (%ls)  redis %s:%u (%ls)  %ls %s%ls  instance %016llx\n"
      L"   buffer %llu bytes each way  max message %llu bytes  counters every %u s\n",
      opt.hub_host, unsigned(opt.hub_port), opt.b_tls ? (opt.ca_file[0] ? L"wss, verified" : L"wss") : L"ws",
      opt.redis_host, unsigned(opt.redis_port),
      opt.b_redis_tls ? (opt.redis_ca[0] ? L"tls, verified" : L"tls") : L"plain",
      streams ? L"stream" : L"channel", opt.channel, retention, (unsigned long long)instance_id,
      (unsigned long long)opt.buffer_bytes, (unsigned long long)max_message, opt.stats_s);
  if (opt.metrics_port != 0)
    bridge_log(L":: metrics on http://%s:%u/metrics and /healthz\n", opt.metrics_host,
               unsigned(opt.metrics_port));
}

int G_BRIDGE::start_links(int& started) {
  started = 0;
  int rc = hub.start();
  if (rc == 0) {
    ++started;
    rc = pub.start();
  }
  if (rc == 0) {
    ++started;
    rc = sub.start();
  }
  if (rc == 0) {
    ++started;
    if (opt.metrics_port != 0) rc = metrics.start();
  }
  if (rc == 0) ++started;
  return rc;
}

void G_BRIDGE::print_counters(int fd_signal) {
  BRIDGE_COUNTS shown;
  uint64_t next = bridge_now_ms() + uint64_t(opt.stats_s) * 1000u;
  for (;;) {
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
    if (poll(&p, 1, int(next - now)) > 0) return;  // a stop signal
  }
}

void G_BRIDGE::join_links(int started) {
  if (started > 0) hub.join();
  if (started > 1) pub.join();
  if (started > 2) sub.join();
  if (started > 3 && opt.metrics_port != 0) metrics.join();
}

int G_BRIDGE::run(int fd_signal, const sigset_t* stop_signals) {
  log_start();
  int started = 0;
  const int rc = start_links(started);
  if (rc != 0) bridge_log(L"!! cannot start a thread: %s\n", strerror(rc));
  pthread_sigmask(SIG_UNBLOCK, stop_signals, nullptr);
  if (rc == 0) print_counters(fd_signal);
  stop_links();
  join_links(started);
  bridge_print_counts(counters.snapshot());
  bridge_log(L":: stopped\n");
  return rc == 0 ? BRIDGE_EXIT_OK : BRIDGE_EXIT_START_FAILED;
}

void G_BRIDGE::log_too_large(uint64_t& last_ms, size_t len, size_t limit) const {
  const uint64_t now = bridge_now_ms();
  if (now - last_ms < TOO_LARGE_LOG_MS) return;
  last_ms = now;
  bridge_log(L"!! dropped a message of %zu bytes toward hub %s:%u: it takes at most %zu\n", len, opt.hub_host,
             unsigned(opt.hub_port), limit);
}

void G_BRIDGE::close() {
  hub.close();
  pub.close();
  sub.close();
  metrics.close();
  ring_to_hub.close();
  ring_to_redis.close();
  session.lock.close();
  explicit_bzero(password, sizeof password);
  password_len = 0;
  b_password = false;
}
