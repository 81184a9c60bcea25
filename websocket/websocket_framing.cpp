// WebSocket framing: in-place frame decoding, server frame encoding and the
// text/binary decision for outgoing frames.
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

}  // namespace

int64_t WEBSOCKET_SRV::decrypt(char* data, size_t len, char*& cursor) {
  const uint32_t v = version;
  if (v == 0) return -8;
  if (v < 13) return decrypt_old(data, len, cursor);

  b_frame_incomplete = false;
  // The previous call wrote the payload's terminating zero over this frame's
  // first byte.
  if (b_more_frames && len > 0) data[0] = saved_byte;
  b_more_frames = false;

  if (len == 0 || byte_at(data, 0) == 0x88) {
    version = 0;
    static const char close_frame[4] = {(char)0x88, 0x02, 0x03, (char)0xE8};
    tls.send(close_frame, sizeof(close_frame));
    return -8;
  }

  const uint8_t b0 = byte_at(data, 0);
  if (b0 & 0x70) return -1;
  const uint8_t opcode = b0 & 0x0F;
  if (opcode > 2) return 0;
  const bool fin = (b0 & 0x80) != 0;
  if (opcode == 0) {
    if (!b_continuation) return -2;
  } else {
    b_continuation = !fin;
  }

  if (len == 1) {
    b_frame_incomplete = true;
    return 1;
  }

  const uint8_t b1 = byte_at(data, 1);
  const uint8_t l7 = b1 & 0x7F;
  const bool masked = (b1 & 0x80) != 0;
  uint64_t payload_len;
  size_t header;
  if (l7 <= 125) {
    payload_len = l7;
    header = 2;
  } else if (l7 == 126) {
    if (len <= 3) {
      b_frame_incomplete = true;
      return (int64_t)len;
    }
    payload_len = ((uint64_t)byte_at(data, 2) << 8) | byte_at(data, 3);
    header = 4;
  } else {
    if (len <= 9) {
      b_frame_incomplete = true;
      return (int64_t)len;
    }
    payload_len = 0;
    for (size_t i = 2; i < 10; ++i) payload_len = (payload_len << 8) | byte_at(data, i);
    header = 10;
  }
  cursor = data + header;

  uint8_t key[4] = {0, 0, 0, 0};
  size_t offset = header;  // header <= len holds here
  if (masked) {
    if (len - header < 4) {
      b_frame_incomplete = true;
      return (int64_t)len;
    }
    memcpy(key, data + header, 4);
    offset += 4;
    cursor = data + offset;
  }

  // Whatever the length field claims, the payload must lie inside len.
  const size_t available = len - offset;
  if ((uint64_t)available < payload_len) {
    b_frame_incomplete = true;
    return (int64_t)len;
  }
  const size_t n = (size_t)payload_len;

  if (masked) unmask(cursor, n, key);
  if (available > n) {
    b_more_frames = true;
    saved_byte = cursor[n];
  }
  cursor[n] = 0;
  return (int64_t)n;
}

int64_t WEBSOCKET_SRV::decrypt_old(char* data, size_t len, char*& cursor) {
  b_frame_incomplete = false;
  b_more_frames = false;

  if (len == 0) {
    version = 0;
    return -8;
  }
  if (byte_at(data, 0) != 0x00) return -1;
  // Only the 0x00 has arrived: wait for the rest, as for any split frame.
  if (len == 1) {
    cursor = data + 1;
    b_frame_incomplete = true;
    return 1;
  }

  char* end_marker = (char*)memchr(data + 1, 0xFF, len - 1);
  if (end_marker == nullptr) {
    cursor = data + 1;
    b_frame_incomplete = true;
    return (int64_t)len;
  }
  *end_marker = 0;
  const size_t index = (size_t)(end_marker - data);
  if (index == 1) {
    version = 0;
    return -8;
  }
  cursor = data + 1;
  if (index + 1 < len) b_more_frames = true;
  return (int64_t)index;
}

