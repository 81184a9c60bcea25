#pragma once
// Command line of relayhub-bridge: where its hub and its Redis are, the
// channel, the password file and the sizes. Parsed once on the main thread
// before any other thread starts; read-only afterwards.

#include <cstddef>
#include <cstdint>

// Results of bridge_parse_options.
enum BRIDGE_PARSE_E : int {
  BRIDGE_PARSE_OK = 0,
  BRIDGE_PARSE_HELP = 1,   // -h or --help: print the usage text, exit 0
  BRIDGE_PARSE_ERROR = -1  // error[] says why
};

enum BRIDGE_TRANSPORT_E : int {
  TRANSPORT_STREAMS = 0,  // one Redis stream: kept for --retention, resumed
  TRANSPORT_PUBSUB = 1,   // a pub/sub channel: nothing kept
};

struct BRIDGE_OPTIONS {
  static constexpr size_t HOST_SIZE = 256;
  static constexpr size_t PATH_SIZE = 4096;
  static constexpr size_t CHANNEL_SIZE = 256;
  static constexpr size_t ERROR_SIZE = 256;

  // The largest WebSocket message a hub takes (its largest receive buffer,
  // 2 MiB, less 16 bytes of frame overhead).
  static constexpr uint64_t HUB_MESSAGE_MAX = (uint64_t(2) << 20) - 16;
  static constexpr uint64_t BUFFER_DEFAULT = uint64_t(4) << 20;
  static constexpr uint64_t BUFFER_MIN = uint64_t(64) << 10;
  static constexpr uint64_t BUFFER_MAX = uint64_t(1) << 30;
  static constexpr unsigned STATS_DEFAULT_S = 10;
  static constexpr unsigned RETENTION_DEFAULT_S = 60;
  static constexpr unsigned RETENTION_MAX_S = 7 * 86400;
  static constexpr size_t USER_SIZE = 256;

  char hub_host[HOST_SIZE] = {};
  uint16_t hub_port = 0;
  bool b_tls = false;
  char ca_file[PATH_SIZE] = {};  // empty: the hub's certificate is not verified
  char redis_host[HOST_SIZE] = {};
  uint16_t redis_port = 0;
  char channel[CHANNEL_SIZE] = "relayhub";
  char password_file[PATH_SIZE] = {};  // empty: no AUTH
  // Bytes of each of the two buffers (hub toward Redis, Redis toward hub).
  uint64_t buffer_bytes = BUFFER_DEFAULT;
  // Largest payload relayed in either direction; larger ones are dropped
  // and counted.
  uint64_t max_message = HUB_MESSAGE_MAX;
  unsigned stats_s = STATS_DEFAULT_S;
  int transport = TRANSPORT_STREAMS;
  unsigned retention_s = RETENTION_DEFAULT_S;
  // TLS toward Redis; with redis_ca the server's certificate is verified
  // (for the name or address of --redis), with redis_cert one is offered.
  bool b_redis_tls = false;
  char redis_ca[PATH_SIZE] = {};
  char redis_cert[PATH_SIZE] = {};
  char redis_key[PATH_SIZE] = {};
  char redis_user[USER_SIZE] = {};  // empty: AUTH with the password alone
  // The metrics endpoint; port 0: none.
  char metrics_host[HOST_SIZE] = "127.0.0.1";
  uint16_t metrics_port = 0;

  char error[ERROR_SIZE] = {};
};

// Parses argv into o (which starts from its defaults). Options take their
// value as the next argument or after "=" (--channel=NAME); sizes accept a
// k or m suffix (KiB, MiB). One of BRIDGE_PARSE_E.
int bridge_parse_options(int argc, char** argv, BRIDGE_OPTIONS& o);

// Splits "HOST:PORT" (the last colon; a port from 1 to 65535).
// 0 on success, -1 on a malformed value.
int bridge_parse_host_port(const char* s, char* host, size_t host_size, uint16_t& port);

// Prints the usage text (wide) on stdout.
void bridge_print_usage(const char* program);
