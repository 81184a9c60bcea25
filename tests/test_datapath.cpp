// Fan-out data path: connection slots wired to socket pairs whose hub ends
// take only a few KiB at a time, so that writes stop short and the send
// threads have to finish them. Each receiver's send thread runs work_w; a
// sending slot either runs its own receive loop work_r over a socket pair
// the test writes WebSocket frames into, or, where one batch has to be
// exact, the test hands the batch to each receiver in index order as the
// fan-out does. What the test reads at the clients' ends is compared with
// frames built here from RFC 6455 (and the old 0x00 ... 0xFF framing).
#include "relay/g_so_task.hpp"
#include "tests/test_capture.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

// Receive buffer of every slot, and one half of its send buffer (as -L 65536).
constexpr uint64_t PAGE = 65536;
// Bound of every wait for data, for a send lock or for a thread.
constexpr int WAIT_MS = 10000;
// How long a send lock that must stay taken is probed.
constexpr unsigned PROBE_MS = 100;

enum kind_e { PLAIN, TLS, WS, WSS, WS_OLD };

const char* kind_name(kind_e k) {
  static const char* const names[] = {"plain", "TLS", "WS", "WSS", "WS old framing"};
  return names[k];
}

bool is_tls(kind_e k) {
  return k == TLS || k == WSS;
}

void set_timeout(int fd, int opt, int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv);
}

// n bytes of a pattern that differs per seed and never contains 0xFF.
std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>(((i * 7 + seed * 131 + (i >> 9)) % 251));
  return s;
}

// ---------------------------------------------------------------------------
// frames as the protocols define them

// A server frame (unmasked, FIN set) of RFC 6455.
std::string ws_frame(uint32_t opcode, const std::string& p) {
  std::string f(1, static_cast<char>(0x80 | opcode));
  const uint64_t n = p.size();
  if (n <= 125) {
    f += static_cast<char>(n);
  } else if (n <= 65535) {
    f += static_cast<char>(126);
    f += static_cast<char>(n >> 8);
    f += static_cast<char>(n & 0xFF);
  } else {
    f += static_cast<char>(127);
    for (int i = 7; i >= 0; --i)
      f += static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  return f + p;
}

// A client frame: masked with a key that changes with the payload.
std::string client_frame(uint32_t opcode, const std::string& p) {
  std::string f = ws_frame(opcode, p);
  const size_t header = f.size() - p.size();
  f[1] = static_cast<char>(f[1] | 0x80);
  const unsigned char key[4] = {0x5A, static_cast<unsigned char>(p.size()), 0xC3,
                                static_cast<unsigned char>(p.size() >> 8)};
  std::string out = f.substr(0, header);
  out.append(reinterpret_cast<const char*>(key), 4);
  for (size_t i = 0; i < p.size(); ++i)
    out += static_cast<char>(p[i] ^ key[i % 4]);
  return out;
}

// The old framing: 0x00, the payload, 0xFF.
std::string old_frame(const std::string& p) {
  return std::string(1, '\0') + p + '\xFF';
}

// Length of the longest tail of msg (at least 1 KiB, so that a chance match
// of a few bytes does not count) that half starts with; 0 when none.
size_t rest_at_start(const std::string& half, const std::string& msg) {
  constexpr size_t MIN_REST = 1024;
  for (size_t from = 0; from + MIN_REST <= msg.size(); ++from) {
    const size_t n = msg.size() - from;
    if (n <= half.size() && half.compare(0, n, msg, from, n) == 0) return n;
  }
  return 0;
}

// Splits a stream of server frames into (opcode, payload) pairs; false
// when it is not a sequence of whole, unmasked, final RFC 6455 frames.
bool split_frames(const std::string& s, std::vector<std::pair<uint32_t, std::string>>& out) {
  size_t at = 0;
  while (at < s.size()) {
    if (s.size() - at < 2) return false;
    const uint8_t b0 = static_cast<uint8_t>(s[at]), b1 = static_cast<uint8_t>(s[at + 1]);
    if ((b0 & 0xF0) != 0x80 || (b1 & 0x80) != 0) return false;
    uint64_t n = b1 & 0x7F;
    size_t header = 2;
    if (n == 126 || n == 127) {
      header = n == 126 ? 4 : 10;
      if (s.size() - at < header) return false;
      n = 0;
      for (size_t k = 2; k < header; ++k)
        n = (n << 8) | static_cast<uint8_t>(s[at + k]);
    }
    if (s.size() - at - header < n) return false;
    out.emplace_back(b0 & 0x0F, s.substr(at + header, n));
    at += header + n;
  }
  return true;
}

::testing::AssertionResult same_bytes(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i])
    ++i;
  return ::testing::AssertionFailure()
         << "got " << got.size() << " bytes, want " << want.size() << "; first difference at offset " << i;
}

