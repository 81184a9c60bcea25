// The hub: the command line, the arena and the slots, the listening socket,
// client mode, and the main thread's watch for stop and reload signals.
#include "relay/g_socket.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/g_console.hpp"
#include "support/g_notify.hpp"
#include "transport/g_tls.hpp"

void (*G_SOCKET::config_override)(G_SOCKET*) = nullptr;

int help(char* program_name) {
  wprintf(L"\033[H\033[J");
  fflush(stdout);
  wprintf(L":: WebSocket relay utility  relayhub 1.0, December 2026\n");
  wprintf(L"-------------------------------------------------------------------------------\n");
  wprintf(L":: Relay data between WebSocket, TCP and TLS clients.\n");
  wprintf(L"-------------------------------------------------------------------------------\n");
  wprintf(L":: usage ::\n");
  wprintf(L"\t%s <-p listen port>\n", program_name);
  wprintf(L"\t[-p listen port]\n");
  wprintf(L"\t[-c 1 to %u connections]\n", G_SOCKET::MAX_CONNECTIONS);
  wprintf(L"\t[-L 1472|1405|1422|65112|65507       packet length]\n");
  wprintf(L"\n");
  wprintf(L":: example ::\n");
  wprintf(L"\t%s\n", program_name);
  wprintf(L"\t%s -p 81\n", program_name);
  wprintf(L"\n");
  wprintf(L"\n");
  return 0;
}

int G_SOCKET::config(int argc, char** argv) {
  report = true;
  listen = true;
  print_once = false;
  print = true;
  verbose = true;
  write = true;
  memset(host_local, 0, sizeof(host_local));
  memset(host_remote, 0, sizeof(host_remote));
  port_local = 81;
  port_remote = 0;
  cw_connections = MAX_CONNECTIONS;
  packet_length_r = 4096;
  cso_type = SOCK_STREAM;
  cso_protocol = IPPROTO_TCP;
  b_reduced = false;

  bool b_help = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg == nullptr || arg[0] != '-') continue;
    if (arg[1] == '-' && strcasecmp(arg + 2, "help") == 0) {
      b_help = true;
      continue;
    }
    for (const char* p = arg + 1; *p; ++p) {
      const char c = *p;
      if (c == 'h') {
        b_help = true;
        continue;
      }
      if (c != 'p' && c != 'c' && c != 'L') continue;
      const char* value = nullptr;
      if (p[1] != 0) {
        value = p + 1;
      } else if (i + 1 < argc) {
        value = argv[++i];
      }
      if (value != nullptr) {
        const long v = strtol(value, nullptr, 10);
        if (c == 'p') {
          port_local = static_cast<uint16_t>(v);
        } else if (c == 'c') {
          cw_connections = static_cast<uint16_t>(v);
        } else {
          packet_length_r = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(v)));
        }
      }
      break;  // the value ends this argument's scan
    }
  }
  if (config_override != nullptr) config_override(this);

  if (cw_connections == 0) {
    cw_connections = listen ? MAX_CONNECTIONS : 1;
  } else if (cw_connections > MAX_CONNECTIONS) {
    cw_connections = MAX_CONNECTIONS;
    b_reduced = true;
  }
  if (print_once) print = true;

  if (b_help) return -1;
  if (listen && port_local != 0) return 0;
  if (host_remote[0] == 0) return -1;
  if (port_remote == 0) return -1;
  return 0;
}

void G_SOCKET::load_identity() {
  g_tls_t::init_ctx(G_TLS_MODE_SERVER);
  const char* const pem[2] = {g_tls_t::PEM_FILE_1, g_tls_t::PEM_FILE_2};
  for (int i = 0; i < 2; ++i) {
    g_tls_t::load_cer(pem[i], pem[i], G_TLS_MODE_SERVER);
    tls_fault[i] = g_tls_t::cer_fault;
    tls_fault_errno[i] = g_tls_t::cer_fault_errno;
  }
}

