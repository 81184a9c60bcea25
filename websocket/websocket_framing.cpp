// WebSocket framing: in-place frame decoding, the frame walk that turns a
// connection's bytes into whole messages, and server frame encoding.
#include <cstring>

#include "websocket/websocket_srv.hpp"

namespace {

inline uint8_t byte_at(const char* p, size_t i) { return (uint8_t)p[i]; }

// XORs the 4-byte key into n bytes, 8 bytes per step with the key repeated
// twice in one word; unaligned accesses go through memcpy.
void unmask(char* p, size_t n, const uint8_t key[4]) {
  uint8_t key8[8] = {key[0], key[1], key[2], key[3], key[0], key[1], key[2], key[3]};
  uint64_t k;
  memcpy(&k, key8, 8);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, p + i, 8);
    w ^= k;
    memcpy(p + i, &w, 8);
  }
  for (; i < n; ++i) p[i] = (char)(byte_at(p, i) ^ key[i & 3]);
}

inline bool is_control(uint32_t opcode) { return opcode >= 8; }

// Opcodes RFC 6455 defines: continuation, text, binary, close, ping, pong.
inline bool is_defined(uint32_t opcode) {
  return opcode <= 2 || (opcode >= 8 && opcode <= 10);
}

// Close codes a peer may send (RFC 6455 section 7.4 and the IANA registry).
inline bool is_valid_close_code(uint16_t c) {
  return (c >= 1000 && c <= 1003) || (c >= 1007 && c <= 1014) || (c >= 3000 && c <= 4999);
}

// UTF-8 validator state: the continuation bytes still expected (low byte)
// and the range allowed for the next one (lowest and highest byte above).
inline uint32_t utf8_state(uint32_t need, uint32_t lo, uint32_t hi) {
  return need | (lo << 8) | (hi << 16);
}

}  // namespace

// ---------------------------------------------------------------------------
// one frame

int64_t WEBSOCKET_SRV::decrypt(char* data, size_t len, char*& cursor) {
  const uint32_t v = version;
  if (v == 0) return WS_DECODE_CLOSED;
  if (v < 13) return decrypt_old(data, len, cursor);

  b_frame_incomplete = false;
  b_more_frames = false;
  frame_size = 0;
  frame_payload = 0;
  if (len == 0) {
    b_frame_incomplete = true;
    return 0;
  }

  // The first byte alone already tells most faults: fail as early as the
  // peer can be told.
  const uint8_t b0 = byte_at(data, 0);
  const uint32_t opcode = b0 & 0x0F;
  const bool fin = (b0 & 0x80) != 0;
  if ((b0 & 0x70) != 0 || !is_defined(opcode) || (is_control(opcode) && !fin))
    return WS_DECODE_PROTOCOL;
  frame_opcode = opcode;
  frame_fin = fin;
  if (len == 1) {
    b_frame_incomplete = true;
    return (int64_t)len;
  }

  const uint8_t b1 = byte_at(data, 1);
  const uint8_t l7 = b1 & 0x7F;
  // Client frames are masked; a server that accepted unmasked ones would
  // let a page's script smuggle chosen bytes past proxies.
  if ((b1 & 0x80) == 0) return WS_DECODE_PROTOCOL;
  if (is_control(opcode) && l7 > CONTROL_MAX) return WS_DECODE_PROTOCOL;

  uint64_t payload_len;
  size_t header;
  if (l7 <= 125) {
    payload_len = l7;
    header = 2;
  } else if (l7 == 126) {
    if (len < 4) {
      b_frame_incomplete = true;
      return (int64_t)len;
    }
    payload_len = ((uint64_t)byte_at(data, 2) << 8) | byte_at(data, 3);
    header = 4;
  } else {
    if (len < 10) {
      b_frame_incomplete = true;
      return (int64_t)len;
    }
    payload_len = 0;
    for (size_t i = 2; i < 10; ++i) payload_len = (payload_len << 8) | byte_at(data, i);
    header = 10;
    // The most significant bit must be 0 (RFC 6455 section 5.2).
    if (payload_len >> 63) return WS_DECODE_PROTOCOL;
  }
  const size_t offset = header + 4;
  frame_payload = payload_len;
  frame_size = (uint64_t)offset + payload_len;  // below 2^63 + 14: no overflow
  if ((uint64_t)len < frame_size) {
    b_frame_incomplete = true;
    return (int64_t)len;
  }

  uint8_t key[4];
  memcpy(key, data + header, 4);
  cursor = data + offset;
  const size_t n = (size_t)payload_len;
  unmask(cursor, n, key);
  if ((uint64_t)len > frame_size) b_more_frames = true;
  return (int64_t)n;
}