// ---------------------------------------------------------------------------
// a TLS server identity for the WSS and TLS receivers, made at test time

class tls_identity : public ::testing::Environment {
 public:
  void SetUp() override {
    // A write to a client that is gone must fail, not end the test.
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/relay_datapath_idXXXXXX";
    dir = mkdtemp(tmpl);
    pem = dir + "/identity.pem";
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
    X509_gmtime_adj(X509_getm_notBefore(x), -86400);
    X509_gmtime_adj(X509_getm_notAfter(x), 30 * 86400);
    X509_set_pubkey(x, key);
    X509_NAME* name = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"),
                               -1, -1, 0);
    X509_set_issuer_name(x, name);
    X509_sign(x, key, EVP_sha256());
    FILE* f = fopen(pem.c_str(), "w");
    if (f != nullptr) {
      PEM_write_X509(f, x);
      PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
      fclose(f);
    }
    X509_free(x);
    EVP_PKEY_free(key);
    capture quiet(stdout);  // the context set-up reports on the console
    g_tls_t::init_ctx(G_TLS_MODE_SERVER);
    g_tls_t::load_cer(pem.c_str(), pem.c_str(), G_TLS_MODE_SERVER);
  }
  void TearDown() override {
    g_tls_t::free_ctx();
    unlink(pem.c_str());
    rmdir(dir.c_str());
  }

 private:
  std::string dir, pem;
};

const auto* const g_identity = ::testing::AddGlobalTestEnvironment(new tls_identity);

// ---------------------------------------------------------------------------
// the client end of a slot's connection, as the test sees it

struct client_end {
  int fd = -1;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;

  // Exactly n bytes (decrypted when there is a session); false on end,
  // failure or time-out.
  bool read_exact(std::string& out, size_t n) {
    out.assign(n, '\0');
    size_t got = 0;
    while (got < n) {
      const size_t want = std::min<size_t>(n - got, 16384);
      const long r =
          ssl != nullptr ? SSL_read(ssl, &out[got], static_cast<int>(want)) : ::recv(fd, &out[got], want, 0);
      if (r <= 0) {
        out.resize(got);
        return false;
      }
      got += static_cast<size_t>(r);
    }
    return true;
  }
  // Bytes beyond what was expected are readable now.
  bool has_more() {
    if (ssl != nullptr && SSL_pending(ssl) > 0) return true;
    char c;
    return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
  }
  bool write_all(const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t w = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (w <= 0) return false;
      done += static_cast<size_t>(w);
    }
    return true;
  }
  void close_end() {
    if (ssl != nullptr) SSL_free(ssl);
    if (ctx != nullptr) SSL_CTX_free(ctx);
    ssl = nullptr;
    ctx = nullptr;
    if (fd != -1) ::close(fd);
    fd = -1;
  }
};

// Reads n bytes from a client end on a thread of its own.
struct reader {
  std::thread th;
  std::string got;
  bool ok = false;
  void start(client_end& c, size_t n) {
    th = std::thread([this, &c, n] { ok = c.read_exact(got, n); });
  }
  void join() {
    if (th.joinable()) th.join();
  }
  ~reader() { join(); }
};

// ---------------------------------------------------------------------------
// slots as the hub sets them up: the statics, the buffers carved from one
// block, a send thread per receiver, a receive loop per sender

