// relayhub's entry: the console, the hub's life, the exit status.
#include <cstdio>
#include <cwchar>
#include <malloc.h>

#include "relay/g_socket.hpp"

int main(int argc, char** argv) {
  // One malloc arena for all threads. glibc would give the 65 threads up to
  // eight arenas per core, and every arena keeps the memory that TLS
  // sessions (allocated on one thread, freed on another) leave free in it:
  // the resident size kept creeping for many minutes and stayed about 2 MB
  // higher. Nothing on the data path allocates, so the shared arena costs
  // no contention. Before any thread starts; on failure glibc keeps its
  // default, which only costs memory.
  (void)mallopt(M_ARENA_MAX, 1);
  // Line-buffered even into a pipe or a service log, so every console line
  // shows up as soon as it is printed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  wprintf(L"\033[H\033[J");
  fflush(stdout);
  // Stop and reload signals are taken by the main thread's watch alone:
  // blocked here, before any thread exists, they stay blocked in all.
  G_SOCKET::block_signals();
  int status = 0;
  {
    G_SOCKET hub(argc, argv);
    if (hub.start_error != 0) {
      status = hub.start_error;
    } else if (hub.b_configured) {
      // A hub that could not open its port has not served: a shell, a script
      // or a service manager must not take that for success.
      if (hub.init() != 0) status = EXIT_START_FAILED;
    } else {
      help(argv[0]);
    }
  }
  fflush(stdout);
  return status;
}
