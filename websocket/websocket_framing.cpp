// WebSocket framing of one connection: decrypt (one frame, on the frame
// decoder of ws_parser), the close it answers with, and server frame
// encoding with the text/binary decision for outgoing frames.
#include <cstring>

#include "support/g_utf8.hpp"
#include "websocket/websocket_srv.hpp"

// ---------------------------------------------------------------------------
// one frame

int64_t WEBSOCKET_SRV::decrypt(char* data, size_t len, char*& cursor) {
  const uint32_t v = version;
  if (v == 0) return WS_DECODE_CLOSED;
  b_frame_incomplete = false;
  b_more_frames = false;
  const int64_t r = WS_PARSER::decode(data, len, v < 13, frame);
  if (r == WS_FRAME_PARTIAL) {
    b_frame_incomplete = true;
    return (int64_t)len;
  }
  if (r < 0) return WS_DECODE_PROTOCOL;
  cursor = data + frame.offset;
  if ((uint64_t)len > frame.size) b_more_frames = true;
  if (frame.opcode == WS_OPCODE_CLOSE) {
    // Answered as the receive loop answers it; the connection's framing
    // ends here.
    close_with(WS_PARSER::close_answer(cursor, (size_t)frame.payload));
    if (c_reply_size != 0) (void)tls.send(c_reply, c_reply_size);
    return WS_DECODE_CLOSED;
  }
  return (int64_t)frame.payload;
}

int WEBSOCKET_SRV::close_with(uint16_t code) {
  close_code = code;
  // Nothing more is decoded or framed for this connection.
  const uint32_t v = version.exchange(0);
  // Closed already: there is no frame left to send.
  c_reply_size = v == 0 ? 0 : WS_PARSER::close_frame(c_reply, code, v < 13);
  return WS_WALK_CLOSE;
}

// ---------------------------------------------------------------------------
// encoding

char* WEBSOCKET_SRV::encode_msg(char* buf, size_t buf_size, char* payload, size_t& len, uint32_t opcode) {
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

int WEBSOCKET_SRV::frame_append(char* buf, size_t buf_size, size_t& pos, const char* payload, size_t len,
                                uint32_t opcode) {
  const uint32_t v = version;
  if (v == 0) return APPEND_SKIPPED;
  const bool old = v < 13;
  return ws_frame_append(buf, buf_size, pos, payload, len, old ? opcode : send_type(payload, len, opcode),
                         old);
}

uint32_t WEBSOCKET_SRV::get_frame_type(const char* data, size_t len) const {
  if (frame_type_fixed != 0) return frame_type_fixed;
  if (len == 0 || data == nullptr) return WS_OPCODE_TEXT;
  return utf8_well_formed((const unsigned char*)data, len) ? WS_OPCODE_TEXT : WS_OPCODE_BINARY;
}
