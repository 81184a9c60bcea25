// Fuzzes the frame decoder the way the relay drives it (several frames per
// read, frames carried over to the next read), and re-frames every payload.
// Input: byte 0 picks the framing, byte 1 the read size, the rest is the
// client's byte stream.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "websocket/websocket_srv.hpp"

namespace {
WEBSOCKET_SRV* ws_new() {
  static WEBSOCKET_SRV* ws = new WEBSOCKET_SRV;  // tls stays detached (so -1)
  return ws;
}
void check(bool ok) {
  if (!ok) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  WEBSOCKET_SRV& ws = *ws_new();
  const bool old = data[0] & 1;
  ws.version = old ? 8 : 13;
  ws.b_more_frames = ws.b_frame_incomplete = false;
  ws.b_continuation = (data[0] & 2) != 0;
  ws.frame_type = 1;
  ws.utf8_pending = 3;
  ws.utf8_start = 1;
  const size_t chunk = (size_t)data[1] + 1;
  data += 2;
  size -= 2;

  const size_t page = 512;  // the relay reads at most page - 1 bytes
  std::vector<char> page_r(page);
  std::vector<char> out(page + 16);
  size_t carry = 0, pos = 0;
  while (pos < size) {
    size_t room = page - 1 - carry;
    if (room == 0) return 0;  // a frame larger than the buffer never completes
    size_t n = size - pos < chunk ? size - pos : chunk;
    if (n > room) n = room;
    // Fresh heap copy of exactly the bytes the decoder may touch, so ASan
    // flags any access past them.
    memcpy(page_r.data() + carry, data + pos, n);
    pos += n;
    size_t avail = carry + n;
    char* buf = (char*)malloc(avail + 1);
    memcpy(buf, page_r.data(), avail);
    char* frame = buf;
    size_t msg = avail;
    carry = 0;
    for (;;) {
      char* payload = nullptr;
      int64_t c = ws.decrypt(frame, msg, payload);
      if (c <= 0) {
        free(buf);
        return 0;
      }
      if (ws.b_frame_incomplete) {
        check((size_t)c == msg);
        memcpy(page_r.data(), frame, msg);
        carry = msg;
        break;
      }
      check(payload > frame && payload <= frame + msg);
      size_t hand_on = (size_t)c;
      if (old) {
        check((size_t)c + 1 <= msg);
        hand_on = (size_t)c - 1;
      } else {
        check((size_t)c + (size_t)(payload - frame) <= msg);
      }
      check(payload[hand_on] == 0);

      WEBSOCKET_SRV& rx = ws;  // re-frame for a receiver of the same kind
      size_t len = hand_on;
      char* f = len ? rx.encode_msg(out.data(), out.size(), payload, len) : nullptr;
      if (f != nullptr) {
        check(f >= out.data() && f + len <= out.data() + out.size());
        if (!old && (f[0] & 0x0F) == 1) {
          size_t h = len - hand_on;
          check(WEBSOCKET_SRV::utf8_well_formed((const unsigned char*)f + h, hand_on));
        }
      }
      if (!ws.b_more_frames) break;
      msg -= (size_t)((payload + c) - frame);
      frame = payload + c;
    }
    free(buf);
  }
  return 0;
}
