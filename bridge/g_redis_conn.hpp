#pragma once
// A connection to Redis: commands out of one buffer allocated at init,
// replies in through hiredis' reply reader, over a G_CONN (plain or TLS).
// Every reply is held to a budget of bytes and elements: a broken or
// hostile server ends the connection instead of growing the bridge (an
// array header of fifty million elements is refused before any of them is
// built, a bulk string larger than the budget before it is buffered).
//
// Threading: an instance belongs to the thread of its link.

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "bridge/bridge_common.hpp"
#include "bridge/g_conn.hpp"

struct redisReader;
struct redisReply;

// What one reply may hold, counted while it is built.
struct REDIS_BUDGET {
  static constexpr size_t OBJECT_COST = 64;  // a reply object and its allocation
  size_t bytes_max = 0;
  size_t elements_max = 0;
  size_t bytes = 0;
  size_t elements = 0;
  bool b_exceeded = false;
};

// A reader whose reply objects count against budget (which must outlive
// it); free it with redisReaderFree. nullptr when out of memory.
redisReader* redis_budget_reader(REDIS_BUDGET* budget);

// Where and how to reach Redis; read-only after the options are parsed.
struct REDIS_ENDPOINT {
  const char* host = nullptr;
  uint16_t port = 0;
  SSL_CTX* tls = nullptr;          // nullptr: plain TCP
  bool b_verify = false;           // the certificate must name host
  const char* user = nullptr;      // nullptr or empty: AUTH with the password only
  const char* password = nullptr;  // nullptr: no AUTH
  size_t password_len = 0;
};

class G_REDIS_CONN {
 public:
  static constexpr size_t ELEMENTS_MAX = 16384;
  static constexpr size_t READ_CHUNK = 64 * 1024;

  G_REDIS_CONN() = default;
  ~G_REDIS_CONN();
  G_REDIS_CONN(const G_REDIS_CONN&) = delete;
  G_REDIS_CONN& operator=(const G_REDIS_CONN&) = delete;

  // out_cap: bytes of commands written at once; reply_bytes: the largest
  // reply taken. 0, or ENOMEM.
  int init(size_t out_cap, size_t reply_bytes);
  void close();

  // Connects, and authenticates when a password is given. BRIDGE_OK,
  // BRIDGE_FAIL (why says), BRIDGE_STOP.
  int open(const REDIS_ENDPOINT& ep, unsigned timeout_ms, G_WAKE& wake, const std::atomic<bool>& stop);
  void drop();
  bool is_open() const { return conn.is_open(); }

  // Queues one command. 0, or -1 when it does not fit in what is left of
  // the out buffer (nothing queued).
  int append(int argc, const char* const* argv, const size_t* lens);
  // Queues argv (argc arguments) followed by one more argument made of
  // n parts, each preceded by its length (4 bytes, big-endian). 0, or -1
  // when it does not fit (nothing queued).
  int append_packed(int argc, const char* const* argv, const size_t* lens, size_t n, const char* const* parts,
                    const size_t* part_lens);
  size_t pending() const { return out_len - out_pos; }
  // Bytes a command may take now (written bytes at the front included).
  size_t free_room() const { return out_cap - (out_len - out_pos); }

  // Writes everything queued, reading replies meanwhile so that a server
  // blocked on its own output never deadlocks us. BRIDGE_OK, BRIDGE_FAIL,
  // BRIDGE_STOP.
  int flush(uint64_t deadline_ms, G_WAKE& wake, const std::atomic<bool>& stop);
  // Writes what the socket takes now: 1 when bytes went, 0 when it takes
  // none now (wait for POLLOUT), BRIDGE_FAIL.
  int write_some();
  // The next whole reply, waiting for it until deadline_ms. BRIDGE_OK with
  // *reply set (free it with freeReplyObject), BRIDGE_FAIL, BRIDGE_STOP.
  int reply(redisReply** reply, uint64_t deadline_ms, G_WAKE& wake, const std::atomic<bool>& stop);
  // One command and its reply: append, flush, reply.
  int command(int argc, const char* const* argv, const size_t* lens, redisReply** reply, uint64_t deadline_ms,
              G_WAKE& wake, const std::atomic<bool>& stop);
  // Reads once from the socket into the reader; take the replies before
  // the next fill. FILL_MORE (more may be there at once), BRIDGE_OK (maybe
  // nothing read), BRIDGE_FAIL (the end, an error, or the budget exceeded).
  enum : int { FILL_MORE = 1 };
  int fill();
  // A whole reply already read: 1 with *reply set, 0 when none yet,
  // BRIDGE_FAIL on a protocol error or a reply over budget.
  int take(redisReply** reply);

  G_CONN conn;
  char why[G_CONN::WHY_SIZE] = {};

 private:
  // Room for need bytes at the end of the out buffer, written bytes moved
  // out of its front if need be: where they go, or nullptr when they do
  // not fit.
  char* room_for(size_t need);

  char* p_out = nullptr;
  size_t out_cap = 0;
  size_t out_pos = 0;
  size_t out_len = 0;
  char* p_chunk = nullptr;
  redisReader* p_reader = nullptr;
  REDIS_BUDGET budget;
};

// True when r is a string or status reply equal to s.
bool redis_is(const redisReply* r, const char* s);
// why = "<what> refused: <the error text>" or "<what>: unexpected reply".
void redis_why_reply(char* why, size_t n, const char* what, const redisReply* r);
