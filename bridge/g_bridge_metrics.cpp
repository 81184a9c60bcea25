// The bridge's /metrics and /healthz endpoint on its own loopback port.
#include "bridge/g_bridge_metrics.hpp"
#include "support/g_eintr.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "bridge/g_bridge.hpp"

namespace {

// Appends printf output to out[*len..cap); output that does not fit is cut.
void put(char* out, size_t cap, size_t* len, const char* format, ...) {
  if (*len >= cap) return;
  va_list ap;
  va_start(ap, format);
  const int n = vsnprintf(out + *len, cap - *len, format, ap);
  va_end(ap);
  if (n > 0) *len += size_t(n) < cap - *len ? size_t(n) : cap - *len - 1;
}

void counter(char* out, size_t cap, size_t* len, const char* name, const char* help, uint64_t v) {
  put(out, cap, len, "# HELP %s %s\n# TYPE %s counter\n%s %llu\n", name, help, name, name,
      (unsigned long long)v);
}

// Writes all of data (bounded by the deadline); the peer may go away.
void send_all(int so, const char* data, size_t n, uint64_t deadline) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = no_eintr([&] { return send(so, data + done, n - done, MSG_NOSIGNAL); });
    if (r > 0) {
      done += size_t(r);
      continue;
    }
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const uint64_t now = bridge_now_ms();
      if (now >= deadline) return;
      pollfd p{so, POLLOUT, 0};
      poll(&p, 1, int(deadline - now));
      continue;
    }
    return;
  }
}

}  // namespace

G_BRIDGE_METRICS::~G_BRIDGE_METRICS() {
  close();
}

int G_BRIDGE_METRICS::init(G_BRIDGE* owner) {
  p_bridge = owner;
  const BRIDGE_OPTIONS& o = owner->opt;
  if (wake.init() != 0) {
    snprintf(why, sizeof why, "eventfd: %s", strerror(errno));
    return -1;
  }
  char port[8];
  snprintf(port, sizeof port, "%u", unsigned(o.metrics_port));
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const int gai = getaddrinfo(o.metrics_host, port, &hints, &list);
  if (gai != 0) {
    snprintf(why, sizeof why, "cannot resolve %.100s: %.100s", o.metrics_host, gai_strerror(gai));
    return -1;
  }
  for (addrinfo* a = list; a != nullptr && listener < 0; a = a->ai_next) {
    listener = socket(a->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) {
      snprintf(why, sizeof why, "socket: %s", strerror(errno));
      continue;
    }
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener, a->ai_addr, a->ai_addrlen) != 0 || listen(listener, 16) != 0) {
      snprintf(why, sizeof why, "cannot listen on %.100s:%u: %s", o.metrics_host, unsigned(o.metrics_port),
               strerror(errno));
      ::close(listener);
      listener = -1;
    }
  }
  freeaddrinfo(list);
  return listener >= 0 ? 0 : -1;
}

void G_BRIDGE_METRICS::close() {
  if (listener >= 0) ::close(listener);
  listener = -1;
  wake.close();
}

int G_BRIDGE_METRICS::start() {
  return thread.create(&bridge_thread_main<G_BRIDGE_METRICS, &G_BRIDGE_METRICS::run>, this);
}

int G_BRIDGE_METRICS::join() {
  return thread.wait();
}

void G_BRIDGE_METRICS::run() {
  G_BRIDGE& b = *p_bridge;
  while (!b.b_stop.load()) {
    pollfd p[2] = {{listener, POLLIN, 0}, {wake.fd, POLLIN, 0}};
    const int n = poll(p, 2, 1000);
    if (n > 0 && (p[1].revents & POLLIN)) wake.drain();
    if (n <= 0 || (p[0].revents & POLLIN) == 0) continue;
    const int so = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (so < 0) continue;  // gone already, or out of descriptors for now
    serve(so);
    ::close(so);
  }
}

int G_BRIDGE_METRICS::health(char* out, size_t cap) const {
  const G_BRIDGE& b = *p_bridge;
  size_t len = 0;
  out[0] = 0;
  if (!b.hub.b_up.load()) put(out, cap, &len, "hub down\n");
  if (!b.pub.b_up.load()) put(out, cap, &len, "redis down (writer)\n");
  if (!b.sub.b_up.load()) put(out, cap, &len, "redis down (reader)\n");
  if (len != 0) return 0;
  put(out, cap, &len, "ok\n");
  return 1;
}