int64_t WEBSOCKET_SRV::decrypt_old(char* data, size_t len, char*& cursor) {
  b_frame_incomplete = false;
  b_more_frames = false;
  frame_size = 0;
  frame_payload = 0;
  frame_opcode = WS_OPCODE_AUTO;
  frame_fin = true;
  if (len == 0) {
    b_frame_incomplete = true;
    return 0;
  }
  const uint8_t b0 = byte_at(data, 0);
  if (b0 == 0xFF) {
    // The closing handshake 0xFF 0x00: a close without payload. Other
    // length-prefixed frames are not used by any client of this form.
    frame_opcode = WS_OPCODE_CLOSE;
    if (len == 1) {
      b_frame_incomplete = true;
      return (int64_t)len;
    }
    if (byte_at(data, 1) != 0x00) return WS_DECODE_PROTOCOL;
    cursor = data + 2;
    frame_size = 2;
    if (len > 2) b_more_frames = true;
    return 0;
  }
  if (b0 != 0x00) return WS_DECODE_PROTOCOL;
  cursor = data + 1;
  char* end_marker = len > 1 ? (char*)memchr(data + 1, 0xFF, len - 1) : nullptr;
  if (end_marker == nullptr) {
    b_frame_incomplete = true;
    return (int64_t)len;
  }
  // 0x00 0xFF is an empty message.
  const size_t n = (size_t)(end_marker - data) - 1;
  frame_size = n + 2;
  frame_payload = n;
  if (frame_size < len) b_more_frames = true;
  return (int64_t)n;
}

// ---------------------------------------------------------------------------
// the frame walk

void WEBSOCKET_SRV::walk_begin(char* buf, size_t cap) {
  rx_buf = buf;
  rx_cap = cap;
  rx_end = rx_next = rx_msg = rx_msg_len = 0;
  rx_msg_opcode = 0;
  rx_utf8 = UTF8_ACCEPT;
  rx_part_checked = 0;
  b_frame_incomplete = false;
  b_more_frames = false;
  close_code = 0;
  c_reply_size = 0;
}

char* WEBSOCKET_SRV::walk_room(size_t& room) {
  // Only the fragmented message joined so far and the unparsed bytes are
  // still needed; the headers between them are dropped on the way.
  const size_t tail = rx_end - rx_next;
  size_t keep = 0;
  if (rx_msg_opcode != 0) {
    if (rx_msg != 0) memmove(rx_buf, rx_buf + rx_msg, rx_msg_len);
    rx_msg = 0;
    keep = rx_msg_len;
  }
  if (tail != 0 && rx_next != keep) memmove(rx_buf + keep, rx_buf + rx_next, tail);
  rx_next = keep;
  rx_end = keep + tail;
  room = rx_cap - rx_end;
  return rx_buf + rx_end;
}

void WEBSOCKET_SRV::walk_filled(size_t n) {
  rx_end += n;
  if (rx_end > rx_cap) rx_end = rx_cap;
}

int WEBSOCKET_SRV::close_with(uint16_t code) {
  close_code = code;
  // Nothing more is decoded or framed for this connection.
  const uint32_t v = version.exchange(0);
  if (v == 0) {
    c_reply_size = 0;  // closed already: there is no frame left to send
    return WS_WALK_CLOSE;
  }
  if (v < 13) {
    // The old framing's closing handshake, 0xFF 0x00, carries no code.
    c_reply[0] = (char)0xFF;
    c_reply[1] = 0x00;
    c_reply_size = 2;
    return WS_WALK_CLOSE;
  }
  c_reply[0] = (char)0x88;
  c_reply[1] = 2;
  c_reply[2] = (char)(code >> 8);
  c_reply[3] = (char)code;
  c_reply_size = 4;
  return WS_WALK_CLOSE;
}