class slot_rig {
 public:
  explicit slot_rig(size_t n) : count(n), slots(new G_SO_TASK[n]), mem(n * 3 * PAGE), ends(n) {
    G_SO_TASK::tasks = slots.get();
    G_SO_TASK::w_connections = static_cast<uint16_t>(n);
    G_SO_TASK::page_size_r = PAGE;
    G_SO_TASK::page_size_w = 2 * PAGE;
    G_SO_TASK::b_listen = true;
    for (size_t i = 0; i < n; ++i) {
      G_SO_TASK& t = slots[i];
      t.page_r = mem.data() + i * 3 * PAGE;
      t.assign_send_buffer(t.page_r + PAGE, 2 * PAGE);
      t.ws.tls.p_recv = t.page_r;
      t.ws.tls.p_recv_size = PAGE;
    }
  }

  ~slot_rig() {
    // Wake whatever still waits: sockets first (blocked reads and writes
    // fail), then the events (waits for a lock or for work return).
    cut();
    for (size_t i = 0; i < count; ++i) {
      slots[i].e_send.close();
      slots[i].e_send_done.close();
    }
    for (std::thread& th : threads)
      th.join();
    for (client_end& c : ends)
      c.close_end();
    G_SO_TASK::tasks = nullptr;
    G_SO_TASK::w_connections = 0;
  }

  G_SO_TASK& operator[](size_t i) { return slots[i]; }
  client_end& client(size_t i) { return ends[i]; }

  // Slot i becomes a ready receiver of the given kind whose socket takes
  // only a few KiB at once; its send thread runs.
  bool receiver(size_t i, kind_e kind) {
    G_SO_TASK& t = slots[i];
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return false;
    const int tiny = 1;  // the kernel's minimum
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &tiny, sizeof tiny);
    set_timeout(sv[1], SO_RCVTIMEO, WAIT_MS);
    set_timeout(sv[1], SO_SNDTIMEO, WAIT_MS);
    client_end& c = ends[i];
    c.fd = sv[1];
    if (is_tls(kind)) {
      c.ctx = SSL_CTX_new(TLS_client_method());
      c.ssl = SSL_new(c.ctx);
      SSL_set_fd(c.ssl, c.fd);
      int rc = 0;
      std::thread hello([&c, &rc] { rc = SSL_connect(c.ssl); });
      const int detect = t.ws.tls.new_server_detect(sv[0]);
      if (detect != 0) t.ws.tls.end_session();
      hello.join();
      if (detect != 0 || rc != 1) return false;
    } else if (t.ws.tls.new_client_raw(sv[0]) != G_TLS_OK) {
      return false;
    }
    if (kind == WS || kind == WSS || kind == WS_OLD) {
      t.ws.version = kind == WS_OLD ? 8 : 13;
      t.ws.b_websocket = true;
    }
    t.b_relay = true;
    threads.emplace_back([&t] { t.work_w(); });
    return true;
  }

  // Slot i becomes a sender (WebSocket, or a plain byte stream): its
  // receive loop reads what the test writes into client(i) and fans it out
  // to the other ready slots.
  bool sender(size_t i, bool web = true) {
    G_SO_TASK& t = slots[i];
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return false;
    set_timeout(sv[1], SO_SNDTIMEO, WAIT_MS);
    ends[i].fd = sv[1];
    if (t.ws.tls.new_client_raw(sv[0]) != G_TLS_OK) return false;
    if (web) {
      t.ws.version = 13;
      t.ws.b_websocket = true;
    }
    threads.emplace_back([&t] { t.work_r(); });
    return true;
  }

  // Waits (bounded) until slot i's send path is free: its last write has
  // finished. Leaves it free.
  bool idle(size_t i) {
    if (!lock(i)) return false;
    slots[i].unlock_send();
    return true;
  }
  // Takes slot i's send lock (bounded), to look at its buffers.
  bool lock(size_t i) { return slots[i].lock_send(WAIT_MS) == 0; }
  // The send lock of slot i stays taken, by its send thread, for a while.
  bool busy(size_t i) {
    if (slots[i].lock_send(PROBE_MS) != 0) return true;
    slots[i].unlock_send();
    return false;
  }
  // Cuts every connection: writes blocked on a client that does not read
  // fail, and the send locks they hold are given back.
  void cut() {
    for (size_t i = 0; i < count; ++i)
      slots[i].ws.tls.end_session();
  }
  // Both halves of slot i's send buffer.
  std::string half(size_t i, int which) { return std::string(slots[i].page_w + which * PAGE, PAGE); }

 private:
  size_t count;
  std::unique_ptr<G_SO_TASK[]> slots;
  std::vector<char> mem;
  std::vector<client_end> ends;
  std::vector<std::thread> threads;
};