void G_SOCKET::print_config() const {
  if (b_reduced) wprintf(L"!! G_SOCKET::config()  number of connections reduced to: %u\n\n", MAX_CONNECTIONS);
  if (!verbose) return;
  wprintf(L":: config ::\n");
  wprintf(L"  print:%u, print_once:%u, listen:%u, write:%u, connections:%u\n", (unsigned)print,
          (unsigned)print_once, (unsigned)listen, (unsigned)write, (unsigned)cw_connections);
  wprintf(L"  verbose:%u, quiet:%u, packet_length_r:%llu\n", (unsigned)verbose, (unsigned)(1 - report),
          (unsigned long long)packet_length_r);
  wprintf(L"  so_type:%u, so_protocol:%u\n", cso_type, cso_protocol);
  wprintf(L"  addr_local  %s:%u\n", host_local, (unsigned)port_local);
  wprintf(L"  addr_remote %s:%u\n\n", host_remote, (unsigned)port_remote);
  wprintf(L":: ------ ::\n");
}

G_SOCKET::sizes_t G_SOCKET::compute_sizes(uint64_t packet_length, uint32_t protocol, uint32_t connections) {
  sizes_t s{};
  s.L = packet_length;
  if (s.L == 0 || s.L > ARENA_UNIT) s.L = ARENA_UNIT;
  if (protocol != IPPROTO_TCP && s.L > 65112) {
    s.L = 65112;
    s.R = 65536;
    s.W = 130224;
    s.S = 196608;
  } else {
    s.W = 2 * s.L;
    s.R = (s.L + 4095) & ~uint64_t(4095);
    s.S = 3 * s.R;
  }
  s.units = (s.S * connections + ARENA_UNIT - 1) / ARENA_UNIT;
  return s;
}

G_SOCKET::G_SOCKET(int argc, char** argv) {
  b_configured = false;
  const int configured = config(argc, argv);
  // The TLS identity is loaded and the configuration shown also before the
  // usage text, which then follows them.
  load_identity();
  print_config();
  if (configured != 0) return;
  b_configured = true;
  setlocale(LC_ALL, "bg_BG.utf8");
  G_SO_TASK::start_time = static_cast<int64_t>(time(nullptr));
  WEBSOCKET_SRV::dynamic_page = &G_SO_TASK::serve_page;
  // The identity every WebSocket answer announces. Without randomness the
  // hub simply announces none: nothing else depends on it.
  uint64_t id = 0;
  if (getrandom(&id, sizeof(id), 0) == (ssize_t)sizeof(id)) WEBSOCKET_SRV::hub_instance = id;

  const sizes_t s = compute_sizes(packet_length_r, cso_protocol, cw_connections);
  packet_length_r = s.L;

  mem.b_verbose = true;
  mem.allocate_ram(s.units);
  if (mem.p_ram == nullptr) {
    start_error = EXIT_START_FAILED;
    return;
  }

  G_SO_TASK::page_size_r = s.L;
  G_SO_TASK::page_size_w = s.W;
  G_SO_TASK::b_listen = listen;
  G_SO_TASK::tasks = &task_table[0];
  G_SO_TASK::w_connections = cw_connections;
  uint64_t stack = mem.stack_size;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Instrumented builds need several times the stack of a normal build.
  if (stack < (uint64_t(1) << 20)) stack = uint64_t(1) << 20;
#endif
  G_SO_TASK::stack_size = stack;

  char* arena = static_cast<char*>(mem.p_ram);
  for (uint32_t i = 0; i < cw_connections; ++i) {
    G_SO_TASK& t = task_table[i];
    t.report = report;
    t.print_once = print_once;
    t.print = print;
    t.verbose = verbose;
    t.write = write;
    t.page_r = arena + i * s.S;
    t.page_w = t.page_w_cur = arena + i * s.S + s.R;
    t.page_w_index = 0;
    t.size_w_half = s.W / 2;
    t.p_send = nullptr;
    start_error = t.init_task();
    if (start_error != 0) break;
  }
  for (uint32_t i = cw_connections; i < MAX_CONNECTIONS; ++i)
    task_table[i].b_running = false;
  if (start_error == 0) start_error = task_table[0].init_print();
  // On a failure the threads already started wait on their start events;
  // the destructor closes those and joins them before the process ends.
}

