// WebSocket frame decoding and the frame walk: bytes in, messages, replies
// and closes out through the caller's handler; see ws_parser.hpp.
#include "websocket/ws_parser.hpp"

#include "support/g_mask.hpp"
#include "support/g_utf8.hpp"

namespace {

inline uint8_t byte_at(const char* p, size_t i) {
  return (uint8_t)p[i];
}

inline bool is_control(uint32_t opcode) {
  return opcode >= 8;
}

// Opcodes RFC 6455 defines: continuation, text, binary, close, ping, pong.
inline bool is_defined(uint32_t opcode) {
  return opcode <= 2 || (opcode >= 8 && opcode <= 10);
}

// Close codes a peer may send (RFC 6455 section 7.4 and the IANA registry).
inline bool is_valid_close_code(uint16_t c) {
  return (c >= 1000 && c <= 1003) || (c >= 1007 && c <= 1014) || (c >= 3000 && c <= 4999);
}

constexpr int64_t kProtocolFault = -(int64_t)WS_CLOSE_PROTOCOL;

int64_t decode_old(char* data, size_t len, ws_frame_t& f) {
  f.opcode = WS_OPCODE_AUTO;
  f.fin = true;
  if (len == 0) return WS_FRAME_PARTIAL;
  const uint8_t b0 = byte_at(data, 0);
  if (b0 == 0xFF) {
    // The closing handshake 0xFF 0x00: a close without payload. Other
    // length-prefixed frames are not used by any client of this form.
    f.opcode = WS_OPCODE_CLOSE;
    if (len == 1) return WS_FRAME_PARTIAL;
    if (byte_at(data, 1) != 0x00) return kProtocolFault;
    f.offset = 2;
    f.size = 2;
    return 2;
  }
  if (b0 != 0x00) return kProtocolFault;
  f.offset = 1;
  const char* end_marker = len > 1 ? (const char*)memchr(data + 1, 0xFF, len - 1) : nullptr;
  if (end_marker == nullptr) return WS_FRAME_PARTIAL;
  // 0x00 0xFF is an empty message.
  f.payload = (uint64_t)(end_marker - data) - 1;
  f.size = f.payload + 2;
  return (int64_t)f.size;
}

}  // namespace

// ---------------------------------------------------------------------------
// one frame

int64_t WS_PARSER::decode(char* data, size_t len, bool old, ws_frame_t& f) {
  f.offset = 0;
  f.payload = 0;
  f.size = 0;
  if (old) return decode_old(data, len, f);
  if (len == 0) return WS_FRAME_PARTIAL;

  // The first byte alone already tells most faults: fail as early as the
  // peer can be told.
  const uint8_t b0 = byte_at(data, 0);
  const uint32_t opcode = b0 & 0x0F;
  const bool fin = (b0 & 0x80) != 0;
  if ((b0 & 0x70) != 0 || !is_defined(opcode) || (is_control(opcode) && !fin)) return kProtocolFault;
  f.opcode = opcode;
  f.fin = fin;
  if (len == 1) return WS_FRAME_PARTIAL;

  const uint8_t b1 = byte_at(data, 1);
  const uint8_t l7 = b1 & 0x7F;
  // Client frames are masked; a server that accepted unmasked ones would
  // let a page's script smuggle chosen bytes past proxies.
  if ((b1 & 0x80) == 0) return kProtocolFault;
  if (is_control(opcode) && l7 > CONTROL_MAX) return kProtocolFault;

  uint64_t payload_len;
  size_t header;
  if (l7 <= 125) {
    payload_len = l7;
    header = 2;
  } else if (l7 == 126) {
    if (len < 4) return WS_FRAME_PARTIAL;
    payload_len = ((uint64_t)byte_at(data, 2) << 8) | byte_at(data, 3);
    header = 4;
  } else {
    if (len < 10) return WS_FRAME_PARTIAL;
    payload_len = 0;
    for (size_t i = 2; i < 10; ++i)
      payload_len = (payload_len << 8) | byte_at(data, i);
    header = 10;
    // The most significant bit must be 0 (RFC 6455 section 5.2).
    if (payload_len >> 63) return kProtocolFault;
  }
  const size_t offset = header + 4;
  f.payload = payload_len;
  f.size = (uint64_t)offset + payload_len;  // below 2^63 + 14: no overflow
  if ((uint64_t)len < f.size) return WS_FRAME_PARTIAL;

  uint8_t key[4];
  memcpy(key, data + header, 4);
  f.offset = offset;
  g_mask(data + offset, data + offset, (size_t)payload_len, key);
  return (int64_t)f.size;
}