// Runs deliveries the way a sending slot's receive thread does, on a thread
// of its own: a sender waits as long as a receiver does not drain, so a
// broken path would hang the test. After WAIT_MS the connections are cut,
// which ends every blocked write. False when that was needed.
template <class F>
bool bounded(slot_rig& rig, F deliver) {
  std::packaged_task<void()> task(deliver);
  std::future<void> done = task.get_future();
  std::thread th(std::move(task));
  const bool in_time = done.wait_for(std::chrono::milliseconds(WAIT_MS)) == std::future_status::ready;
  if (!in_time) rig.cut();
  th.join();
  return in_time;
}

// ===========================================================================

TEST(DataPath, DirectWriteThatStopsShortIsFinishedByTheSendThread) {
  for (kind_e kind : {PLAIN, TLS}) {
    SCOPED_TRACE(kind_name(kind));
    slot_rig rig(1);
    ASSERT_TRUE(rig.receiver(0, kind));
    // Far more than the socket takes at once.
    std::string msg = pattern(60000, 1);
    int handed = 0;
    ASSERT_TRUE(bounded(rig, [&] { handed = rig[0].send_packet(msg.data(), msg.size()); }));
    ASSERT_EQ(handed, 1);
    // The rest is the send thread's: it holds the send lock until written.
    EXPECT_TRUE(rig.busy(0));
    std::string got;
    EXPECT_TRUE(rig.client(0).read_exact(got, msg.size()));
    EXPECT_TRUE(same_bytes(got, msg));
    ASSERT_TRUE(rig.idle(0));
    EXPECT_FALSE(rig.client(0).has_more());
    // The connection goes on with the next message.
    std::string next = pattern(100, 2);
    ASSERT_TRUE(bounded(rig, [&] { handed = rig[0].send_packet(next.data(), next.size()); }));
    ASSERT_EQ(handed, 1);
    EXPECT_TRUE(rig.client(0).read_exact(got, next.size()));
    EXPECT_TRUE(same_bytes(got, next));
  }
}

TEST(DataPath, BackToBackReadsAlternateHalvesAndOverwriteNothing) {
  // Slot 0 sends, slot 1 is a plain receiver whose client reads only when
  // told to, slot 2 a WebSocket receiver.
  slot_rig rig(3);
  ASSERT_TRUE(rig.receiver(1, PLAIN));
  ASSERT_TRUE(rig.receiver(2, WS));
  ASSERT_TRUE(rig.sender(0));

  const std::string a = pattern(30000, 3), b = pattern(30000, 4);
  std::string got;
  ASSERT_TRUE(rig.client(0).write_all(client_frame(2, a)));
  // Slot 2 comes after slot 1 in the fan-out: once it has a, a is framed
  // for slot 1 and still in flight there (its client does not read yet).
  ASSERT_TRUE(rig.client(2).read_exact(got, ws_frame(2, a).size()));
  EXPECT_TRUE(same_bytes(got, ws_frame(2, a)));
  EXPECT_TRUE(rig.busy(1));
  // The sender's next read reuses its receive buffer while a is in flight.
  ASSERT_TRUE(rig.client(0).write_all(client_frame(2, b)));
  ASSERT_TRUE(rig.client(1).read_exact(got, a.size() + b.size()));
  EXPECT_TRUE(same_bytes(got, a + b));
  ASSERT_TRUE(rig.client(2).read_exact(got, ws_frame(2, b).size()));
  EXPECT_TRUE(same_bytes(got, ws_frame(2, b)));
  // What the socket did not take of each read went into a half of its own:
  // a's rest, which was in flight while b was handed over, is still whole
  // at the start of one half, and b's rest at the start of the other.
  ASSERT_TRUE(rig.lock(1));
  const std::string h0 = rig.half(1, 0), h1 = rig.half(1, 1);
  rig[1].unlock_send();
  const size_t a_in0 = rest_at_start(h0, a), a_in1 = rest_at_start(h1, a);
  const size_t b_in0 = rest_at_start(h0, b), b_in1 = rest_at_start(h1, b);
  EXPECT_TRUE((a_in0 != 0 && b_in1 != 0) || (a_in1 != 0 && b_in0 != 0))
      << "rests of a: " << a_in0 << ", " << a_in1 << "; of b: " << b_in0 << ", " << b_in1;

  // Many reads back to back, of every size up to a few socket buffers,
  // while both clients read: everything arrives once, in order.
  std::string stream, want_plain, want_ws;
  for (unsigned i = 0; i < 300; ++i) {
    const std::string p = pattern(1 + (i * 997) % 9000, 100 + i);
    stream += client_frame(2, p);
    want_plain += p;
    want_ws += ws_frame(2, p);
  }
  reader r1, r2;
  r1.start(rig.client(1), want_plain.size());
  r2.start(rig.client(2), want_ws.size());
  EXPECT_TRUE(rig.client(0).write_all(stream));
  r1.join();
  r2.join();
  EXPECT_TRUE(r1.ok && r2.ok);
  EXPECT_TRUE(same_bytes(r1.got, want_plain));
  EXPECT_TRUE(same_bytes(r2.got, want_ws));
  ASSERT_TRUE(rig.idle(1) && rig.idle(2));
  EXPECT_FALSE(rig.client(1).has_more());
  EXPECT_FALSE(rig.client(2).has_more());
}

