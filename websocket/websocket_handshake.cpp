// Server side of the WebSocket opening handshake: RFC 6455 (SHA-1 accept
// value) and the older Key1/Key2 form (MD5 challenge answer).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <sys/socket.h>
#include <sys/types.h>

#include <strings.h>

#include "web/http_page.hpp"
#include "websocket/websocket_srv.hpp"

namespace {

// Bytes that may start or continue a header value or a token.
inline bool is_value_byte(unsigned char c) { return c >= 0x21 && c <= 0x7F; }

// Copies the bytes from p up to the first CR or end into a FIELD_SIZE field,
// cut to FIELD_SIZE - 1 bytes, zero-terminated.
void copy_line(const char* p, const char* end, char* field) {
  size_t n = 0;
  while (p < end && *p != '\r' && n < WEBSOCKET_SRV::FIELD_SIZE - 1) field[n++] = *p++;
  field[n] = 0;
}

// Scans a Key1/Key2 value up to the first CR or end: counts blanks (0x20
// only) and reduces its digits to the 32-bit key number. Digits beyond the
// field are dropped; with 127 digits kept the number already saturates, so
// dropping more cannot change the key.
struct key_value_t {
  uint32_t blanks = 0;
  uint32_t number = 0;
};

key_value_t scan_key(const char* p, const char* end) {
  key_value_t k;
  char digits[WEBSOCKET_SRV::FIELD_SIZE];
  size_t n = 0;
  for (; p < end && *p != '\r'; ++p) {
    if (*p == ' ') {
      ++k.blanks;
    } else if (*p >= '0' && *p <= '9' && n < WEBSOCKET_SRV::FIELD_SIZE - 1) {
      digits[n++] = *p;
    }
  }
  // A number beyond 64 bits counts as the largest 64-bit value.
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) {
    uint64_t d = (uint64_t)(digits[i] - '0');
    if (v > (UINT64_MAX - d) / 10) {
      v = UINT64_MAX;
      break;
    }
    v = v * 10 + d;
  }
  k.number = (uint32_t)v;  // modulo 2^32
  return k;
}

// Whether the request holds an "Upgrade:" header line (name in any case, at
// the start of a line) whose value names websocket in any case.
bool asks_for_websocket(const char* p, const char* end) {
  static const char NAME[] = "upgrade:";
  const size_t name_len = sizeof(NAME) - 1;
  while (p < end) {
    const char* eol = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* line_end = eol != nullptr ? eol : end;
    if (static_cast<size_t>(line_end - p) > name_len && strncasecmp(p, NAME, name_len) == 0) {
      for (const char* v = p + name_len; v + 9 <= line_end; ++v)
        if (strncasecmp(v, "websocket", 9) == 0) return true;
    }
    if (eol == nullptr) break;
    p = eol + 1;
  }
  return false;
}

}  // namespace

char* WEBSOCKET_SRV::header_get_key(char* str, size_t len, const char* name) {
  if (str == nullptr || name == nullptr) return nullptr;
  size_t name_len = strlen(name);
  if (name_len == 0) return nullptr;
  char* end = str + len;
  // The search stops at the first zero byte.
  size_t hay = strnlen(str, len);
  char* hit = (char*)memmem(str, hay, name, name_len);
  if (hit == nullptr) return nullptr;
  char* colon = (char*)memchr(hit, ':', (size_t)(end - hit));
  if (colon == nullptr) return end;
  char* p = colon + 1;
  while (p < end && !is_value_byte((unsigned char)*p)) ++p;
  return p;
}

char WEBSOCKET_SRV::b64_table(unsigned char v) {
  if (v < 26) return (char)('A' + v);
  if (v < 52) return (char)('a' + (v - 26));
  if (v < 62) return (char)('0' + (v - 52));
  if (v == 62) return '+';
  return '/';
}