char* WEBSOCKET_SRV::encode_msg(char* buf, size_t buf_size, char* payload, size_t& len) {
  if (buf == nullptr || payload == nullptr || len == 0) return nullptr;
  const uint32_t v = version;
  if (v == 0) return nullptr;
  const bool old = v < 13;

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
    if (dst != payload) memmove(dst, payload, len);
  }

  if (old) {
    dst[-1] = 0x00;
    dst[len] = (char)0xFF;
    len += 2;
    return dst - 1;
  }

  uint32_t opcode = get_frame_type(dst, len);
  // A text frame must be valid UTF-8 by itself; the scanner tolerates
  // characters split across messages and a few malformed sequences.
  if (opcode == 1 && !utf8_well_formed((const unsigned char*)dst, len)) opcode = 2;
  const char first = (char)(0x80 | (opcode & 0x0F));

  char* start;
  if (len <= 125) {
    start = dst - 2;
    start[1] = (char)len;
  } else if (len <= 65535) {
    start = dst - 4;
    start[1] = 126;
    start[2] = (char)(len >> 8);
    start[3] = (char)len;
  } else {
    start = dst - 10;
    start[1] = 127;
    const uint64_t l = len;
    for (int i = 0; i < 8; ++i) start[2 + i] = (char)(l >> (56 - 8 * i));
  }
  start[0] = first;
  len += (size_t)(dst - start);
  return start;
}

uint32_t WEBSOCKET_SRV::get_frame_type(const char* data, size_t len) {
  if (frame_type_fixed != 0) {
    frame_type = frame_type_fixed;
    return frame_type;
  }
  if (frame_type != 1) return frame_type;
  if (len == 0 || data == nullptr) return 1;

  const bool inside = utf8_start == 0 && utf8_pending > 0;
  if ((len == 1 && byte_at(data, 0) == 0xFF) ||
      (len == 2 && byte_at(data, 0) == 0x00 && byte_at(data, 1) == 0xFF)) {
    if (inside) frame_type = 2;
    utf8_start = 0;
    utf8_pending = 0;
    return 2;
  }

  uint32_t verdict = 1;
  for (size_t i = 0; i < len; ++i) {
    const uint8_t c = byte_at(data, i);
    const bool start = utf8_start != 0;
    const bool in_char = !start && utf8_pending > 0;

    if (in_char) {
      if (c >= 0x80 && c <= 0xBF) {
        if (--utf8_pending <= 0) utf8_pending = 0;
        continue;
      }
      frame_type = 2;
      return 2;
    }

    if (c <= 0x7F) {
      utf8_start = 0;
      utf8_pending = 0;
    } else if (c <= 0xBF) {
      if (!start) {
        frame_type = 2;
        return 2;
      }
      // A message that begins in the middle of a character.
      verdict = 2;
      if (--utf8_pending <= 0) {
        utf8_start = 0;
        utf8_pending = 0;
      }
    } else if (c >= 0xC1 && c <= 0xD7) {
      utf8_start = 0;
      utf8_pending = 1;
    } else if (c >= 0xE1 && c <= 0xEF) {
      utf8_start = 0;
      utf8_pending = 2;
    } else if (c >= 0xF1 && c <= 0xF7) {
      utf8_start = 0;
      utf8_pending = 3;
    } else if (c >= 0xF8) {
      if (!start) {
        frame_type = 2;
        return 2;
      }
      verdict = 2;
      utf8_start = 0;
      utf8_pending = 0;
    } else {
      // 0xC0, 0xD8..0xDF, 0xE0, 0xF0
      frame_type = 2;
      return 2;
    }
  }
  return verdict;
}

bool WEBSOCKET_SRV::utf8_well_formed(const unsigned char* s, size_t n) {
  size_t i = 0;
  while (i < n) {
    // ASCII runs, 8 bytes per step.
    while (i + 8 <= n) {
      uint64_t w;
      memcpy(&w, s + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
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
      return false;  // continuation byte, 0xC0, 0xC1, 0xF5..0xFF
    }
    if (n - i - 1 < need) return false;
    if (s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k <= need; ++k)
      if ((s[i + k] & 0xC0) != 0x80) return false;
    i += need + 1;
  }
  return true;
}
