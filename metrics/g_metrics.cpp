// Per-slot counters summed on scrape, and their Prometheus text.
#include "metrics/g_metrics.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int G_SLOT_COUNTERS::close_index(int code) {
  for (int i = 0; i < G_CLOSE_COUNT; ++i)
    if (G_CLOSE_CODES[i] == code) return i;
  return -1;
}

int G_SLOT_COUNTERS::http_index(int status) {
  for (int i = 0; i < G_HTTP_COUNT; ++i)
    if (G_HTTP_STATUSES[i] == status) return i;
  return -1;
}

void G_METRICS_SNAPSHOT::add(const G_SLOT_COUNTERS& c) {
  auto sum = [](uint64_t* to, const std::atomic<uint64_t>* from, int n) {
    for (int i = 0; i < n; ++i)
      to[i] += from[i].load(std::memory_order_relaxed);
  };
  sum(accepted, c.accepted, G_KIND_COUNT);
  sum(received_msgs, c.received_msgs, G_KIND_COUNT);
  sum(received_bytes, c.received_bytes, G_KIND_COUNT);
  sum(delivered_msgs, c.delivered_msgs, G_KIND_COUNT);
  sum(delivered_bytes, c.delivered_bytes, G_KIND_COUNT);
  sum(closes, c.closes, G_CLOSE_COUNT);
  sum(setup_failures, c.setup_failures, G_SETUP_FAIL_COUNT);
  sum(http, c.http, G_HTTP_COUNT);
  stalled += c.stalled.load(std::memory_order_relaxed);
}

namespace {

const char* const KIND_LABEL[G_KIND_COUNT] = {"raw", "tls", "ws", "wss"};
const char* const SETUP_LABEL[G_SETUP_FAIL_COUNT] = {"tls_no_identity", "tls_handshake", "timeout",
                                                     "upgrade_refused", "bad_request"};

// Formats lines one after the other and keeps only the bytes that fall into
// the caller's window [from, from + cap).
class window_writer {
 public:
  window_writer(size_t from, char* out, size_t cap) : from_(from), out_(out), cap_(cap) {}

  void line(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n <= 0) return;
    const size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
    // The part of [pos_, pos_ + len) that lies in the window.
    const size_t lo = pos_ > from_ ? pos_ : from_;
    const size_t hi_text = pos_ + len;
    const size_t hi_win = from_ + cap_;
    const size_t hi = hi_text < hi_win ? hi_text : hi_win;
    if (lo < hi) memcpy(out_ + (lo - from_), buf + (lo - pos_), hi - lo);
    pos_ += len;
  }
  // A metric's HELP and TYPE lines.
  void head(const char* name, const char* type, const char* help) {
    line("# HELP %s %s\n", name, help);
    line("# TYPE %s %s\n", name, type);
  }
  void by_kind(const char* name, const char* type, const char* help, const uint64_t* v) {
    head(name, type, help);
    for (int k = 0; k < G_KIND_COUNT; ++k)
      line("%s{kind=\"%s\"} %llu\n", name, KIND_LABEL[k], static_cast<unsigned long long>(v[k]));
  }
  size_t length() const { return pos_; }

 private:
  size_t from_;
  char* out_;
  size_t cap_;
  size_t pos_ = 0;
};

}  // namespace

size_t g_metrics_render(const G_METRICS_SNAPSHOT& m, size_t from, char* out, size_t cap) {
  window_writer w(from, out, cap);
  w.by_kind("relayhub_connections", "gauge", "Members connected now, by kind.", m.connections);
  w.head("relayhub_websocket_connections", "gauge", "WebSocket members connected now, by handshake form.");
  w.line("relayhub_websocket_connections{form=\"rfc6455\"} %llu\n",
         static_cast<unsigned long long>(m.ws_forms[0]));
  w.line("relayhub_websocket_connections{form=\"key1key2\"} %llu\n",
         static_cast<unsigned long long>(m.ws_forms[1]));
  w.by_kind("relayhub_connections_accepted_total", "counter", "Connections that became members, by kind.",
            m.accepted);
  w.by_kind("relayhub_messages_received_total", "counter",
            "Messages read from members, by the sender's kind (a plain read is one message).",
            m.received_msgs);
  w.by_kind("relayhub_received_bytes_total", "counter",
            "Payload bytes read from members, by the sender's kind.", m.received_bytes);
  w.by_kind("relayhub_messages_delivered_total", "counter",
            "Messages handed to receivers, by the receiver's kind.", m.delivered_msgs);
  w.by_kind("relayhub_delivered_bytes_total", "counter",
            "Payload bytes handed to receivers, by the receiver's kind.", m.delivered_bytes);
  w.head("relayhub_closes_sent_total", "counter", "WebSocket close frames the hub sent, by status code.");
  for (int i = 0; i < G_CLOSE_COUNT; ++i)
    w.line("relayhub_closes_sent_total{code=\"%d\"} %llu\n", G_CLOSE_CODES[i],
           static_cast<unsigned long long>(m.closes[i]));
  w.head("relayhub_receivers_cut_total", "counter",
         "Receivers disconnected because their socket did not take a batch within the bound.");
  w.line("relayhub_receivers_cut_total %llu\n", static_cast<unsigned long long>(m.stalled));
  w.head("relayhub_setup_failures_total", "counter",
         "Connection set-ups that failed or were refused, by reason.");
  for (int i = 0; i < G_SETUP_FAIL_COUNT; ++i)
    w.line("relayhub_setup_failures_total{reason=\"%s\"} %llu\n", SETUP_LABEL[i],
           static_cast<unsigned long long>(m.setup_failures[i]));
  w.head("relayhub_http_responses_total", "counter",
         "HTTP answers sent, by status (101: WebSocket upgrades).");
  for (int i = 0; i < G_HTTP_COUNT; ++i)
    w.line("relayhub_http_responses_total{status=\"%d\"} %llu\n", G_HTTP_STATUSES[i],
           static_cast<unsigned long long>(m.http[i]));
  w.head("relayhub_tls_identity_expiry_timestamp_seconds", "gauge",
         "End of validity of the TLS certificate in use (0: no TLS identity).");
  w.line("relayhub_tls_identity_expiry_timestamp_seconds %lld\n", static_cast<long long>(m.tls_not_after));
  w.head("relayhub_process_start_time_seconds", "gauge", "Start time of the process since the epoch.");
  w.line("relayhub_process_start_time_seconds %lld\n", static_cast<long long>(m.start_time));
  w.head("relayhub_slots_in_use", "gauge", "Connection slots serving a connection now.");
  w.line("relayhub_slots_in_use %llu\n", static_cast<unsigned long long>(m.slots_in_use));
  w.head("relayhub_slots_configured", "gauge", "Connection slots configured (-c).");
  w.line("relayhub_slots_configured %llu\n", static_cast<unsigned long long>(m.slots_configured));
  w.head("relayhub_accepting", "gauge", "1 while the hub accepts connections, 0 once it stops.");
  w.line("relayhub_accepting %d\n", m.accepting ? 1 : 0);
  return w.length();
}
