// Fuzzes the hub's command-line parsing (G_SOCKET::config) without starting
// the hub. The input is split at zero bytes into the arguments; each one is
// a heap string of its own length, so reading past an argument shows.
//
// Properties: the result is 0 or -1; the connection count ends up in 1..32
// and follows from what was parsed; a listening hub runs only on a port
// other than 0; an argument that is not an option, put in front, changes
// nothing; options appended behind any arguments still take effect.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "relay/g_socket.hpp"
#include "tests/fuzz/fuzz_check.hpp"

namespace {

struct record_t {
  int result;
  uint16_t port, connections;
  uint64_t packet_length;
  bool operator==(const record_t& o) const {
    return result == o.result && port == o.port && connections == o.connections &&
           packet_length == o.packet_length;
  }
};

G_SOCKET* hub = nullptr;
uint16_t parsed_connections = 0;  // as parsed, before config clamps it

record_t run(const std::vector<std::string>& args) {
  const int argc = (int)args.size();
  char** argv = (char**)malloc(sizeof(char*) * (args.size() + 1));
  for (size_t i = 0; i < args.size(); ++i) {
    argv[i] = (char*)malloc(args[i].size() + 1);
    memcpy(argv[i], args[i].c_str(), args[i].size() + 1);
  }
  argv[argc] = nullptr;
  record_t r;
  r.result = hub->config(argc, argv);
  r.port = hub->port_local;
  r.connections = hub->cw_connections;
  r.packet_length = hub->packet_length_r;
  for (int i = 0; i < argc; ++i)
    free(argv[i]);
  free(argv);

  check(r.result == 0 || r.result == -1);
  check(r.connections >= 1 && r.connections <= G_SOCKET::MAX_CONNECTIONS);
  const uint16_t want = parsed_connections == 0                          ? G_SOCKET::MAX_CONNECTIONS
                        : parsed_connections > G_SOCKET::MAX_CONNECTIONS ? G_SOCKET::MAX_CONNECTIONS
                                                                         : parsed_connections;
  check(r.connections == want);
  if (r.result == 0) check(r.port != 0);
  // No option reaches the address texts: a value written past its field
  // would show here.
  check(hub->host_local[0] == 0 && hub->host_remote[0] == 0 && hub->listen);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The hub's start-up prints its dump: keep it off the fuzzer's output.
  const int null_fd = open("/dev/null", O_WRONLY);
  if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
  G_SOCKET::config_override = [](G_SOCKET* s) { parsed_connections = s->cw_connections; };
  // A hub that is configured but not started: "-h" stops it before the
  // arena, the tasks' threads and the listening socket.
  static char arg0[] = "relayhub", arg1[] = "-h";
  char* argv[] = {arg0, arg1, nullptr};
  hub = new G_SOCKET(2, argv);
  check(!hub->b_configured);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"relayhub"};
  std::string cur;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(cur);
      cur.clear();
    } else {
      cur += (char)data[i];
    }
  }
  args.push_back(cur);
  if (args.size() > 64) return 0;

  const record_t r = run(args);
  check(run(args) == r);

  // A non-option in front is ignored, and nothing before it could take it
  // as a value.
  std::vector<std::string> front = args;
  front.insert(front.begin() + 1, "0");
  check(run(front) == r);

  // "0" is taken as a value or ignored; the options behind it are always
  // read, and the last value of each wins.
  std::vector<std::string> back = args;
  for (const char* a : {"0", "-p90", "-c7", "-L", "-1"})
    back.push_back(a);
  const record_t b = run(back);
  check(b.port == 90 && b.connections == 7 && b.packet_length == UINT64_MAX);
  // With a usable port, only a help request can still refuse to run.
  if (r.result == 0) check(b.result == 0);
  return 0;
}
