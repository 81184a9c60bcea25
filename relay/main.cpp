#include <cstdio>
#include <cwchar>

#include "relay/g_socket.hpp"

int main(int argc, char** argv) {
  // Line-buffered even into a pipe or a service log, so every console line
  // shows up as soon as it is printed.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  wprintf(L"\033[H\033[J");
  fflush(stdout);
  {
    G_SOCKET hub(argc, argv);
    if (hub.b_configured) {
      hub.init();
    } else {
      help(argv[0]);
    }
  }
  fflush(stdout);
  return 0;
}
