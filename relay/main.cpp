#include <cstdio>
#include <cwchar>

#include "relay/g_socket.hpp"

int main(int argc, char** argv) {
  // Line-buffered even into a pipe or a service log, so every console line
  // shows up as soon as it is printed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  wprintf(L"\033[H\033[J");
  fflush(stdout);
  int status = 0;
  {
    G_SOCKET hub(argc, argv);
    if (hub.b_configured) {
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
