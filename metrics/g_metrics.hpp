// The hub's counters and their exposition: per-slot counters that the data
// path bumps without a lock, a snapshot that sums them on scrape, and the
// Prometheus text format (version 0.0.4) rendered from that snapshot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The kinds of a connection, as the console names them.
enum G_KIND_E : int {
  G_KIND_RAW = 0,
  G_KIND_TLS = 1,
  G_KIND_WS = 2,
  G_KIND_WSS = 3,
  G_KIND_COUNT = 4,
  G_KIND_NONE = -1,  // not (yet) a member
};

// Why a connection's set-up ended without a member or an HTTP answer, or
// with a refusal.
enum G_SETUP_FAIL_E : int {
  G_SETUP_TLS_NO_IDENTITY = 0,  // a ClientHello while the hub has no TLS identity
  G_SETUP_TLS_HANDSHAKE = 1,    // the TLS handshake failed
  G_SETUP_TIMEOUT = 2,          // the set-up budget ran out (TLS handshake or request)
  G_SETUP_UPGRADE_REFUSED = 3,  // a WebSocket upgrade the hub cannot serve (400, 426)
  G_SETUP_BAD_REQUEST = 4,      // an HTTP request that is malformed or too large (400, 431)
  G_SETUP_FAIL_COUNT = 5,
};

// The close codes and HTTP statuses that are counted, by index.
constexpr int G_CLOSE_CODES[] = {1000, 1001, 1002, 1007, 1009};
constexpr int G_CLOSE_COUNT = 5;
constexpr int G_HTTP_STATUSES[] = {101, 200, 400, 404, 405, 426, 431, 503};
constexpr int G_HTTP_COUNT = 8;

// One slot's counters. Each group has one writer (the slot's receive thread,
// or its send thread for the last one) and any number of readers (a
// scrape): a single writer adds with a plain load and store, so the data
// path takes no lock and, with the slot's counters on cache lines of their
// own, shares no line with another slot.
struct alignas(64) G_SLOT_COUNTERS {
  // ---- the slot's receive thread ----
  std::atomic<uint64_t> accepted[G_KIND_COUNT] = {};
  // What this slot's client sent (by its kind) and what this slot handed on
  // to receivers (by the receiver's kind).
  std::atomic<uint64_t> received_msgs[G_KIND_COUNT] = {};
  std::atomic<uint64_t> received_bytes[G_KIND_COUNT] = {};
  std::atomic<uint64_t> delivered_msgs[G_KIND_COUNT] = {};
  std::atomic<uint64_t> delivered_bytes[G_KIND_COUNT] = {};
  std::atomic<uint64_t> closes[G_CLOSE_COUNT] = {};
  std::atomic<uint64_t> setup_failures[G_SETUP_FAIL_COUNT] = {};
  std::atomic<uint64_t> http[G_HTTP_COUNT] = {};
  // ---- the slot's send thread ----
  alignas(64) std::atomic<uint64_t> stalled = {};

  // Adds n to a counter this thread is the only writer of.
  static void add(std::atomic<uint64_t>& c, uint64_t n) {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  }
  // Index of a close code or HTTP status in its table, -1 when not counted.
  static int close_index(int code);
  static int http_index(int status);
};

// Everything a scrape shows, summed over the slots at one moment.
struct G_METRICS_SNAPSHOT {
  uint64_t connections[G_KIND_COUNT];  // members now, by kind
  uint64_t ws_forms[2];                // WebSocket members now: RFC 6455, Key1/Key2
  uint64_t accepted[G_KIND_COUNT];
  uint64_t received_msgs[G_KIND_COUNT];
  uint64_t received_bytes[G_KIND_COUNT];
  uint64_t delivered_msgs[G_KIND_COUNT];
  uint64_t delivered_bytes[G_KIND_COUNT];
  uint64_t closes[G_CLOSE_COUNT];
  uint64_t setup_failures[G_SETUP_FAIL_COUNT];
  uint64_t http[G_HTTP_COUNT];
  uint64_t stalled;
  uint64_t slots_in_use;
  uint64_t slots_configured;
  int64_t tls_not_after;  // seconds since the epoch; 0 = no identity
  int64_t start_time;     // seconds since the epoch
  bool accepting;

  // Adds one slot's counters.
  void add(const G_SLOT_COUNTERS& c);
};

// Renders the snapshot in the Prometheus text exposition format and copies
// the bytes from offset `from` on into out, at most cap of them, so that a
// small buffer can carry the text piece by piece (the same snapshot always
// gives the same text). Returns the length of the whole text.
size_t g_metrics_render(const G_METRICS_SNAPSHOT& m, size_t from, char* out, size_t cap);

// The Content-Type of that format.
constexpr char G_METRICS_CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";