long WEBSOCKET_SRV::b64_encode(unsigned char* data, long n, char* out) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  long o = 0;
  if (n <= 0 || data == nullptr) {
    if (out) out[0] = 0;
    return 0;
  }
  long i = 0;
  for (; i + 2 < n; i += 3) {
    uint32_t g = ((uint32_t)data[i] << 16) | ((uint32_t)data[i + 1] << 8) | data[i + 2];
    out[o++] = alphabet[(g >> 18) & 0x3F];
    out[o++] = alphabet[(g >> 12) & 0x3F];
    out[o++] = alphabet[(g >> 6) & 0x3F];
    out[o++] = alphabet[g & 0x3F];
  }
  long rest = n - i;
  if (rest == 1) {
    uint32_t g = (uint32_t)data[i] << 16;
    out[o++] = alphabet[(g >> 18) & 0x3F];
    out[o++] = alphabet[(g >> 12) & 0x3F];
    out[o++] = '=';
    out[o++] = '=';
  } else if (rest == 2) {
    uint32_t g = ((uint32_t)data[i] << 16) | ((uint32_t)data[i + 1] << 8);
    out[o++] = alphabet[(g >> 18) & 0x3F];
    out[o++] = alphabet[(g >> 12) & 0x3F];
    out[o++] = alphabet[(g >> 6) & 0x3F];
    out[o++] = '=';
  }
  out[o] = 0;
  return o;
}

long WEBSOCKET_SRV::calc_web_socket_key(const unsigned char* key, size_t len, char* out) {
  crypt.init(1, 0, 2);
  if (!crypt.b_valid) return 0;
  if (crypt.hash_data(0, key, len) != 0 ||
      crypt.hash_data(0, (const unsigned char*)c_key_magic, sizeof(c_key_magic) - 1) != 0 ||
      crypt.update_txt_hashes() != 0 || crypt.hash_length != 20) {
    crypt.free_context();
    return 0;
  }
  b64_encode(crypt.txt_hashes[0], 20, out);
  crypt.free_context();
  return 28;
}

int WEBSOCKET_SRV::calc_web_socket_md5(const unsigned char* data, size_t len,
                                       unsigned char* out) {
  crypt.init(1, 0, 1);
  if (!crypt.b_valid) return -1;
  if (crypt.hash_data(0, data, len) != 0 || crypt.update_txt_hashes() != 0 ||
      crypt.hash_length != 16) {
    crypt.free_context();
    return -1;
  }
  memcpy(out, crypt.txt_hashes[0], 16);
  out[16] = 0;
  crypt.free_context();
  return 0;
}

long WEBSOCKET_SRV::calc_web_socket_header(char* str, size_t str_len, char* buf, size_t size) {
  if (str == nullptr || buf == nullptr || size == 0) return 0;
  char* end = str + str_len;
  char* p = header_get_key(str, str_len, "Sec-WebSocket-Key:");
  if (p == nullptr) return calc_web_socket_header_old(str, str_len, buf, size);
  version = 13;

  // The byte at p always belongs to the key: at end it is the request's
  // terminating zero byte.
  size_t key_len = 1;
  while (p + key_len < end && is_value_byte((unsigned char)p[key_len])) ++key_len;

  char accept[32];
  if (calc_web_socket_key((const unsigned char*)p, key_len, accept) == 0) return 0;

  int n = snprintf(buf, size, c_header_server_template, accept);
  if (n < 0 || (size_t)n >= size) return 0;
  size_t len = (size_t)n;

  char* s = header_get_key(str, str_len, protocol);
  // An empty protocol value is treated as none offered: echoing the
  // terminating zero byte would put a NUL into the response header.
  if (s == nullptr || s >= end) return (long)len;

  size_t tok = 1;
  while (s + tok < end && s[tok] != ',' && is_value_byte((unsigned char)s[tok])) ++tok;

  // Too long for the buffer: answer without the protocol line.
  if (len + tok + 27 >= size) return (long)len;

  char* w = buf + len - 2;  // replaces the template's closing CR LF
  const size_t name_len = sizeof(protocol) - 1;
  memcpy(w, protocol, name_len);
  w += name_len;
  *w++ = ' ';
  memcpy(w, s, tok);
  w += tok;
  memcpy(w, "\r\n\r\n", 4);
  w += 4;
  *w = 0;
  return (long)(len + tok + 26);
}

