// Service manager notifications over NOTIFY_SOCKET, without a library.
#include "support/g_notify.hpp"
#include "support/g_eintr.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/g_console.hpp"

namespace {

constexpr const char* NOTIFY_VAR = "NOTIFY_SOCKET";

// Fills addr from NOTIFY_SOCKET's value; *len is the address length to
// pass. 0, or -errno as g_notify reports it.
int notify_address(const char* value, sockaddr_un* addr, socklen_t* len) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const size_t n = strlen(value);
  if (value[0] == '/') {
    if (n >= sizeof addr->sun_path) return -ENAMETOOLONG;  // the path needs its terminator
    memcpy(addr->sun_path, value, n + 1);
    *len = socklen_t(offsetof(sockaddr_un, sun_path) + n + 1);
    return 0;
  }
  if (value[0] == '@') {
    // Abstract: a leading zero byte, and the name's length is the address's.
    if (n > sizeof addr->sun_path) return -ENAMETOOLONG;
    memcpy(addr->sun_path + 1, value + 1, n - 1);
    *len = socklen_t(offsetof(sockaddr_un, sun_path) + n);
    return 0;
  }
  return -EAFNOSUPPORT;
}

}  // namespace

int g_notify(const char* state) {
  const char* value = getenv(NOTIFY_VAR);
  if (value == nullptr || value[0] == 0) return G_NOTIFY_NONE;
  if (state == nullptr || state[0] == 0) return -EINVAL;
  sockaddr_un addr;
  socklen_t addr_len = 0;
  const int bad = notify_address(value, &addr, &addr_len);
  if (bad != 0) return bad;
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -errno;
  const size_t len = strlen(state);
  const ssize_t r = no_eintr([&] {
    return sendto(fd, state, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), addr_len);
  });
  const int err = r == -1 ? errno : 0;
  close(fd);
  if (err != 0) return -err;
  // A datagram goes whole or not at all; anything else is not a notification.
  return size_t(r) == len ? G_NOTIFY_SENT : -EMSGSIZE;
}

int g_notify_reloading() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long usec =
      (unsigned long long)now.tv_sec * 1000000ull + (unsigned long long)now.tv_nsec / 1000ull;
  char state[64];
  snprintf(state, sizeof state, "RELOADING=1\nMONOTONIC_USEC=%llu", usec);
  return g_notify(state);
}

int g_notify_ready_once() {
  static std::atomic<bool> sent{false};
  if (sent.exchange(true)) return G_NOTIFY_NONE;
  const int r = g_notify("READY=1");
  if (r < 0) print_format_stderr(-r, L"!! readiness notification to NOTIFY_SOCKET failed");
  return r;
}