int WEBSOCKET_SRV::walk_control(const char* payload, size_t n) {
  switch (frame_opcode) {
    case WS_OPCODE_PING:
      c_reply[0] = (char)0x8A;
      c_reply[1] = (char)n;
      memcpy(c_reply + 2, payload, n);
      c_reply_size = 2 + n;
      return WS_WALK_REPLY;
    case WS_OPCODE_PONG:
      return WS_WALK_MORE;  // read and ignored
    default:
      break;
  }
  // Close: echo the peer's code, 1000 when it gave none.
  if (n == 0) return close_with(WS_CLOSE_NORMAL);
  if (n == 1) return close_with(WS_CLOSE_PROTOCOL);
  const uint16_t code = (uint16_t)((byte_at(payload, 0) << 8) | byte_at(payload, 1));
  if (!is_valid_close_code(code) ||
      !utf8_well_formed((const unsigned char*)payload + 2, n - 2))
    return close_with(WS_CLOSE_PROTOCOL);
  return close_with(code);
}

int WEBSOCKET_SRV::walk_next(char*& payload, size_t& len, uint32_t& opcode) {
  if (version == 0) return WS_WALK_END;
  const bool old = version < 13;
  const size_t limit = message_max();
  for (;;) {
    if (rx_next >= rx_end) return WS_WALK_MORE;
    char* data = rx_buf + rx_next;
    const size_t avail = rx_end - rx_next;
    char* cur = nullptr;
    const int64_t c = decrypt(data, avail, cur);
    if (c == WS_DECODE_CLOSED) return WS_WALK_END;
    if (c < 0) return close_with(WS_CLOSE_PROTOCOL);

    const bool data_frame = !is_control(frame_opcode);
    if (!old && data_frame) {
      // Fragmentation: a continuation needs an open message, a new message
      // must not start inside one.
      const bool continuation = frame_opcode == 0;
      if (continuation != (rx_msg_opcode != 0)) return close_with(WS_CLOSE_PROTOCOL);
    }

    if (b_frame_incomplete) {
      // Refuse as soon as the size is known, not when the buffer is full.
      // A control frame is not part of the message; it only has to fit
      // behind the joined bytes, which stay at the front of the buffer.
      const uint64_t joined = rx_msg_opcode != 0 ? rx_msg_len : 0;
      if (!old && frame_size != 0 &&
          (data_frame ? joined + frame_payload > limit : joined + frame_size > rx_cap))
        return close_with(WS_CLOSE_TOO_BIG);
      if (old && avail - 1 > limit) return close_with(WS_CLOSE_TOO_BIG);
      const uint32_t type = rx_msg_opcode != 0 ? rx_msg_opcode : frame_opcode;
      if (!old && data_frame && frame_size != 0 && type == WS_OPCODE_TEXT &&
          partial_text_invalid(data, avail))
        return close_with(WS_CLOSE_INVALID_DATA);
      return WS_WALK_MORE;
    }

    const size_t n = (size_t)c;
    rx_next += (size_t)frame_size;
    // What was checked of this frame while it was incomplete.
    const size_t checked = rx_part_checked;
    const uint32_t checked_utf8 = rx_part_utf8;
    rx_part_checked = 0;

    if (!data_frame) {
      const int r = walk_control(cur, n);
      if (r == WS_WALK_MORE) continue;
      return r;
    }

    if (old) {
      if (n > limit) return close_with(WS_CLOSE_TOO_BIG);
      payload = cur;
      len = n;
      opcode = WS_OPCODE_AUTO;
      return WS_WALK_MESSAGE;
    }

    const uint32_t type = rx_msg_opcode != 0 ? rx_msg_opcode : frame_opcode;
    const size_t joined = rx_msg_opcode != 0 ? rx_msg_len : 0;
    if (joined + n > limit) return close_with(WS_CLOSE_TOO_BIG);
    if (type == WS_OPCODE_TEXT) {
      // Checked fragment by fragment, so that a bad text fails at once;
      // bytes already checked while the frame was incomplete are not again.
      const uint32_t s =
          checked != 0 ? utf8_step(checked_utf8, (const unsigned char*)cur + checked, n - checked)
                       : utf8_step(rx_msg_opcode != 0 ? rx_utf8 : UTF8_ACCEPT,
                                   (const unsigned char*)cur, n);
      if (s == UTF8_REJECT || (frame_fin && s != UTF8_ACCEPT))
        return close_with(WS_CLOSE_INVALID_DATA);
      rx_utf8 = s;
    }

    if (rx_msg_opcode == 0) {
      if (frame_fin) {
        payload = cur;
        len = n;
        opcode = type;
        return WS_WALK_MESSAGE;
      }
      // First fragment: the message is joined from here on.
      rx_msg = (size_t)(cur - rx_buf);
      rx_msg_len = n;
      rx_msg_opcode = type;
      continue;
    }
    // A continuation: its payload moves up behind the bytes joined so far.
    char* dst = rx_buf + rx_msg + rx_msg_len;
    if (dst != cur && n != 0) memmove(dst, cur, n);
    rx_msg_len += n;
    if (!frame_fin) continue;
    payload = rx_buf + rx_msg;
    len = rx_msg_len;
    opcode = type;
    rx_msg_opcode = 0;
    rx_msg_len = 0;
    return WS_WALK_MESSAGE;
  }
}