uint16_t WS_PARSER::close_answer(const char* payload, size_t n) {
  if (n == 0) return WS_CLOSE_NORMAL;
  if (n == 1) return WS_CLOSE_PROTOCOL;
  const uint16_t code = (uint16_t)((byte_at(payload, 0) << 8) | byte_at(payload, 1));
  if (!is_valid_close_code(code) || !utf8_well_formed((const unsigned char*)payload + 2, n - 2))
    return WS_CLOSE_PROTOCOL;
  return code;
}

size_t WS_PARSER::close_frame(char* out, uint16_t code, bool old) {
  if (old) {
    // The old framing's closing handshake, 0xFF 0x00, carries no code.
    out[0] = (char)0xFF;
    out[1] = 0x00;
    return 2;
  }
  out[0] = (char)0x88;
  out[1] = 2;
  out[2] = (char)(code >> 8);
  out[3] = (char)code;
  return 4;
}

// ---------------------------------------------------------------------------
// the frame walk

void WS_PARSER::begin(char* buf, size_t cap, uint32_t version) {
  rx_version = version;
  rx_buf = buf;
  rx_cap = cap;
  rx_end = rx_next = rx_msg = rx_msg_len = 0;
  rx_frame = ws_frame_t{};
  rx_msg_opcode = 0;
  rx_utf8 = UTF8_ACCEPT;
  rx_part_checked = 0;
  close_code = 0;
  reply_size = 0;
}

char* WS_PARSER::room(size_t& n) {
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
  n = rx_cap - rx_end;
  return rx_buf + rx_end;
}

void WS_PARSER::filled(size_t n) {
  rx_end += n;
  if (rx_end > rx_cap) rx_end = rx_cap;
}

int WS_PARSER::close_with(uint16_t code) {
  close_code = code;
  reply_size = close_frame(reply, code, rx_version < 13);
  // Nothing more is parsed on this connection.
  rx_version = 0;
  return WS_WALK_CLOSE;
}

int WS_PARSER::control(const char* payload, size_t n) {
  switch (rx_frame.opcode) {
    case WS_OPCODE_PING:
      reply[0] = (char)0x8A;
      reply[1] = (char)n;
      memcpy(reply + 2, payload, n);
      reply_size = 2 + n;
      return WS_WALK_REPLY;
    case WS_OPCODE_PONG:
      return WS_WALK_MORE;  // read and ignored
    default:
      return close_with(close_answer(payload, n));
  }
}

