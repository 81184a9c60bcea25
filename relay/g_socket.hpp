// The hub: configuration, the arena every connection buffer is carved from,
// and the fixed table of connection slots.
#pragma once

#include <cstdint>
#include <netinet/in.h>

#include "relay/g_so_task.hpp"
#include "support/g_mem.hpp"
#include "transport/g_tls.hpp"

// IPv4 address held in 4 bytes.
struct SB4 {
  uint32_t addr = 0;
  SB4() = default;
  explicit SB4(in_addr a) : addr(a.s_addr) {}
  explicit SB4(uint32_t a) : addr(a) {}
};

// Exit status of the process: 0 after a normal stop or the usage text; a
// start-up failure (socket, bind, listen, arena) gives EXIT_START_FAILED, a
// thread that cannot be created gives its error number.
constexpr int EXIT_START_FAILED = 1;

class G_SOCKET {
 public:
  static constexpr uint32_t MAX_CONNECTIONS = 32;
  // How long a stop may take before the process exits.
  static constexpr int64_t STOP_MS = 2000;
  static constexpr uint64_t ARENA_UNIT = 2097152;

  // Configuration record, filled by config().
  bool report = true;
  bool listen = true;
  bool print_once = false;
  bool print = true;
  bool verbose = true;
  bool write = true;
  char host_local[64] = {};
  char host_remote[64] = {};
  uint16_t port_local = 81;
  uint16_t port_remote = 0;
  uint16_t cw_connections = 32;
  uint64_t packet_length_r = 4096;
  uint32_t cso_type = 1;
  uint32_t cso_protocol = 6;

  G_MEM mem;
  G_SO_TASK task_table[MAX_CONNECTIONS];
  bool b_configured = false;
  // config reduced a connection count above MAX_CONNECTIONS.
  bool b_reduced = false;
  // Set by the constructor when the hub cannot run although configured: the
  // exit status (EXIT_START_FAILED for the arena, a thread creation's error
  // number). Main thread only.
  int start_error = 0;
  sockaddr_in addr_local{};
  sockaddr_in addr_remote{};
  // What loading each of the two identity files gave (g_tls_t::PEM_FILE_1,
  // PEM_FILE_2), kept by config() for the start-up report. Main thread only.
  G_TLS_CER_FAULT_E tls_fault[2] = {G_TLS_CER_OK, G_TLS_CER_OK};
  int tls_fault_errno[2] = {0, 0};

  G_SOCKET(int argc, char** argv);
  ~G_SOCKET();
  G_SOCKET(const G_SOCKET&) = delete;
  G_SOCKET& operator=(const G_SOCKET&) = delete;

  // Fills the configuration record from the command line: the defaults,
  // the options, the connection count clamped to 1..32 (b_reduced when it
  // was above). A pure parser: it prints and loads nothing. Returns 0 when
  // the hub can run, -1 when the usage text is to be shown.
  int config(int argc, char** argv);
  // Where the hub starts, after config: the TLS context and identity from
  // the two PEM files (the outcome per file in tls_fault), and the console
  // report of the configuration (the reduction line, the dump).
  void load_identity();
  void print_config() const;
  int init();
  int start_server();
  // The main thread's watch while the hub serves: SIGHUP reloads the TLS
  // identity, SIGTERM and SIGINT stop the hub (a second one during the stop
  // ends the process at once). Returns when every receive thread has ended.
  // The three signals are blocked in every thread (block_signals, before any
  // thread is created), so only this wait receives them.
  void watch();
  static void block_signals();
  // The clean stop: no more accepting or reading, what was read is
  // delivered, every member is closed politely (close frame 1001,
  // close_notify, FIN), all within STOP_MS; connections that do not finish
  // by then are reset.
  void stop(int sig);
  // Loads the TLS identity from the same files into a new server context
  // and puts it in place when usable; new handshakes use it, existing
  // sessions keep theirs. One console line with the outcome.
  void reload_identity();
  int start_client();
  int socket_configure(int so);
  // Without a usable TLS identity: one console line with each file's fault
  // and that TLS and WSS clients will be refused. Prints nothing otherwise.
  void print_identity_report();
  static int socket_keep_alive(int so);
  G_SO_TASK* get_free_server();

  // Buffer geometry derived from a packet length (exposed for tests).
  struct sizes_t {
    uint64_t L, R, W, S, units;
  };
  static sizes_t compute_sizes(uint64_t packet_length, uint32_t protocol, uint32_t connections);

  // Called by config() after the command line is parsed: lets an embedding
  // program (and the tests) set the fields the command line cannot reach,
  // such as client mode. Null by default.
  static void (*config_override)(G_SOCKET*);
};

int help(char* program_name);