bool WEBSOCKET_SRV::partial_text_invalid(const char* data, size_t avail) {
  // The header is complete (frame_size is known), the payload is not.
  const size_t offset = (size_t)(frame_size - frame_payload);
  if (avail <= offset) return false;
  const size_t have = avail - offset;
  if (rx_part_checked == 0) rx_part_utf8 = rx_msg_opcode != 0 ? rx_utf8 : UTF8_ACCEPT;
  const uint8_t* key = (const uint8_t*)data + offset - 4;
  const uint8_t* p = (const uint8_t*)data + offset;
  unsigned char chunk[256];
  while (rx_part_checked < have) {
    const size_t from = rx_part_checked;
    const size_t n = have - from < sizeof(chunk) ? have - from : sizeof(chunk);
    for (size_t i = 0; i < n; ++i) chunk[i] = (unsigned char)(p[from + i] ^ key[(from + i) & 3]);
    rx_part_utf8 = utf8_step(rx_part_utf8, chunk, n);
    rx_part_checked = from + n;
    if (rx_part_utf8 == UTF8_REJECT) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// encoding

char* WEBSOCKET_SRV::encode_msg(char* buf, size_t buf_size, char* payload, size_t& len,
                                uint32_t opcode) {
  if (buf == nullptr || payload == nullptr) return nullptr;
  const uint32_t v = version;
  if (v == 0) return nullptr;
  const bool old = v < 13;
  // The old framing has no way to carry 0xFF inside a message.
  if (old && len != 0 && memchr(payload, 0xFF, len) != nullptr) return nullptr;

  // Pointers into different buffers are compared as addresses.
  const uintptr_t b = (uintptr_t)buf;
  const uintptr_t p = (uintptr_t)payload;
  char* dst;
  if (p >= b + 10 && p <= b + 16 && p - b < buf_size) {
    const size_t room = buf_size - (size_t)(p - b);
    if (old ? (room < 1 || room - 1 < len) : room < len) return nullptr;
    dst = payload;
  } else {
    size_t offset = old ? 1 : 10;
    if (!old && (buf_size < offset || buf_size - offset < len)) {
      // Too long for the usual place: put it right behind the header it
      // needs, so that a payload which fits with its own header is framed
      // instead of dropped for this receiver.
      offset = len <= 125 ? 2 : len <= 65535 ? 4 : 10;
    }
    if (buf_size < offset) return nullptr;
    const size_t room = buf_size - offset;
    if (old ? (room < 1 || room - 1 < len) : room < len) return nullptr;
    dst = buf + offset;
    if (dst != payload && len != 0) memmove(dst, payload, len);
  }

  if (old) {
    dst[-1] = 0x00;
    dst[len] = (char)0xFF;
    len += 2;
    return dst - 1;
  }

  char* start = dst - frame_header_size(len);
  frame_header(start, len, send_type(dst, len, opcode));
  len += (size_t)(dst - start);
  return start;
}

uint32_t WEBSOCKET_SRV::send_type(const char* payload, size_t len, uint32_t opcode) const {
  if (frame_type_fixed != 0) {
    // A forced text type is still held to UTF-8: a receiver fails the
    // connection on a text frame that is not.
    if (frame_type_fixed == WS_OPCODE_TEXT && !utf8_well_formed((const unsigned char*)payload, len))
      return WS_OPCODE_BINARY;
    return frame_type_fixed;
  }
  if (opcode == WS_OPCODE_TEXT || opcode == WS_OPCODE_BINARY) return opcode;
  return get_frame_type(payload, len);
}

int WEBSOCKET_SRV::frame_append(char* buf, size_t buf_size, size_t& pos, const char* payload,
                                size_t len, uint32_t opcode) {
  const uint32_t v = version;
  if (v == 0 || pos > buf_size) return APPEND_SKIPPED;
  const size_t room = buf_size - pos;
  char* w = buf + pos;
  if (v < 13) {
    if (len != 0 && memchr(payload, 0xFF, len) != nullptr) return APPEND_SKIPPED;
    if (room < 2 || room - 2 < len) return APPEND_FULL;
    w[0] = 0x00;
    memcpy(w + 1, payload, len);
    w[len + 1] = (char)0xFF;
    pos += len + 2;
    return APPEND_DONE;
  }
  const size_t header = frame_header_size(len);
  if (room < header || room - header < len) return APPEND_FULL;
  frame_header(w, len, send_type(payload, len, opcode));
  if (len != 0) memcpy(w + header, payload, len);
  pos += header + len;
  return APPEND_DONE;
}

size_t WEBSOCKET_SRV::frame_header(char* at, size_t len, uint32_t opcode) {
  const size_t header = frame_header_size(len);
  at[0] = (char)(0x80 | (opcode & 0x0F));
  if (header == 2) {
    at[1] = (char)len;
  } else if (header == 4) {
    at[1] = 126;
    at[2] = (char)(len >> 8);
    at[3] = (char)len;
  } else {
    at[1] = 127;
    const uint64_t l = len;
    for (int i = 0; i < 8; ++i) at[2 + i] = (char)(l >> (56 - 8 * i));
  }
  return header;
}

uint32_t WEBSOCKET_SRV::get_frame_type(const char* data, size_t len) const {
  if (frame_type_fixed != 0) return frame_type_fixed;
  if (len == 0 || data == nullptr) return WS_OPCODE_TEXT;
  return utf8_well_formed((const unsigned char*)data, len) ? WS_OPCODE_TEXT : WS_OPCODE_BINARY;
}

// ---------------------------------------------------------------------------
// UTF-8

uint32_t WEBSOCKET_SRV::utf8_step(uint32_t s, const unsigned char* p, size_t n) {
  if (s == UTF8_REJECT) return s;
  uint32_t need = s & 0xFF;
  uint32_t lo = (s >> 8) & 0xFF;
  uint32_t hi = (s >> 16) & 0xFF;
  size_t i = 0;
  while (i < n) {
    if (need == 0) {
      // ASCII runs, 8 bytes per step.
      while (i + 8 <= n) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
      }
      if (i >= n) break;
      const unsigned char c = p[i++];
      if (c < 0x80) continue;
      lo = 0x80;
      hi = 0xBF;
      if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
      } else if (c == 0xE0) {
        need = 2;
        lo = 0xA0;  // overlong below U+0800
      } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
        need = 2;
      } else if (c == 0xED) {
        need = 2;
        hi = 0x9F;  // surrogates
      } else if (c == 0xF0) {
        need = 3;
        lo = 0x90;  // overlong below U+10000
      } else if (c >= 0xF1 && c <= 0xF3) {
        need = 3;
      } else if (c == 0xF4) {
        need = 3;
        hi = 0x8F;  // above U+10FFFF
      } else {
        return UTF8_REJECT;  // continuation byte, 0xC0, 0xC1, 0xF5..0xFF
      }
      continue;
    }
    const unsigned char c = p[i++];
    if (c < lo || c > hi) return UTF8_REJECT;
    lo = 0x80;
    hi = 0xBF;
    --need;
  }
  return need == 0 ? UTF8_ACCEPT : utf8_state(need, lo, hi);
}

bool WEBSOCKET_SRV::utf8_well_formed(const unsigned char* s, size_t n) {
  return utf8_step(UTF8_ACCEPT, s, n) == UTF8_ACCEPT;
}
