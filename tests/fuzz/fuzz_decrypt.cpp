// Fuzzes the frame walk exactly as the relay drives it: reads of a chosen
// size into the room the walk gives, then every message, reply and close it
// yields, and re-frames every message for receivers of both framings.
// Input: byte 0 picks the framing and the buffer size, byte 1 the read size,
// the rest is the client's byte stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "websocket/websocket_srv.hpp"

namespace {
WEBSOCKET_SRV* ws_new(int i) {
  static WEBSOCKET_SRV* ws[3] = {new WEBSOCKET_SRV, new WEBSOCKET_SRV, new WEBSOCKET_SRV};
  return ws[i];  // transports stay detached (so -1)
}
void check(bool ok) {
  if (!ok) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  WEBSOCKET_SRV& ws = *ws_new(0);
  const bool old = data[0] & 1;
  ws.version = old ? 8 : 13;
  // Buffers from barely above the slack up to a few KiB.
  const size_t cap = WEBSOCKET_SRV::MESSAGE_SLACK + 1 + (size_t)(data[0] >> 1) * 32;
  const size_t chunk = (size_t)data[1] + 1;
  data += 2;
  size -= 2;

  // Exactly cap bytes on the heap, so ASan flags any access past them.
  char* page = (char*)malloc(cap);
  std::vector<char> out(cap);
  WEBSOCKET_SRV& rx13 = *ws_new(1);
  WEBSOCKET_SRV& rx8 = *ws_new(2);
  rx13.version = 13;
  rx8.version = 8;
  ws.walk_begin(page, cap);
  size_t pos = 0;
  bool ended = false;
  while (pos < size && !ended) {
    size_t room = 0;
    char* at = ws.walk_room(room);
    check(room > 0 && at >= page && at + room <= page + cap);
    size_t n = size - pos < chunk ? size - pos : chunk;
    if (n > room) n = room;
    memcpy(at, data + pos, n);
    pos += n;
    ws.walk_filled(n);
    for (;;) {
      char* payload = nullptr;
      size_t len = 0;
      uint32_t opcode = 0;
      const int r = ws.walk_next(payload, len, opcode);
      if (r == WS_WALK_MORE) break;
      if (r == WS_WALK_REPLY) {
        check(ws.c_reply_size >= 2 && ws.c_reply_size <= 2 + WEBSOCKET_SRV::CONTROL_MAX);
        check((uint8_t)ws.c_reply[0] == 0x8A);
        continue;
      }
      if (r != WS_WALK_MESSAGE) {
        if (r == WS_WALK_CLOSE) check(ws.c_reply_size == 4 && (uint8_t)ws.c_reply[0] == 0x88);
        ended = true;
        break;
      }
      check(payload >= page && payload + len <= page + cap);
      check(len <= ws.message_max());
      // A text message has passed the UTF-8 check.
      if (opcode == WS_OPCODE_TEXT)
        check(WEBSOCKET_SRV::utf8_well_formed((const unsigned char*)payload, len));
      for (WEBSOCKET_SRV* rx : {&rx13, &rx8}) {
        size_t flen = len;
        char* f = rx->encode_msg(out.data(), out.size(), payload, flen, opcode);
        if (f == nullptr) {
          // Only the old framing may refuse a message that fits the limit.
          check(rx == &rx8);
          continue;
        }
        check(f >= out.data() && f + flen <= out.data() + out.size());
        if (rx == &rx13 && (f[0] & 0x0F) == 1) {
          const size_t h = flen - len;
          check(WEBSOCKET_SRV::utf8_well_formed((const unsigned char*)f + h, len));
        }
      }
    }
  }
  free(page);
  return 0;
}
