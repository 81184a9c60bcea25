// relayhub-bridge: hubs on many hosts share one relay through Redis (a
// stream or a pub/sub channel). The entry: options, stop signals, the
// bridge. See docs/federation.md.

#include <fcntl.h>
#include <langinfo.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "bridge/g_bridge.hpp"

namespace {

// The stop signal's self-pipe: the handler only writes a byte to it.
int g_signal_pipe[2] = {-1, -1};

void on_stop_signal(int) {
  const int saved = errno;
  const char b = 1;
  // Nothing to do about a full pipe: one byte in it is enough.
  [[maybe_unused]] const ssize_t r = write(g_signal_pipe[1], &b, 1);
  errno = saved;
}

int install_signals() {
  if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return errno;
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGINT, &sa, nullptr) != 0 || sigaction(SIGTERM, &sa, nullptr) != 0) return errno;
  // Writes to a socket the peer closed fail with EPIPE instead.
  signal(SIGPIPE, SIG_IGN);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Narrow text in the wide lines (host and channel names) is UTF-8.
  setlocale(LC_ALL, "");
  if (strcmp(nl_langinfo(CODESET), "UTF-8") != 0) setlocale(LC_CTYPE, "C.UTF-8");
  BRIDGE_OPTIONS options;
  const int parsed = bridge_parse_options(argc, argv, options);
  if (parsed == BRIDGE_PARSE_HELP) {
    bridge_print_usage(argv[0]);
    return BRIDGE_EXIT_OK;
  }
  if (parsed != BRIDGE_PARSE_OK) {
    wprintf(L"!! %s\n\n", options.error);
    bridge_print_usage(argv[0]);
    return BRIDGE_EXIT_USAGE;
  }
  const int sig = install_signals();
  if (sig != 0) {
    bridge_log(L"!! cannot install the signal handlers: %d\n", sig);
    return BRIDGE_EXIT_START_FAILED;
  }
  // The link threads inherit a mask without the stop signals, so that the
  // handler always runs on the main thread, which waits on the pipe.
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGINT);
  sigaddset(&stop_set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);

  G_BRIDGE bridge;
  int rc = bridge.init(options);
  if (rc == BRIDGE_EXIT_OK) rc = bridge.run(g_signal_pipe[0], &stop_set);
  bridge.close();
  close(g_signal_pipe[0]);
  close(g_signal_pipe[1]);
  return rc;
}
