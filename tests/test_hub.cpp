// Hub geometry and client mode, driven in-process against local listeners.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "relay/g_socket.hpp"

namespace {

TEST(HubSizes, WorkedTable) {
  struct Row {
    uint64_t L_in;
    uint32_t proto, conns;
    uint64_t L, R, W, S, units;
  } rows[] = {
      {4096, 6, 32, 4096, 4096, 8192, 12288, 1},
      {1472, 6, 32, 1472, 4096, 2944, 12288, 1},
      {65507, 6, 32, 65507, 65536, 131014, 196608, 3},
      {2097152, 6, 1, 2097152, 2097152, 4194304, 6291456, 3},
      {70000, 17, 32, 65112, 65536, 130224, 196608, 3},
      {0, 6, 32, 2097152, 2097152, 4194304, 6291456, 96},
      {uint64_t(-1), 6, 32, 2097152, 2097152, 4194304, 6291456, 96},
      {4097, 6, 1, 4097, 8192, 8194, 24576, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.L_in);
    const G_SOCKET::sizes_t s = G_SOCKET::compute_sizes(r.L_in, r.proto, r.conns);
    EXPECT_EQ(s.L, r.L);
    EXPECT_EQ(s.R, r.R);
    EXPECT_EQ(s.W, r.W);
    EXPECT_EQ(s.S, r.S);
    EXPECT_EQ(s.units, r.units);
    EXPECT_EQ(s.R % 4096, 0u);
  }
}

// A loopback listener that accepts `n` connections, sends a greeting on each,
// records the peer ports and closes them.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  std::vector<uint16_t> peer_ports;
  std::vector<std::string> received;
  std::thread th;

  void start(int n) {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(fd, 8), 0);
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    th = std::thread([this, n] {
      for (int i = 0; i < n; ++i) {
        sockaddr_in p{};
        socklen_t pl = sizeof(p);
        const int c = accept(fd, reinterpret_cast<sockaddr*>(&p), &pl);
        if (c < 0) return;
        peer_ports.push_back(ntohs(p.sin_port));
        const char hello[] = "hello";
        send(c, hello, 5, MSG_NOSIGNAL);
        timeval tv{0, 300000};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        char buf[64];
        const ssize_t r = recv(c, buf, sizeof(buf), 0);
        received.emplace_back(buf, r > 0 ? size_t(r) : 0);
        close(c);
      }
    });
  }
  void stop() {
    if (th.joinable()) th.join();
    if (fd >= 0) close(fd);
  }
};

struct ClientConfig {
  static uint16_t remote_port;
  static uint16_t local_port;
  static uint16_t connections;
  static void apply(G_SOCKET* s) {
    s->listen = false;
    s->report = true;
    strcpy(s->host_remote, "127.0.0.1");
    strcpy(s->host_local, "127.0.0.1");
    s->port_remote = remote_port;
    s->port_local = local_port;
    s->cw_connections = connections;
  }
};
uint16_t ClientConfig::remote_port = 0;
uint16_t ClientConfig::local_port = 0;
uint16_t ClientConfig::connections = 1;

// Runs a client-mode hub and returns init()'s result; fails if it hangs.
int run_client_hub(uint16_t* port_local_after) {
  G_SO_TASK::b_stop = false;
  G_SOCKET::config_override = &ClientConfig::apply;
  char prog[] = "relayhub";
  char* argv[] = {prog, nullptr};
  int result = -100;
  {
    G_SOCKET hub(1, argv);
    EXPECT_TRUE(hub.b_configured);
    if (!hub.b_configured) return -100;
    auto fut = std::async(std::launch::async, [&hub] { return hub.init(); });
    if (fut.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "client mode did not end";
      _exit(3);
    }
    result = fut.get();
    if (port_local_after) *port_local_after = hub.port_local;
  }
  G_SOCKET::config_override = nullptr;
  return result;
}

TEST(ClientMode, EachTaskServesOneConnectionAndEnds) {
  Listener l;
  l.start(2);
  ClientConfig::remote_port = l.port;
  ClientConfig::local_port = 0;
  ClientConfig::connections = 2;
  EXPECT_EQ(run_client_hub(nullptr), 0);
  l.stop();
  EXPECT_EQ(l.peer_ports.size(), 2u);
  EXPECT_EQ(G_SO_TASK::task_count.load(), 0);
}

TEST(ClientMode, BindsConsecutiveLocalPorts) {
  // Find two free consecutive ports.
  uint16_t base = 0;
  for (uint16_t p = 40000; p < 60000 && base == 0; p += 7) {
    bool ok = true;
    for (uint16_t q = p; q < p + 2 && ok; ++q) {
      const int s = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      a.sin_port = htons(q);
      ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
      close(s);
    }
    if (ok) base = p;
  }
  ASSERT_NE(base, 0);
  Listener l;
  l.start(2);
  ClientConfig::remote_port = l.port;
  ClientConfig::local_port = base;
  ClientConfig::connections = 2;
  uint16_t after = 0;
  EXPECT_EQ(run_client_hub(&after), 0);
  l.stop();
  ASSERT_EQ(l.peer_ports.size(), 2u);
  std::sort(l.peer_ports.begin(), l.peer_ports.end());
  EXPECT_EQ(l.peer_ports[0], base);
  EXPECT_EQ(l.peer_ports[1], base + 1);
  EXPECT_EQ(after, base + 2);
}

TEST(ClientMode, RefusedConnectReleasesEveryTask) {
  // A port that nobody listens on.
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  socklen_t len = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  ClientConfig::remote_port = ntohs(a.sin_port);
  ClientConfig::local_port = 0;
  ClientConfig::connections = 3;
  EXPECT_EQ(run_client_hub(nullptr), 0);
  EXPECT_EQ(G_SO_TASK::task_count.load(), 0);
}

TEST(ClientMode, IncompleteRemoteAddressIsRefusedByConfig) {
  G_SO_TASK::b_stop = false;
  G_SOCKET::config_override = [](G_SOCKET* s) { s->listen = false; };
  char prog[] = "relayhub";
  char* argv[] = {prog, nullptr};
  {
    G_SOCKET hub(1, argv);
    EXPECT_FALSE(hub.b_configured);
  }
  G_SOCKET::config_override = nullptr;
}

}  // namespace

namespace {

TEST(HubStart, ThreadThatCannotBeCreatedIsReportedNotFatal) {
  // No stack of that size can be mapped: the creation fails. The slot says
  // so and returns the error; ending the process is left to the hub, once
  // it has stopped the threads it already started.
  const uint64_t saved = G_SO_TASK::stack_size;
  G_SO_TASK::stack_size = uint64_t(1) << 47;
  {
    G_SO_TASK t;
    t.write = true;
    EXPECT_NE(0, t.init_task());
    EXPECT_FALSE(t.h_thread_r.b_valid.load());
  }
  G_SO_TASK::stack_size = saved;
}

}  // namespace
