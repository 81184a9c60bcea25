#include "relay/g_so_task.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "relay/g_socket.hpp"
#include "support/g_console.hpp"

G_SO_TASK* G_SO_TASK::tasks = nullptr;
uint16_t G_SO_TASK::w_connections = 0;
uint64_t G_SO_TASK::page_size_r = 0;
uint64_t G_SO_TASK::page_size_w = 0;
uint64_t G_SO_TASK::stack_size = 0;
bool G_SO_TASK::b_listen = false;
std::atomic<bool> G_SO_TASK::b_stop{false};
std::atomic<int32_t> G_SO_TASK::task_count{0};
std::atomic<int> G_SO_TASK::so_listen{-1};
std::atomic<bool> G_SO_TASK::b_print_was_active{false};
uint32_t G_SO_TASK::ref_count = 0;
g_event G_SO_TASK::e_thread_p;
g_thread G_SO_TASK::h_thread_p;

G_SO_TASK::G_SO_TASK() {
  task_id = ref_count++;
  e_send.init(false, false);
  e_send_done.init(false, true);
}

G_SO_TASK::~G_SO_TASK() {
  b_running = false;
  --ref_count;
  b_relay = false;
  print = false;
  write = false;
  page_r = nullptr;
  if (task_id == 0) {
    // Join the print thread after closing its event, so that it has finished
    // before the static thread object is destroyed at process exit.
    e_thread_p.close();
    h_thread_p.wait();
    h_thread_p.close();
  }
  g_tls_t& tls = ws.tls;
  if (tls.so != -1) {
    wprintf(L"\n!! server %02u  so %i %i\n", task_id, (int)tls.so_attached, (int)tls.so);
  }
  tls.b_abort = true;
  tls.end_session();
  e_thread_r.close();
  e_thread_w.close();
  e_send.close();
  e_send_done.close();
  if (h_thread_r.b_valid) {
    if (b_connected) {
      wprintf(L":: server %02u  terminate_r so %i\n", task_id, (int)tls.so_attached);
      h_thread_r.kill();
    } else {
      const int old = so_listen.exchange(-1);
      if (old != -1) {
        ::shutdown(old, SHUT_RDWR);
        ::close(old);
      }
      h_thread_r.wait();
    }
    h_thread_r.close();
  }
  if (h_thread_w.b_valid) {
    if (b_connected) {
      wprintf(L":: server %02u  terminate_w so %i\n", task_id, (int)tls.so_attached);
      h_thread_w.kill();
    } else {
      h_thread_w.wait();
    }
    h_thread_w.close();
  }
}

void G_SO_TASK::init_task() {
  ws.tls.p_recv = page_r;
  ws.tls.p_recv_size = page_size_r;
  b_running = true;
  e_thread_r.init(false, false);
  h_thread_r.conf_stack(stack_size, true);
  int r = h_thread_r.create(bootstrap_r, this);
  if (r == 0 && write) {
    e_thread_w.init(false, false);
    h_thread_w.conf_stack(stack_size, true);
    r = h_thread_w.create(bootstrap_w, this);
  }
  if (r != 0) {
    print_format_inline(r, L"CreateThread(NULL, 0, bootstrap_r/w, this, 0, NULL)");
    fflush(stdout);
    exit(r);
  }
}

void G_SO_TASK::init_print() {
  e_thread_p.init(false, false);
  h_thread_p.conf_stack(stack_size, true);
  const int r = h_thread_p.create(bootstrap_p, this);
  if (r != 0) {
    print_format_inline(r, L"CreateThread(NULL, 0, bootstrap_p, this, 0, NULL)");
    fflush(stdout);
    exit(r);
  }
}

void* G_SO_TASK::bootstrap_p(void* task) {
  G_SO_TASK* t = static_cast<G_SO_TASK*>(task);
  while (e_thread_p.wait() == 0 && t->b_running) {
  }
  // Task 0's destructor joins and closes the thread object.
  return nullptr;
}

int G_SO_TASK::work_p() {
  while (e_thread_p.wait() == 0 && b_running) {
  }
  return -1;
}