TEST(DataPath, BatchThatFillsAHalfContinuesInTheOtherHalf) {
  // 40 messages of 4 KiB: 16 fill a plain receiver's half exactly, 15 a
  // WebSocket receiver's (each frame has a header). One message longer
  // than a half in the middle fits nowhere and is left out, alone.
  slot_rig rig(3);
  const kind_e kinds[] = {PLAIN, WS, WSS};
  for (size_t i = 0; i < 3; ++i)
    ASSERT_TRUE(rig.receiver(i, kinds[i]));

  std::vector<std::string> payloads;
  for (unsigned i = 0; i < 40; ++i)
    payloads.push_back(pattern(4096, 200 + i));
  const std::string too_long = pattern(PAGE + 100, 7);
  std::vector<relay_msg_t> batch;
  std::string want_plain, want_ws;
  for (size_t i = 0; i < payloads.size(); ++i) {
    if (i == 20) batch.push_back({const_cast<char*>(too_long.data()), too_long.size(), WS_OPCODE_BINARY});
    batch.push_back({payloads[i].data(), payloads[i].size(), WS_OPCODE_BINARY});
    want_plain += payloads[i];
    want_ws += ws_frame(2, payloads[i]);
  }

  reader r[3];
  for (size_t i = 0; i < 3; ++i)
    r[i].start(rig.client(i), kinds[i] == PLAIN ? want_plain.size() : want_ws.size());
  size_t handed[3] = {};
  EXPECT_TRUE(bounded(rig, [&] {
    for (size_t i = 0; i < 3; ++i)
      handed[i] = rig[i].send_batch(batch.data(), batch.size());
  }));
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(kind_name(kinds[i]));
    EXPECT_EQ(handed[i], payloads.size());
    r[i].join();
    EXPECT_TRUE(r[i].ok);
    EXPECT_TRUE(same_bytes(r[i].got, kinds[i] == PLAIN ? want_plain : want_ws));
    ASSERT_TRUE(rig.idle(i));
    EXPECT_FALSE(rig.client(i).has_more());
  }
}