long WEBSOCKET_SRV::calc_web_socket_header_old(char* str, size_t str_len, char* buf,
                                               size_t size) {
  if (str == nullptr || buf == nullptr || size == 0) return 0;
  char* end = str + str_len;
  char* k1 = header_get_key(str, str_len, "Sec-WebSocket-Key1:");
  char* k2 = header_get_key(str, str_len, "Sec-WebSocket-Key2:");
  char* origin_p = header_get_key(str, str_len, "Origin:");
  char* host_p = header_get_key(str, str_len, "Host:");
  if (host_p == nullptr || k1 == nullptr || k2 == nullptr || origin_p == nullptr) return 0;

  char origin[FIELD_SIZE];
  char host[FIELD_SIZE];
  copy_line(origin_p, end, origin);
  copy_line(host_p, end, host);

  key_value_t key1 = scan_key(k1, end);
  if (k2 >= end) return 0;
  key_value_t key2 = scan_key(k2, end);
  if (key1.blanks == 0 || key2.blanks == 0) return 0;

  // The 8 bytes of key material are the last 8 bytes read.
  if (str_len < 8) return 0;

  uint32_t v1 = key1.number / key1.blanks;
  uint32_t v2 = key2.number / key2.blanks;
  unsigned char challenge[17];
  for (int i = 0; i < 4; ++i) {
    challenge[i] = (unsigned char)(v1 >> (24 - 8 * i));
    challenge[4 + i] = (unsigned char)(v2 >> (24 - 8 * i));
  }
  memcpy(challenge + 8, end - 8, 8);
  challenge[16] = 0;

  unsigned char digest[17];
  if (calc_web_socket_md5(challenge, 16, digest) == -1) return 0;
  version = 8;

  int n = snprintf(buf, size, c_header_server_template_old, origin, host);
  if (n < 0) return 0;
  // The digest and its zero byte must fit behind the formatted text.
  if ((size_t)n + 17 > size) return 0;
  memcpy(buf + n, digest, 16);
  buf[n + 16] = 0;
  return (long)n + 16;
}

int WEBSOCKET_SRV::client_handshake(char* pRAM, size_t size) {
  if (pRAM == nullptr || size <= 255) return -1;

  if (tls.get_status() == -2) {
    // Peek only: a plain client that does not open with "GET " keeps its bytes.
    char head[4];
    ssize_t r;
    do {
      r = ::recv(tls.so.load(), head, sizeof(head), MSG_PEEK);
    } while (r < 0 && errno == EINTR);
    if (r != 4 || memcmp(head, "GET ", 4) != 0) return -1;
  }

  b_frame_incomplete = false;
  b_more_frames = false;
  b_continuation = false;
  memset(c_header_server, 0, sizeof(c_header_server));

  int64_t n = tls.recv(pRAM, size - 1);
  if (n <= 0) {
    if (b_verbose_handshake) {
      if (n < 0)
        wprintf(L"[%i] tls.recv(pRAM, size)\n", errno);
      else
        wprintf(L"\n[connection closed]");
    }
    return -1;
  }
  if ((uint64_t)n > size - 1) n = (int64_t)(size - 1);
  pRAM[n] = 0;
  if (b_verbose_handshake) wprintf(L"%s", pRAM);

  // A browser opening the page, curl, a health check: answered, and the
  // connection is closed by the caller; it never becomes a relay member.
  if (n >= 4 && memcmp(pRAM, "GET ", 4) == 0 && !asks_for_websocket(pRAM, pRAM + n)) {
    http_answer_t answer;
    http_page_answer(pRAM, (size_t)n, &answer);
    if (tls.send(answer.head, answer.head_len) > 0 && answer.body != nullptr)
      tls.send(answer.body, answer.body_len);
    return HANDSHAKE_HTTP;
  }

  long len = calc_web_socket_header(pRAM, (size_t)n, c_header_server, HEADER_SERVER_SIZE);
  if (len <= 0) {
    wprintf(L"\n\tInvalid or unsupported WebSocket handshake from the client!\n");
    return -1;
  }
  c_header_server_size = (size_t)len;

  if (b_verbose_handshake) {
    if (version <= 12)
      wprintf(L"\n\n%s\n\n", c_header_server);
    else
      wprintf(L"%s", c_header_server);
  }

  // A send that wrote nothing is as much a failure as -1.
  if (tls.send(c_header_server, c_header_server_size) <= 0) {
    wprintf(L"[%i] tls.send(c_header_server, c_header_server_size)\n", errno);
    return -1;
  }

  frame_type = 1;
  utf8_pending = 3;
  utf8_start = 1;
  b_websocket = true;
  return 0;
}