int G_SOCKET::init() {
  memset(&addr_local, 0, sizeof(addr_local));
  addr_local.sin_family = AF_INET;
  addr_local.sin_port = htons(port_local);
  addr_local.sin_addr.s_addr = host_local[0] ? inet_addr(host_local) : 0;
  memset(&addr_remote, 0, sizeof(addr_remote));
  addr_remote.sin_family = AF_INET;
  addr_remote.sin_port = htons(port_remote);
  addr_remote.sin_addr.s_addr = inet_addr(host_remote);
  return listen ? start_server() : start_client();
}

void G_SOCKET::print_identity_report() {
  if (g_tls_t::server_valid) return;
  // Otherwise the only hint would be the missing " TLS WSS" in the banner,
  // and TLS clients would be dropped without a word.
  const char* const pem[2] = {g_tls_t::PEM_FILE_1, g_tls_t::PEM_FILE_2};
  wchar_t why[2][128];
  for (int i = 0; i < 2; ++i)
    g_tls_t::cer_fault_text(tls_fault[i], tls_fault_errno[i], why[i], 128);
  wprintf(L"!! no usable TLS identity (%s: %ls; %s: %ls): TLS and WSS clients will be refused\n\n", pem[0],
          why[0], pem[1], why[1]);
}

int G_SOCKET::start_server() {
  print_identity_report();
  const int so = ::socket(AF_INET, cso_type, cso_protocol);
  if (so == -1) {
    print_format_inline(errno, L"socket(AF_INET, cso_type, cso_protocol)");
    return -1;
  }
  socket_configure(so);
  wprintf(L":: bind(%s:%u)  ", host_local[0] ? host_local : "0.0.0.0", (unsigned)port_local);
  if (::bind(so, reinterpret_cast<sockaddr*>(&addr_local), sizeof(addr_local)) != 0) {
    print_format_inline(errno, L"\nbind(so, (sockaddr *) &addr_local, sizeof(addr_local))");
    ::close(so);
    return -1;
  }
  if (::listen(so, cw_connections) != 0) {
    print_format_inline(errno, L"listen(so, cw_connections)");
    ::close(so);
    return -1;
  }
  const bool tls = g_tls_t::server_valid;
  wprintf(L"RAW%s WS%s  max connections: %u\n:: waiting for client connection...\n\n", tls ? " TLS" : "",
          tls ? " WSS" : "", (unsigned)cw_connections);
  fflush(stdout);
  g_notify_ready_once();  // connections queue from here on, before any slot accepts
  G_SO_TASK::so_listen = so;
  for (uint32_t i = 0; i < cw_connections; ++i)
    task_table[i].e_thread_r.signal();
  watch();
  for (uint32_t i = 0; i < cw_connections; ++i) {
    task_table[i].h_thread_r.wait();
    task_table[i].h_thread_r.close();
  }
  return 0;
}

namespace {

void stop_signals(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGHUP);
}

const wchar_t* signal_name(int sig) {
  return sig == SIGTERM ? L"SIGTERM" : sig == SIGINT ? L"SIGINT" : L"SIGHUP";
}

}  // namespace