void* G_SO_TASK::bootstrap_r(void* task) {
  G_SO_TASK* t = static_cast<G_SO_TASK*>(task);
  if (t->e_thread_r.wait() == 0) {
    if (b_listen) {
      t->start_server();
    } else {
      t->start_client(&t->e_thread_r, true);
    }
  }
  t->b_running = false;
  t->e_send.close();
  t->e_send_done.close();
  t->e_thread_w.close();
  t->ws.tls.end_session();
  // Joined, not left to close itself: a thread that only forgets its own
  // handle is never reclaimed. The hub joins this thread the same way.
  t->h_thread_w.wait();
  t->h_thread_w.close();
  return nullptr;
}

void* G_SO_TASK::bootstrap_w(void* task) {
  G_SO_TASK* t = static_cast<G_SO_TASK*>(task);
  {
    // A send thread woken for a delivery must not preempt the receive thread
    // that is still fanning the same message out: without wake-up preemption
    // a fan-out to N receivers costs N wake-ups instead of 2N context switches.
    sched_param sp{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &sp);
  }
  if (b_listen || t->e_thread_w.wait() == 0) t->start_client(&t->e_thread_w, false);
  t->b_running = false;
  t->e_thread_r.close();
  t->ws.tls.end_session();
  return nullptr;
}

void G_SO_TASK::print_kind() {
  const bool tls = ws.tls.get_status() == 0;
  const bool web = ws.b_websocket;
  const char* kind = tls ? (web ? "WSS" : "TLS") : (web ? "WS" : "RAW");
  wprintf(L"%s\n", kind);
}

int G_SO_TASK::start_server() {
  const timeval tv_detect{0, 500000};
  const timeval tv_none{0, 0};
  g_tls_t& tls = ws.tls;
  while (!b_stop) {
    addr_listen_size = sizeof(sockaddr_in);
    socklen_t len = addr_listen_size;
    const int so = ::accept(so_listen, reinterpret_cast<sockaddr*>(&addr_listen), &len);
    addr_listen_size = len;
    if (so == -1) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == ECONNRESET) {
        if (b_stop) return 0;
        continue;
      }
      if (err == EMFILE) {
        const int old = so_listen.exchange(-1);
        if (old != -1) {
          ::shutdown(old, SHUT_RDWR);
          ::close(old);
        }
      }
      if (b_stop) return -1;
      b_stop = true;
      b_running = false;
      const int listening = so_listen;
      if (listening == -1) return -1;
      wprintf(L"!! server %02u  accept(so_listen:%i, (sockaddr *) &addr_listen:%08llx, "
              L"&addr_listen_size:%u)\n",
              task_id, listening, (unsigned long long)(uintptr_t)&addr_listen,
              addr_listen_size);
      print_format_inline(err, nullptr);
      return -1;
    }

    int32_t count = ++task_count;
    b_connected = true;
    if (report) {
      const unsigned char* a = reinterpret_cast<const unsigned char*>(&addr_listen.sin_addr);
      wprintf(L"\r:: SYN from %u.%u.%u.%u:%u  :: server_%02u.working  active %02u/%02u  so %i  ",
              a[0], a[1], a[2], a[3], (unsigned)ntohs(addr_listen.sin_port), task_id,
              (unsigned)count, (unsigned)w_connections, so);
      if (ws.b_verbose_handshake) {
        wprintf(L"\n");
      } else {
        b_print_was_active = true;
      }
      fflush(stdout);
    }
    G_SOCKET::socket_keep_alive(so);
    setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, &tv_detect, sizeof(tv_detect));

    if (tls.new_server_detect(so) != -1) {
      ws.send_buf = page_w;
      ws.send_buf_size = page_size_w;
      const bool http = ws.client_handshake(page_r, page_size_r) == WEBSOCKET_SRV::HANDSHAKE_HTTP;
      if (report && task_count.load() == count) {
        b_print_was_active = false;
        if (http) {
          wprintf(L"HTTP\n");
        } else {
          print_kind();
        }
      }
      // An answered plain HTTP request is closed below; it never turns ready.
      if (!http) {
        setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, &tv_none, sizeof(tv_none));
        // Reset the send side under the send lock, before the slot turns ready:
        // a sender that saw this slot ready may already be waiting for the lock.
        const bool locked = e_send_done.wait() == 0;
        send_result = 0;
        send_errno = 0;
        size_send = 0;
        b_relay = true;
        if (locked) e_send_done.signal();
        if (e_thread_w.b_valid) e_thread_w.signal();
        work_r();
      }
    }

    tls.end_session();
    b_relay = false;
    // Wait for a send still in flight on the old socket: it must finish (and
    // record its result) before the next connection of this task starts, or
    // its failure would be charged to, or even close, the new connection.
    if (e_send_done.wait() == 0) e_send_done.signal();
    ws.b_websocket = false;
    b_connected = false;
    count = --task_count;
    if (report) {
      bool expected = true;
      if (b_print_was_active.compare_exchange_strong(expected, false)) wprintf(L"\n\n");
      wprintf(L":: server_%02u.fin  active %02u/%02u  so %i\n", task_id, (unsigned)count,
              (unsigned)w_connections, so);
    }
    if (b_stop) return 0;
  }
  return 0;
}

