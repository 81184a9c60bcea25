// g_notify against a Unix datagram socket that stands where the service
// manager's would: path and abstract addresses, no manager, a dead socket,
// addresses that cannot be used, and the reload and once-only forms.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "support/g_notify.hpp"

namespace {

// The manager's end: a bound datagram socket and the NOTIFY_SOCKET value
// that names it. Restores the variable's absence when done.
class Manager {
 public:
  // abstract: "@name" instead of a file in a fresh directory.
  explicit Manager(bool abstract) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socklen_t len;
    if (abstract) {
      name = "@relayhub-notify-test-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
      memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
      len = socklen_t(offsetof(sockaddr_un, sun_path) + name.size());
    } else {
      char tmpl[] = "/tmp/relayhub-notify-XXXXXX";
      dir = mkdtemp(tmpl) != nullptr ? tmpl : "";
      name = dir + "/notify";
      memcpy(addr.sun_path, name.c_str(), name.size() + 1);
      len = socklen_t(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    }
    bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }
  ~Manager() {
    unsetenv("NOTIFY_SOCKET");
    stop();
    if (!dir.empty()) {
      unlink(name.c_str());
      rmdir(dir.c_str());
    }
  }
  // Closes the socket; a path address leaves its file behind, as a crashed
  // manager would.
  void stop() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  // The next datagram, or "<none>" when none comes within wait_ms.
  std::string receive(int wait_ms = 2000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) != 1) return "<none>";
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n < 0 ? "<error>" : std::string(buf, size_t(n));
  }

  int fd = -1;
  bool bound = false;
  std::string dir;
  std::string name;
};

uint64_t monotonic_usec() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000u + uint64_t(t.tv_nsec) / 1000u;
}

TEST(Notify, StateArrivesAsOneDatagramAtPathAndAbstractAddresses) {
  for (const bool abstract : {false, true}) {
    SCOPED_TRACE(abstract ? "abstract" : "path");
    Manager m(abstract);
    ASSERT_TRUE(m.bound) << m.name;
    EXPECT_EQ(g_notify("READY=1"), G_NOTIFY_SENT);
    EXPECT_EQ(m.receive(), "READY=1");
    EXPECT_EQ(g_notify("STATUS=32 slots, 3 in use\nSTOPPING=1"), G_NOTIFY_SENT);
    EXPECT_EQ(m.receive(), "STATUS=32 slots, 3 in use\nSTOPPING=1");
    EXPECT_EQ(m.receive(50), "<none>");
  }
}

TEST(Notify, NothingWithoutAManagerAndNegativeErrnoOnFailure) {
  unsetenv("NOTIFY_SOCKET");
  EXPECT_EQ(g_notify("READY=1"), G_NOTIFY_NONE);
  EXPECT_EQ(g_notify_reloading(), G_NOTIFY_NONE);
  setenv("NOTIFY_SOCKET", "", 1);
  EXPECT_EQ(g_notify("READY=1"), G_NOTIFY_NONE);
  {
    // The manager went away: its file is still there, nobody receives.
    Manager m(false);
    ASSERT_TRUE(m.bound);
    m.stop();
    EXPECT_EQ(g_notify("READY=1"), -ECONNREFUSED);
  }
  {
    Manager m(true);
    ASSERT_TRUE(m.bound);
    m.stop();
    EXPECT_EQ(g_notify("READY=1"), -ECONNREFUSED);
  }
  setenv("NOTIFY_SOCKET", "/nonexistent-dir/notify", 1);
  EXPECT_EQ(g_notify("READY=1"), -ENOENT);
  // Neither a path nor an abstract name (systemd's vsock: form, a relative path).
  for (const char* v : {"vsock:2:1234", "run/notify"}) {
    setenv("NOTIFY_SOCKET", v, 1);
    EXPECT_EQ(g_notify("READY=1"), -EAFNOSUPPORT) << v;
  }
  // One byte over what sockaddr_un holds, in both forms: refused, not cut.
  const size_t path_max = sizeof(sockaddr_un{}.sun_path);
  const std::string long_path = "/" + std::string(path_max - 1, 'a');
  setenv("NOTIFY_SOCKET", long_path.c_str(), 1);
  EXPECT_EQ(g_notify("READY=1"), -ENAMETOOLONG);
  const std::string long_name = "@" + std::string(path_max, 'a');
  setenv("NOTIFY_SOCKET", long_name.c_str(), 1);
  EXPECT_EQ(g_notify("READY=1"), -ENAMETOOLONG);
  {
    Manager m(false);
    EXPECT_EQ(g_notify(""), -EINVAL);
    EXPECT_EQ(g_notify(nullptr), -EINVAL);
    EXPECT_EQ(m.receive(50), "<none>");
  }
  unsetenv("NOTIFY_SOCKET");
}

TEST(Notify, LongestAddressesFit) {
  // A path of 107 bytes and an abstract name of 107 bytes fill sun_path.
  const size_t path_max = sizeof(sockaddr_un{}.sun_path);
  const std::string name = "@relayhub-notify-" + std::to_string(getpid());
  const std::string full = name + std::string(path_max - name.size(), 'n');
  ASSERT_EQ(full.size(), path_max);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path + 1, full.data() + 1, full.size() - 1);
  ASSERT_EQ(
      bind(fd, reinterpret_cast<sockaddr*>(&addr), socklen_t(offsetof(sockaddr_un, sun_path) + full.size())),
      0);
  setenv("NOTIFY_SOCKET", full.c_str(), 1);
  EXPECT_EQ(g_notify("READY=1"), G_NOTIFY_SENT);
  char buf[16] = {};
  EXPECT_EQ(recv(fd, buf, sizeof buf, MSG_DONTWAIT), 7);
  // The longest path is taken whole: refused only because nothing is there.
  const std::string path = "/" + std::string(path_max - 2, 'a');
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  EXPECT_EQ(g_notify("READY=1"), -ENOENT);
  unsetenv("NOTIFY_SOCKET");
  close(fd);
}

TEST(Notify, ReloadingCarriesTheMonotonicTime) {
  Manager m(false);
  ASSERT_TRUE(m.bound);
  const uint64_t before = monotonic_usec();
  ASSERT_EQ(g_notify_reloading(), G_NOTIFY_SENT);
  const uint64_t after = monotonic_usec();
  const std::string got = m.receive();
  const std::string head = "RELOADING=1\nMONOTONIC_USEC=";
  ASSERT_EQ(got.compare(0, head.size(), head), 0) << got;
  const std::string digits = got.substr(head.size());
  ASSERT_FALSE(digits.empty());
  ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << got;
  const uint64_t usec = strtoull(digits.c_str(), nullptr, 10);
  EXPECT_LE(before, usec);
  EXPECT_LE(usec, after);
}

TEST(Notify, ReadyOnceSendsOnlyTheFirstTime) {
  Manager m(true);
  ASSERT_TRUE(m.bound);
  EXPECT_EQ(g_notify_ready_once(), G_NOTIFY_SENT);
  EXPECT_EQ(g_notify_ready_once(), G_NOTIFY_NONE);
  EXPECT_EQ(m.receive(), "READY=1");
  EXPECT_EQ(m.receive(50), "<none>");
}

}  // namespace