TEST(DataPath, ReceiverWhoseSendFailedIsSkippedWithoutTouchingItsBuffers) {
  // Slot 0 sends; slot 1's client is gone, so its first write fails;
  // slot 2 comes after it in the fan-out and must not notice.
  slot_rig rig(3);
  ASSERT_TRUE(rig.receiver(1, PLAIN));
  ASSERT_TRUE(rig.receiver(2, WS));
  ASSERT_TRUE(rig.sender(0));
  rig.client(1).close_end();

  std::string got;
  const std::string first = pattern(3000, 11);
  ASSERT_TRUE(rig.client(0).write_all(client_frame(2, first)));
  ASSERT_TRUE(rig.client(2).read_exact(got, ws_frame(2, first).size()));
  EXPECT_TRUE(same_bytes(got, ws_frame(2, first)));
  // The failed write has closed slot 1's connection.
  ASSERT_TRUE(rig.idle(1));
  EXPECT_EQ(rig[1].ws.tls.so.load(), -1);

  ASSERT_TRUE(rig.lock(1));
  memset(rig[1].page_w, 0x5A, 2 * PAGE);
  const std::string poison(2 * PAGE, '\x5A');
  rig[1].unlock_send();

  std::string later, want;
  for (unsigned i = 0; i < 4; ++i) {
    const std::string p = pattern(2000 + i, 12 + i);
    later += client_frame(2, p);
    want += ws_frame(2, p);
  }
  std::string console;
  {
    capture out(stdout);
    ASSERT_TRUE(rig.client(0).write_all(later));
    EXPECT_TRUE(rig.client(2).read_exact(got, want.size()));
    std::string direct = pattern(10, 20);
    int handed = -1;
    EXPECT_TRUE(bounded(rig, [&] { handed = rig[1].send_packet(direct.data(), direct.size()); }));
    EXPECT_EQ(handed, 0);
    console = out.finish();
  }
  EXPECT_TRUE(same_bytes(got, want));
  // Each delivery attempt reports the failed send with its error.
  EXPECT_NE(console.find("!! send_packet() !! work_w() !! send(so, p_send, size_send, "
                         "SO_SEND_FLAGS)\n   ^ERROR: 32, Broken pipe\n"),
            std::string::npos)
      << console;
  ASSERT_TRUE(rig.lock(1));
  const std::string after(rig[1].page_w, 2 * PAGE);
  rig[1].unlock_send();
  EXPECT_TRUE(after == poison) << "a skipped receiver's send buffer was written";
}

TEST(DataPath, EachReceiverOfOneBatchGetsItsOwnFraming) {
  struct item {
    std::string payload;
    uint32_t opcode;  // as the sender gave it
    uint32_t framed;  // the frame type a WebSocket receiver gets
  };
  const std::vector<item> items = {
      {"hello", WS_OPCODE_TEXT, WS_OPCODE_TEXT},
      {std::string("\x01\xFF\x00\x80 bin", 8), WS_OPCODE_BINARY, WS_OPCODE_BINARY},
      {"gr\xC3\xBC\xC3\x9F"
       "e",
       WS_OPCODE_AUTO, WS_OPCODE_TEXT},                          // well-formed UTF-8
      {"\xC3\x28 not utf-8", WS_OPCODE_AUTO, WS_OPCODE_BINARY},  // broken sequence
      {"", WS_OPCODE_TEXT, WS_OPCODE_TEXT},
      {std::string(125, 'x'), WS_OPCODE_AUTO, WS_OPCODE_TEXT},  // longest 7-bit length
      {pattern(126, 30), WS_OPCODE_BINARY, WS_OPCODE_BINARY},   // shortest 16-bit length
      {std::string(300, 'y'), WS_OPCODE_TEXT, WS_OPCODE_TEXT},
  };
  const kind_e kinds[] = {PLAIN, TLS, WS, WSS, WS_OLD};
  constexpr size_t N = sizeof kinds / sizeof kinds[0];
  slot_rig rig(N);
  for (size_t i = 0; i < N; ++i)
    ASSERT_TRUE(rig.receiver(i, kinds[i]));

  std::string want[N];
  size_t carried[N] = {};
  for (const item& m : items) {
    for (size_t i = 0; i < N; ++i) {
      const bool bytes = kinds[i] == PLAIN || kinds[i] == TLS;
      if (bytes && !m.payload.empty()) {
        want[i] += m.payload;
      } else if (kinds[i] == WS || kinds[i] == WSS) {
        want[i] += ws_frame(m.framed, m.payload);
      } else if (kinds[i] == WS_OLD && m.payload.find('\xFF') == std::string::npos) {
        want[i] += old_frame(m.payload);
      } else {
        continue;
      }
      ++carried[i];
    }
  }
  std::vector<relay_msg_t> batch;
  for (const item& m : items)
    batch.push_back({const_cast<char*>(m.payload.data()), m.payload.size(), m.opcode});

  reader r[N];
  for (size_t i = 0; i < N; ++i)
    r[i].start(rig.client(i), want[i].size());
  // As the fan-out does: the same batch to every receiver, in index order.
  size_t handed[N] = {};
  EXPECT_TRUE(bounded(rig, [&] {
    for (size_t i = 0; i < N; ++i)
      handed[i] = rig[i].send_batch(batch.data(), batch.size());
  }));
  for (size_t i = 0; i < N; ++i) {
    SCOPED_TRACE(kind_name(kinds[i]));
    EXPECT_EQ(handed[i], carried[i]);
    r[i].join();
    EXPECT_TRUE(r[i].ok);
    EXPECT_TRUE(same_bytes(r[i].got, want[i]));
    ASSERT_TRUE(rig.idle(i));
    EXPECT_FALSE(rig.client(i).has_more());
  }
}