void G_SOCKET::block_signals() {
  sigset_t set;
  stop_signals(&set);
  // Fails only for an invalid argument.
  (void)pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void G_SOCKET::watch() {
  sigset_t set;
  stop_signals(&set);
  int64_t stop_began = 0;
  bool reset_sent = false;
  while (G_SO_TASK::live_r.load() > 0) {
    timespec slice{0, 50 * 1000000};
    const int sig = sigtimedwait(&set, nullptr, &slice);
    if (sig == SIGHUP && stop_began == 0) {
      reload_identity();
      continue;
    }
    if (sig == SIGINT || sig == SIGTERM) {
      if (stop_began != 0) {
        // Asked twice: whoever asks again does not want to wait.
        wprintf(L"!! %ls again: stopping at once\n", signal_name(sig));
        fflush(stdout);
        _exit(128 + sig);
      }
      stop_began = g_tls_t::now_ms();
      stop(sig);
      continue;
    }
    if (stop_began == 0) continue;
    const int64_t spent = g_tls_t::now_ms() - stop_began;
    if (!reset_sent && spent >= STOP_MS * 3 / 4) {
      // Clients that have not finished by now are not waited for: their
      // connections are reset, which ends every wait that involves them.
      reset_sent = true;
      for (uint32_t i = 0; i < cw_connections; ++i) {
        task_table[i].ws.tls.b_abort = true;
        task_table[i].ws.tls.end_session();
      }
    }
    if (spent >= STOP_MS - 100) {
      // The stop is bounded whatever a thread is doing.
      wprintf(L"!! the stop took longer than %lld ms: exiting\n", static_cast<long long>(STOP_MS));
      fflush(stdout);
      _exit(0);
    }
  }
}

void G_SOCKET::stop(int sig) {
  wprintf(L":: stopping on %ls: closing %d connections\n", signal_name(sig),
          (int)G_SO_TASK::task_count.load());
  fflush(stdout);
  g_notify("STOPPING=1");
  // The polite closes must be done by then; what is left is reset.
  G_SO_TASK::stop_deadline_ms = g_tls_t::now_ms() + STOP_MS * 3 / 4 - 100;
  G_SO_TASK::b_stopping = true;
  G_SO_TASK::b_stop = true;
  // No more connections: the slots blocked in accept return.
  const int old = G_SO_TASK::so_listen.exchange(-1);
  if (old != -1) {
    ::shutdown(old, SHUT_RDWR);
    ::close(old);
  }
  // No more reading: every slot's read returns, a fan-out under way ends
  // first, and each slot then closes its connection (close_for_stop).
  for (uint32_t i = 0; i < cw_connections; ++i)
    task_table[i].ws.tls.shutdown_recv();
}

void G_SOCKET::reload_identity() {
  g_notify_reloading();
  const char* const pem[2] = {g_tls_t::PEM_FILE_1, g_tls_t::PEM_FILE_2};
  G_TLS_CER_FAULT_E faults[2];
  int errs[2];
  SSL_CTX* ctx = g_tls_t::build_server_ctx(pem, 2, faults, errs);
  wchar_t why[2][128];
  for (int i = 0; i < 2; ++i)
    g_tls_t::cer_fault_text(faults[i], errs[i], why[i], 128);
  if (ctx != nullptr) {
    g_tls_t::replace_server_ctx(ctx);
    const time_t until = static_cast<time_t>(g_tls_t::server_not_after.load());
    tm t{};
    char when[64] = "unknown";
    if (until != 0 && gmtime_r(&until, &t) != nullptr)
      strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &t);
    wprintf(L":: reloaded the TLS identity (%s: %ls; %s: %ls): new handshakes use it, expires %s\n", pem[0],
            why[0], pem[1], why[1], when);
  } else {
    // The same line as at start-up, and the identity in use (if any) stays.
    wprintf(L"!! no usable TLS identity (%s: %ls; %s: %ls): %ls\n", pem[0], why[0], pem[1], why[1],
            g_tls_t::server_valid ? L"the current identity stays" : L"TLS and WSS clients will be refused");
  }
  fflush(stdout);
  g_notify("READY=1");
}