size_t G_BRIDGE_METRICS::render(char* out, size_t cap) const {
  const G_BRIDGE& b = *p_bridge;
  const G_BRIDGE_COUNTERS& c = b.counters;
  size_t len = 0;
  counter(out, cap, &len, "relayhub_bridge_messages_from_hub_total",
          "Messages the hub relayed to the bridge.", c.from_hub.load());
  counter(out, cap, &len, "relayhub_bridge_messages_published_total",
          "Messages Redis accepted from the bridge.", c.to_redis.load());
  counter(out, cap, &len, "relayhub_bridge_messages_from_redis_total", "Messages of other hubs received.",
          c.from_redis.load());
  counter(out, cap, &len, "relayhub_bridge_messages_delivered_total", "Messages written into the hub.",
          c.to_hub.load());
  put(out, cap, &len,
      "# HELP relayhub_bridge_messages_dropped_total Messages dropped, by reason.\n"
      "# TYPE relayhub_bridge_messages_dropped_total counter\n");
  const struct {
    const char* reason;
    uint64_t v;
  } dropped[] = {{"redis_down", c.lost_redis_down.load()}, {"buffer_full", c.dropped_full.load()},
                 {"hub_down", c.dropped_hub_down.load()},  {"too_large", c.too_large.load()},
                 {"rejected", c.rejected.load()},          {"duplicate", c.duplicates.load()}};
  for (const auto& d : dropped)
    put(out, cap, &len, "relayhub_bridge_messages_dropped_total{reason=\"%s\"} %llu\n", d.reason,
        (unsigned long long)d.v);
  counter(out, cap, &len, "relayhub_bridge_messages_missed_total",
          "Messages of other bridges that never came (gaps in their sequence numbers).", c.missed.load());
  counter(out, cap, &len, "relayhub_bridge_messages_duplicate_total",
          "Messages received again and not delivered again.", c.duplicates.load());
  put(out, cap, &len,
      "# HELP relayhub_bridge_reconnects_total Connections made by a link after its first.\n"
      "# TYPE relayhub_bridge_reconnects_total counter\n"
      "relayhub_bridge_reconnects_total{link=\"hub\"} %llu\n"
      "relayhub_bridge_reconnects_total{link=\"redis_writer\"} %llu\n"
      "relayhub_bridge_reconnects_total{link=\"redis_reader\"} %llu\n",
      (unsigned long long)c.reconnects_hub.load(), (unsigned long long)c.reconnects_publish.load(),
      (unsigned long long)c.reconnects_read.load());
  put(out, cap, &len,
      "# HELP relayhub_bridge_link_up Whether a link is up (the hub: connected and claimed).\n"
      "# TYPE relayhub_bridge_link_up gauge\n"
      "relayhub_bridge_link_up{link=\"hub\"} %d\n"
      "relayhub_bridge_link_up{link=\"redis_writer\"} %d\n"
      "relayhub_bridge_link_up{link=\"redis_reader\"} %d\n",
      b.hub.b_up.load() ? 1 : 0, b.pub.b_up.load() ? 1 : 0, b.sub.b_up.load() ? 1 : 0);
  put(out, cap, &len,
      "# HELP relayhub_bridge_delivery_lag_seconds Age of the last stream entry written into the hub, "
      "when it was written.\n"
      "# TYPE relayhub_bridge_delivery_lag_seconds gauge\n"
      "relayhub_bridge_delivery_lag_seconds %.3f\n",
      double(b.lag_ms.load()) / 1000.0);
  return len;
}

void G_BRIDGE_METRICS::serve(int so) {
  const uint64_t deadline = bridge_now_ms() + REQUEST_TIMEOUT_MS;
  char req[REQUEST_MAX + 1];
  if (read_request(so, req, deadline) == 0) answer(so, req, deadline);
}

int G_BRIDGE_METRICS::read_request(int so, char* req, uint64_t deadline) {
  size_t n = 0;
  // The request head; a body, if any, is not read.
  while (n < REQUEST_MAX && memmem(req, n, "\r\n\r\n", 4) == nullptr) {
    const ssize_t r = no_eintr([&] { return recv(so, req + n, REQUEST_MAX - n, 0); });
    if (r > 0) {
      n += size_t(r);
      continue;
    }
    if (r == 0) break;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    const uint64_t now = bridge_now_ms();
    if (now >= deadline) return -1;
    pollfd p[2] = {{so, POLLIN, 0}, {wake.fd, POLLIN, 0}};
    poll(p, 2, int(deadline - now));
    if (p_bridge->b_stop.load()) return -1;
  }
  req[n] = 0;
  return 0;
}

void G_BRIDGE_METRICS::answer(int so, const char* req, uint64_t deadline) {
  char body[ANSWER_MAX];
  const char* status = "404 Not Found";
  const char* type = "text/plain; charset=utf-8";
  size_t body_len = 0;
  const bool head_only = strncmp(req, "HEAD ", 5) == 0;
  const char* path = head_only ? req + 5 : strncmp(req, "GET ", 4) == 0 ? req + 4 : nullptr;
  auto is_path = [&](const char* want) {
    const size_t k = strlen(want);
    return path != nullptr && strncmp(path, want, k) == 0 && (path[k] == ' ' || path[k] == '?');
  };
  if (path == nullptr) {
    status = "405 Method Not Allowed";
    body_len = size_t(snprintf(body, sizeof body, "GET only\n"));
  } else if (is_path("/metrics")) {
    status = "200 OK";
    type = "text/plain; version=0.0.4; charset=utf-8";
    body_len = render(body, sizeof body);
  } else if (is_path("/healthz")) {
    status = health(body, sizeof body) == 1 ? "200 OK" : "503 Service Unavailable";
    body_len = strlen(body);
  } else {
    body_len = size_t(snprintf(body, sizeof body, "not found\n"));
  }
  char head[256];
  const int h =
      snprintf(head, sizeof head,
               "HTTP/1.1 %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nConnection: close\r\n\r\n", status,
               type, body_len);
  send_all(so, head, size_t(h), deadline);
  if (!head_only) send_all(so, body, body_len, deadline);
}