TEST(DataPath, ReadsFramedInPlaceReachEveryKindOfReceiver) {
  // Slot 0 sends WebSocket messages; the others are one receiver of each
  // kind. Their RFC 6455 frames are built once, in slot 0's receive buffer,
  // and written from there; what a socket does not take at once is copied
  // into that receiver's half. A message joined from fragments that spanned
  // two reads sits at the very start of that buffer with no room for a
  // header in front: its batch is framed per receiver instead.
  const kind_e kinds[] = {PLAIN, TLS, WS, WSS, WS_OLD};
  constexpr size_t N = sizeof kinds / sizeof kinds[0];
  slot_rig rig(N + 1);
  for (size_t i = 0; i < N; ++i)
    ASSERT_TRUE(rig.receiver(i + 1, kinds[i]));
  ASSERT_TRUE(rig.sender(0));

  std::string want[N];
  auto expect = [&](uint32_t opcode, const std::string& p) {
    for (size_t i = 0; i < N; ++i) {
      if (kinds[i] == WS || kinds[i] == WSS)
        want[i] += ws_frame(opcode, p);
      else if (kinds[i] == WS_OLD)
        want[i] += old_frame(p);
      else
        want[i] += p;
    }
  };
  // Writes bytes into the sender while every receiver's client reads what
  // it should get.
  auto deliver = [&](const std::string& bytes) {
    reader r[N];
    for (size_t i = 0; i < N; ++i)
      r[i].start(rig.client(i + 1), want[i].size());
    EXPECT_TRUE(rig.client(0).write_all(bytes));
    for (size_t i = 0; i < N; ++i) {
      SCOPED_TRACE(kind_name(kinds[i]));
      r[i].join();
      EXPECT_TRUE(r[i].ok);
      EXPECT_TRUE(same_bytes(r[i].got, want[i]));
      want[i].clear();
    }
  };
  auto text = [](size_t n, unsigned seed) {
    std::string t(n, ' ');
    for (size_t k = 0; k < n; ++k)
      t[k] = static_cast<char>(0x20 + (k * 31 + seed) % 95);
    return t;
  };

  // Many messages back to back: sizes across the 7- and 16-bit lengths,
  // empty ones, text and binary, and one in three fragments.
  std::string stream;
  for (unsigned i = 0; i < 400; ++i) {
    const size_t n = i % 37 == 0 ? 0 : (i * 7919) % (i % 3 == 0 ? 120 : 12000);
    const bool is_text = i % 2 == 1;
    const std::string p = is_text ? text(n, i) : pattern(n, 500 + i);
    const uint32_t op = is_text ? WS_OPCODE_TEXT : WS_OPCODE_BINARY;
    stream += client_frame(op, p);
    expect(op, p);
  }
  const std::string f1 = pattern(700, 40), f2 = pattern(3000, 41), f3 = pattern(5, 42);
  std::string first = client_frame(2, f1), middle = client_frame(0, f2);
  first[0] = 0x02;   // binary, not final
  middle[0] = 0x00;  // continuation, not final
  stream += first + middle + client_frame(0, f3);
  expect(WS_OPCODE_BINARY, f1 + f2 + f3);
  deliver(stream);

  // A fragmented message across two reads: the message before it comes in
  // the same write as its first part, so once that message has arrived the
  // first part has been read; its rest follows with one more message.
  const std::string before = pattern(200, 60), g1 = pattern(1500, 61), g2 = pattern(900, 62);
  const std::string after = text(300, 63);
  std::string opening = client_frame(2, g1);
  opening[0] = 0x02;
  expect(WS_OPCODE_BINARY, before);
  deliver(client_frame(2, before) + opening);
  expect(WS_OPCODE_BINARY, g1 + g2);
  expect(WS_OPCODE_TEXT, after);
  deliver(client_frame(0, g2) + client_frame(1, after));
  for (size_t i = 0; i < N; ++i) {
    ASSERT_TRUE(rig.idle(i + 1));
    EXPECT_FALSE(rig.client(i + 1).has_more());
  }
}