int G_SOCKET::start_client() {
  const uint32_t n = cw_connections;
  wprintf(L":: connecting to server (%s:%u)\n", host_remote, (unsigned)port_remote);
  G_SO_TASK::b_stop = true;
  for (uint32_t i = 0; i < n; ++i) {
    const int so = ::socket(AF_INET, cso_type, cso_protocol);
    if (so == -1) {
      print_format_inline(errno, L"socket(AF_INET, cso_type, cso_protocol)");
      return -1;
    }
    socket_configure(so);
    socket_keep_alive(so);
    addr_local.sin_port = htons(port_local);
    if (port_local != 0) ++port_local;
    if (::bind(so, reinterpret_cast<sockaddr*>(&addr_local), sizeof(addr_local)) != 0) {
      print_format_inline(errno, L"\nbind(tasks[i]->so, (sockaddr *) &addr_local, sizeof(addr_local))");
      ::close(so);
      return -1;
    }
    task_table[i].ws.tls.so = so;
  }

  auto release_from = [&](uint32_t j) {
    for (uint32_t k = j; k < n; ++k) {
      task_table[k].b_running = false;
      task_table[k].e_thread_r.signal();
    }
  };
  for (uint32_t j = 0; j < n; ++j) {
    G_SO_TASK& t = task_table[j];
    g_tls_t& tls = t.ws.tls;
    errno = 0;
    const int so = tls.so;
    if (::connect(so, reinterpret_cast<sockaddr*>(&addr_remote), sizeof(addr_remote)) == 0 &&
        tls.new_client_raw(so) == G_TLS_OK) {
      t.b_connected = true;
      t.e_thread_r.signal();
      continue;
    }
    const int err = errno;
    tls.end_session();
    if (err == 0) {
      wprintf(L":: new_client(%u)  failed  %i\n\n", j, (int)tls.err_tls);
      release_from(j);
      break;
    }
    if (!report) wprintf(L":: connect(%u) ", j);
    print_format_inline(err, L"connect(tasks[i]->so, (sockaddr *) &addr_remote, addr_remote_size)");
    if (err == ECONNABORTED) {
      // The skipped task is released like a refused one, so the final join returns.
      t.b_running = false;
      t.e_thread_r.signal();
      continue;
    }
    if (err == ECONNREFUSED) {
      release_from(j);
      break;
    }
    // Unexpected failure: stop every task before the arena can go away, so no
    // task thread touches its buffers after the destructor frees them.
    release_from(j);
    for (uint32_t k = 0; k < j; ++k) {
      task_table[k].ws.tls.b_abort = true;
      task_table[k].ws.tls.end_session();
    }
    for (uint32_t k = 0; k < n; ++k) {
      task_table[k].h_thread_r.wait();
      task_table[k].h_thread_r.close();
    }
    return err;
  }
  for (uint32_t i = 0; i < n; ++i)
    task_table[i].resume_w();
  for (uint32_t i = 0; i < n; ++i) {
    task_table[i].h_thread_r.wait();
    task_table[i].h_thread_r.close();
  }
  return 0;
}

int G_SOCKET::socket_configure(int so) {
  int r = 0;
  auto opt = [so](int level, int name, int value) {
    return setsockopt(so, level, name, &value, sizeof(value)) == 0 ? 0 : -1;
  };
  r |= opt(SOL_SOCKET, SO_RCVBUF, static_cast<int>(packet_length_r));
  r |= opt(SOL_SOCKET, SO_SNDBUF, static_cast<int>(G_SO_TASK::page_size_w));
  opt(IPPROTO_TCP, TCP_NODELAY, 1);
  if (listen) r |= opt(IPPROTO_TCP, TCP_FASTOPEN, cw_connections);
  r |= opt(IPPROTO_TCP, TCP_LINGER2, 4);
  opt(IPPROTO_TCP, TCP_USER_TIMEOUT, 300000);
  r |= opt(IPPROTO_TCP, TCP_QUICKACK, 1);
  // SO_REUSEADDR only: with SO_REUSEPORT a second hub could bind the same
  // port and the kernel would split the clients into two chats that never
  // see each other. Without it the second hub fails at bind.
  r |= opt(SOL_SOCKET, SO_REUSEADDR, 1);
  return r;
}

int G_SOCKET::socket_keep_alive(int so) {
  int r = 0;
  auto opt = [so](int level, int name, int value) {
    return setsockopt(so, level, name, &value, sizeof(value)) == 0 ? 0 : -1;
  };
  r |= opt(SOL_SOCKET, SO_KEEPALIVE, 1);
  r |= opt(IPPROTO_TCP, TCP_KEEPINTVL, 75);
  r |= opt(IPPROTO_TCP, TCP_KEEPCNT, 4);
  return r;
}

G_SO_TASK* G_SOCKET::get_free_server() {
  for (uint32_t i = 0; i < cw_connections; ++i) {
    bool expected = false;
    if (task_table[i].b_connected.compare_exchange_strong(expected, true)) return &task_table[i];
  }
  return nullptr;
}

G_SOCKET::~G_SOCKET() {
  if (b_configured) {
    b_configured = false;
    g_tls_t::free_ctx();
    mem.free_ram();
  }
  // task_table and mem are destroyed by the compiler in reverse order
  // (tasks 31 down to 0, then mem).
}