int WS_PARSER::next(char*& payload, size_t& len, uint32_t& opcode) {
  if (rx_version == 0) return WS_WALK_END;
  const bool old = rx_version < 13;
  const size_t limit = message_max();
  ws_frame_t& f = rx_frame;
  for (;;) {
    if (rx_next >= rx_end) return WS_WALK_MORE;
    char* data = rx_buf + rx_next;
    const size_t avail = rx_end - rx_next;
    const int64_t c = decode(data, avail, old, f);
    if (c < 0) return close_with((uint16_t)-c);

    const bool data_frame = !is_control(f.opcode);
    if (!old && data_frame) {
      // Fragmentation: a continuation needs an open message, a new message
      // must not start inside one.
      const bool continuation = f.opcode == 0;
      if (continuation != (rx_msg_opcode != 0)) return close_with(WS_CLOSE_PROTOCOL);
    }

    if (c == WS_FRAME_PARTIAL) {
      // Refuse as soon as the size is known, not when the buffer is full.
      // A control frame is not part of the message; it only has to fit
      // behind the joined bytes, which stay at the front of the buffer.
      const uint64_t joined = rx_msg_opcode != 0 ? rx_msg_len : 0;
      if (!old && f.size != 0 && (data_frame ? joined + f.payload > limit : joined + f.size > rx_cap))
        return close_with(WS_CLOSE_TOO_BIG);
      if (old && avail - 1 > limit) return close_with(WS_CLOSE_TOO_BIG);
      const uint32_t type = rx_msg_opcode != 0 ? rx_msg_opcode : f.opcode;
      if (!old && data_frame && f.size != 0 && type == WS_OPCODE_TEXT && partial_text_invalid(data, avail))
        return close_with(WS_CLOSE_INVALID_DATA);
      return WS_WALK_MORE;
    }

    char* const cur = data + f.offset;
    const size_t n = (size_t)f.payload;
    rx_next += (size_t)c;
    // What was checked of this frame while it was incomplete.
    const size_t checked = rx_part_checked;
    const uint32_t checked_utf8 = rx_part_utf8;
    rx_part_checked = 0;

    if (!data_frame) {
      const int r = control(cur, n);
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

    const uint32_t type = rx_msg_opcode != 0 ? rx_msg_opcode : f.opcode;
    const size_t joined = rx_msg_opcode != 0 ? rx_msg_len : 0;
    if (joined + n > limit) return close_with(WS_CLOSE_TOO_BIG);
    if (type == WS_OPCODE_TEXT) {
      // Checked fragment by fragment, so that a bad text fails at once;
      // bytes already checked while the frame was incomplete are not again.
      const uint32_t s =
          checked != 0 ? utf8_step(checked_utf8, (const unsigned char*)cur + checked, n - checked)
                       : utf8_step(rx_msg_opcode != 0 ? rx_utf8 : UTF8_ACCEPT, (const unsigned char*)cur, n);
      if (s == UTF8_REJECT || (f.fin && s != UTF8_ACCEPT)) return close_with(WS_CLOSE_INVALID_DATA);
      rx_utf8 = s;
    }

    if (rx_msg_opcode == 0) {
      if (f.fin) {
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
    if (!f.fin) continue;
    payload = rx_buf + rx_msg;
    len = rx_msg_len;
    opcode = type;
    rx_msg_opcode = 0;
    rx_msg_len = 0;
    return WS_WALK_MESSAGE;
  }
}

bool WS_PARSER::partial_text_invalid(const char* data, size_t avail) {
  // The header is complete (the frame's size is known), the payload is not.
  const size_t offset = (size_t)(rx_frame.size - rx_frame.payload);
  if (avail <= offset) return false;
  const size_t have = avail - offset;
  if (rx_part_checked == 0) rx_part_utf8 = rx_msg_opcode != 0 ? rx_utf8 : UTF8_ACCEPT;
  const uint8_t* key = (const uint8_t*)data + offset - 4;
  const char* p = data + offset;
  unsigned char chunk[256];
  while (rx_part_checked < have) {
    const size_t from = rx_part_checked;
    const size_t n = have - from < sizeof(chunk) ? have - from : sizeof(chunk);
    g_mask(chunk, p + from, n, key, from);
    rx_part_utf8 = utf8_step(rx_part_utf8, chunk, n);
    rx_part_checked = from + n;
    if (rx_part_utf8 == UTF8_REJECT) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// server frames

size_t ws_frame_header(char* at, size_t len, uint32_t opcode) {
  const size_t header = ws_frame_header_size(len);
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
    for (int i = 0; i < 8; ++i)
      at[2 + i] = (char)(l >> (56 - 8 * i));
  }
  return header;
}

int ws_frame_append(char* buf, size_t buf_size, size_t& pos, const char* payload, size_t len, uint32_t opcode,
                    bool old) {
  if (pos > buf_size) return WS_APPEND_SKIPPED;
  const size_t room = buf_size - pos;
  char* w = buf + pos;
  if (old) {
    if (len != 0 && memchr(payload, 0xFF, len) != nullptr) return WS_APPEND_SKIPPED;
    if (room < 2 || room - 2 < len) return WS_APPEND_FULL;
    w[0] = 0x00;
    memcpy(w + 1, payload, len);
    w[len + 1] = (char)0xFF;
    pos += len + 2;
    return WS_APPEND_DONE;
  }
  const size_t header = ws_frame_header_size(len);
  if (room < header || room - header < len) return WS_APPEND_FULL;
  ws_frame_header(w, len, opcode);
  if (len != 0) memcpy(w + header, payload, len);
  pos += header + len;
  return WS_APPEND_DONE;
}
