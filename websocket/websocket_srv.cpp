// WEBSOCKET_SRV construction, destruction and its own framed send.
#include "websocket/websocket_srv.hpp"

#include <cstring>
#include <cwchar>

WEBSOCKET_SRV::WEBSOCKET_SRV() {
  sem_send.init(false, true);
}

WEBSOCKET_SRV::~WEBSOCKET_SRV() {
  b_websocket = false;
  // Wakes any send_msg caller still waiting; the members then go in reverse
  // order of declaration: tls, sem_send, crypt.
  sem_send.close();
}

int64_t WEBSOCKET_SRV::send_msg(char* str, size_t str_len) {
  if (!b_websocket) {
    if (b_verbose_send) wprintf(L"*** send_msg() NOT CONNECTED\n%s\n", str ? str : "");
    return -1;
  }
  if (str == nullptr) return -1;
  size_t length = str_len ? str_len : strlen(str);
  if (b_verbose_send) wprintf(L"%.*s", (int)length, str);

  if (sem_send.wait() != 0) return -1;
  char* frame = encode_msg(send_buf, send_buf_size, str, length);
  if (frame == nullptr) {
    sem_send.signal();
    return -1;
  }
  int64_t r = tls.send(frame, length);
  sem_send.signal();
  return r;
}