int G_SO_TASK::start_client(g_event* e, bool receiver) {
  g_tls_t& tls = ws.tls;
  if (!b_running) return 0;
  // In server mode the send thread serves every later connection of its task
  // from work_w, so once released it must get there even when the connection
  // that released it has already ended: a message handed over meanwhile would
  // otherwise hold the send lock forever.
  bool released = false;
  for (;;) {
    if ((b_connected && tls.so != -1) || (released && !receiver && b_listen)) {
      if (receiver) {
        int32_t count = ++task_count;
        const int so = tls.so;
        if (report) {
          wprintf(L":: client_%02u.working  active %02u  so %i  %s\n", task_id, (unsigned)count,
                  so, tls.get_status() == 0 ? "TLS" : "RAW");
        }
        work_r();
        tls.end_session();
        count = --task_count;
        if (report) {
          wprintf(L":: client_%02u.fin  active %02u  so %i\n", task_id, (unsigned)count,
                  (int)tls.so_attached);
        }
      } else {
        work_w();
      }
      b_connected = false;
      if (b_stop) return 0;
      if (!b_running) return 0;
      continue;
    }
    if (e->wait() != 0) return -1;
    if (!b_running) return 0;
    released = true;
  }
}

int G_SO_TASK::new_client(int so, bool use_tls) {
  return use_tls ? ws.tls.new_client(so) : ws.tls.new_client_raw(so);
}

int G_SO_TASK::resume() {
  const int r = e_thread_r.signal();
  if (h_thread_w.b_valid) e_thread_w.signal();
  return r;
}

int G_SO_TASK::resume_r() { return e_thread_r.signal(); }

int G_SO_TASK::resume_w() { return e_thread_w.b_valid ? e_thread_w.signal() : 0; }

// ---------------------------------------------------------------------------
// Fan-out data path

void G_SO_TASK::fan_out(char* p, size_t length) {
  for (uint32_t i = 0; i < w_connections; ++i) {
    G_SO_TASK* t = &tasks[i];
    if (t == this || !t->b_relay) continue;
    t->send_packet(p, length);
  }
}

int G_SO_TASK::work_r() {
  g_tls_t& tls = ws.tls;
  tls.user_timeout_ms = 8000;
  const size_t limit = page_size_r - 1;
  // A plain read goes to WebSocket receivers as one frame, whose header
  // (up to 10 bytes) must fit in the same half as the bytes: read at most
  // that much less, or a full read could not be framed and would be lost.
  const size_t limit_plain = page_size_r > 10 ? page_size_r - 10 : limit;
  size_t carry = 0;
  for (;;) {
    errno = 0;
    const int64_t n = tls.recv(page_r + carry, (ws.b_websocket ? limit : limit_plain) - carry);
    if (n <= 0) {
      int err = errno;
      if (err == 0) err = tls.err_recv;
      if (n == 0 || !b_running || err == ECONNABORTED || err == ECONNRESET) return 0;
      if (err != 0) {
        wprintf(L"\n!! recv(%u)  so %i %i\n", task_id, (int)tls.so, (int)tls.so_attached);
        print_format_inline(err, L"");
        return err;
      }
      if (tls.err_tls != 0) {
        wprintf(L"\n!! recv(%u)  TLS error %i  so %i %i\n", task_id, (int)tls.err_tls,
                (int)tls.so, (int)tls.so_attached);
      }
      return 0;
    }
    const size_t available = carry + static_cast<size_t>(n);
    carry = 0;
    if (!ws.b_websocket) {
      fan_out(page_r, available);
      continue;
    }
    char* frame = page_r;
    size_t msg_size_read = available;
    for (;;) {
      char* payload = nullptr;
      const int64_t c = ws.decrypt(frame, msg_size_read, payload);
      if (c <= 0) return 0;
      if (ws.b_frame_incomplete) {
        if (frame != page_r) memmove(page_r, frame, msg_size_read);
        carry = msg_size_read;
        break;
      }
      size_t deliver = static_cast<size_t>(c);
      if (ws.version >= 13) {
        if (static_cast<uint64_t>(c) + 2 > msg_size_read) {
          wprintf(L"ws.decrypt returned size beyond msg_size_read  2 + %llu > %llu\n",
                  (unsigned long long)c, (unsigned long long)msg_size_read);
          tls.b_abort = true;
          return 0;
        }
      } else {
        // Older framing: the result counts the payload and the zero byte that
        // replaced the end marker, and the frame spans result + 1 bytes.
        if (static_cast<uint64_t>(c) + 1 > msg_size_read) {
          wprintf(L"ws.decrypt returned size beyond msg_size_read  1 + %llu > %llu\n",
                  (unsigned long long)c, (unsigned long long)msg_size_read);
          tls.b_abort = true;
          return 0;
        }
        deliver = static_cast<size_t>(c) - 1;
      }
      fan_out(payload, deliver);
      if (ws.b_websocket && ws.b_more_frames) {
        msg_size_read -= static_cast<size_t>((payload + c) - frame);
        frame = payload + c;
        continue;
      }
      break;
    }
  }
}