TEST(DataPath, PlainReadIsFramedInPlaceAsTextOrBinary) {
  // Slot 0 is a plain sender. Each of its reads reaches plain receivers as
  // it is and WebSocket receivers as one frame whose header was written in
  // front of the bytes in slot 0's receive buffer: text when the bytes are
  // well-formed UTF-8, binary otherwise. Each chunk is written once every
  // receiver has the one before, so a read never spans two chunks.
  const kind_e kinds[] = {PLAIN, TLS, WS, WSS};
  constexpr size_t N = sizeof kinds / sizeof kinds[0];
  slot_rig rig(N + 1);
  for (size_t i = 0; i < N; ++i)
    ASSERT_TRUE(rig.receiver(i + 1, kinds[i]));
  ASSERT_TRUE(rig.sender(0, false));

  const size_t sizes[] = {1, 125, 126, 4000, 65535, PAGE - 10};
  for (size_t c = 0; c < 2 * (sizeof sizes / sizeof sizes[0]); ++c) {
    const bool text = c % 2 == 0;
    std::string chunk(sizes[c / 2], '\0');
    // ASCII, or continuation bytes only: any piece of it keeps its type.
    for (size_t k = 0; k < chunk.size(); ++k)
      chunk[k] = static_cast<char>(text ? 0x20 + (k * 13 + c) % 95 : 0x80 + (k * 7 + c) % 64);
    SCOPED_TRACE(std::to_string(chunk.size()) + (text ? " bytes of text" : " bytes of binary"));
    reader r[N];
    std::string plain = chunk;
    for (size_t i = 0; i < N; ++i) {
      if (kinds[i] == PLAIN || kinds[i] == TLS) {
        r[i].start(rig.client(i + 1), chunk.size());
      } else {
        // One frame per read: read the header, then its payload, until the
        // chunk is complete.
        client_end* ce = &rig.client(i + 1);
        std::string* out = &r[i].got;
        bool* ok = &r[i].ok;
        r[i].th = std::thread([ce, out, ok, n = chunk.size()] {
          size_t payload = 0;
          *ok = true;
          while (payload < n && *ok) {
            std::string h;
            if (!ce->read_exact(h, 2)) break;
            size_t len = static_cast<uint8_t>(h[1]) & 0x7F;
            std::string ext;
            if (len == 126 && ce->read_exact(ext, 2))
              len = (static_cast<uint8_t>(ext[0]) << 8) | static_cast<uint8_t>(ext[1]);
            std::string p;
            *ok = ce->read_exact(p, len);
            *out += h + ext + p;
            payload += len;
          }
          *ok = *ok && payload == n;
        });
      }
    }
    ASSERT_TRUE(rig.client(0).write_all(chunk));
    for (size_t i = 0; i < N; ++i) {
      SCOPED_TRACE(kind_name(kinds[i]));
      r[i].join();
      EXPECT_TRUE(r[i].ok);
      if (kinds[i] == PLAIN || kinds[i] == TLS) {
        EXPECT_TRUE(same_bytes(r[i].got, plain));
        continue;
      }
      std::vector<std::pair<uint32_t, std::string>> frames;
      ASSERT_TRUE(split_frames(r[i].got, frames));
      std::string joined;
      for (const auto& f : frames) {
        EXPECT_EQ(f.first, text ? WS_OPCODE_TEXT : WS_OPCODE_BINARY);
        joined += f.second;
      }
      EXPECT_TRUE(same_bytes(joined, plain));
    }
  }
  for (size_t i = 0; i < N; ++i) {
    ASSERT_TRUE(rig.idle(i + 1));
    EXPECT_FALSE(rig.client(i + 1).has_more());
  }
}

}  // namespace