int G_SO_TASK::send_packet(char* payload, size_t length) {
  if (e_send_done.wait() != 0) return 0;
  if (send_result == -1) {
    const uint32_t err = send_errno;  // read under the lock
    e_send_done.signal();
    if (err != ECONNABORTED && err != ECONNRESET) {
      print_format_inline(static_cast<int>(err),
                          L"!! send_packet() !! work_w() !! send(so, p_send, size_send, SO_SEND_FLAGS)");
    }
    return 0;
  }
  if (length == 0 || !b_relay || ws.tls.so == -1) {
    e_send_done.signal();
    return 0;
  }
  if (ws.b_websocket) {
    p_send = ws.encode_msg(page_w_cur, size_w_half, payload, length);
  } else if (length <= size_w_half) {
    memcpy(page_w_cur, payload, length);
    p_send = page_w_cur;
  } else {
    // Never send what was not copied for this message.
    p_send = nullptr;
  }
  size_send = length;
  if (length == 0 || p_send == nullptr) {
    e_send_done.signal();
    return 0;
  }
  // Switch halves before the hand-over: once the send thread has the message
  // it may give the lock to the next sender at any moment.
  page_w_cur = page_w_index == 0 ? page_w + size_w_half : page_w;
  page_w_index ^= 1;
  // The send path is idle (we hold its lock), so write what the socket
  // takes at once ourselves: no wake-up and no thread hand-over for the
  // common case. Whatever remains, and any failure, goes to the send
  // thread, which blocks, records the result and closes as usual. (Server
  // mode only; client mode keeps the plain hand-over.)
  if (b_listen && ws.tls.b_tls) {
    // Encrypted here; left-over records are the send thread's to finish.
    const int64_t w = ws.tls.send_tls_nowait(p_send, size_send);
    if (w > 0) {
      send_result = w;
      e_send_done.signal();
      return 1;
    }
  } else if (b_listen) {
    const int64_t w = ws.tls.send_nowait(p_send, size_send);
    if (w > 0) {
      if (static_cast<uint64_t>(w) == size_send) {
        send_result = w;
        e_send_done.signal();
        return 1;
      }
      p_send += w;
      size_send -= static_cast<uint64_t>(w);
    }
  }
  e_send.signal();
  return 1;
}

int G_SO_TASK::work_w() {
  g_tls_t& tls = ws.tls;
  for (;;) {
    if (e_send.wait() != 0) return -1;
    errno = 0;
    const int64_t n = tls.has_pending() ? tls.send_pending() : tls.send(p_send, size_send);
    send_result = n;
    if (n == -1) {
      int err = errno;
      if (err == 0) err = tls.err_send;
      send_errno = static_cast<uint32_t>(err);
      tls.end_session();
    }
    e_send_done.signal();
  }
}

void G_SO_TASK::reset() {
  send_result = 0;
  send_errno = 0;
  size_send = 0;
  b_relay = true;
}

void G_SO_TASK::assign_send_buffer(char* buffer, size_t size) {
  p_send = nullptr;
  page_w_index = 0;
  size_w_half = size / 2;
  page_w = page_w_cur = buffer;
}
