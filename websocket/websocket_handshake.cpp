// Server side of the WebSocket opening handshake: RFC 6455 (SHA-1 accept
// value) and the older Key1/Key2 form (MD5 challenge answer).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cctype>
#include <sys/socket.h>
#include <sys/types.h>

#include <strings.h>

#include "web/http_page.hpp"
#include "websocket/websocket_srv.hpp"

namespace {

// Bytes that may start or continue a header value or a token.
inline bool is_value_byte(unsigned char c) {
  return c >= 0x21 && c <= 0x7F;
}

// Copies the bytes from p up to the first control byte (the line's CR, or a
// stray LF or NUL) or end into a FIELD_SIZE field, cut to FIELD_SIZE - 1
// bytes, zero-terminated. The value is copied into the response's own
// header lines, so nothing of it may start a line there.
void copy_line(const char* p, const char* end, char* field) {
  size_t n = 0;
  while (p < end && (unsigned char)*p >= 0x20 && *p != 0x7F && n < WEBSOCKET_SRV::FIELD_SIZE - 1)
    field[n++] = *p++;
  field[n] = 0;
}

// True when the value at p (up to end) holds `word` as one of its
// comma-separated tokens, compared case-insensitively.
bool value_has_token(const char* p, const char* end, const char* word) {
  const size_t w = strlen(word);
  while (p < end && (unsigned char)*p >= 0x20) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == ','))
      ++p;
    const char* t = p;
    while (p < end && (unsigned char)*p >= 0x20 && *p != ',')
      ++p;
    const char* e = p;
    while (e > t && (e[-1] == ' ' || e[-1] == '\t'))
      --e;
    if ((size_t)(e - t) == w && strncasecmp(t, word, w) == 0) return true;
  }
  return false;
}

// An RFC 6455 key: base64 of 16 bytes, so 22 characters and "==".
bool usable_key(const char* p, const char* end) {
  if (end - p < 24) return false;
  for (int i = 0; i < 22; ++i) {
    const unsigned char c = (unsigned char)p[i];
    if (!isalnum(c) && c != '+' && c != '/') return false;
  }
  if (p[22] != '=' || p[23] != '=') return false;
  return p + 24 == end || (unsigned char)p[24] <= 0x20;
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

// The request line's target when it is in origin form (a '/' and visible
// ASCII up to the blank before the version): the path and query that the
// Key1/Key2 answer's location repeats. Leading empty lines are skipped, as
// the request parser skips them. Null for any other target.
const char* origin_form_target(const char* str, const char* end, size_t* len) {
  const char* p = str;
  while (end - p >= 2 && p[0] == '\r' && p[1] == '\n')
    p += 2;
  const char* method = p;
  while (p < end && is_value_byte((unsigned char)*p) && *p != 0x7F)
    ++p;
  if (p == method || p == end || *p != ' ') return nullptr;
  const char* t = ++p;
  while (p < end && is_value_byte((unsigned char)*p) && *p != 0x7F)
    ++p;
  if (p == t || p == end || *p != ' ' || *t != '/') return nullptr;
  *len = (size_t)(p - t);
  return t;
}

// The first protocol the client offers: the value of
// "Sec-WebSocket-Protocol:" up to a comma, blank or control byte. Returns
// its length; 0 when the request offers none (an empty value counts as
// none).
size_t offered_protocol(char* str, size_t str_len, const char** tok) {
  char* s = WEBSOCKET_SRV::header_get_key(str, str_len, WEBSOCKET_SRV::protocol);
  if (s == nullptr) return 0;
  const char* end = str + str_len;
  size_t n = 0;
  while (s + n < end && s[n] != ',' && is_value_byte((unsigned char)s[n]) && s[n] != 0x7F)
    ++n;
  *tok = s;
  return n;
}

// Puts "Sec-WebSocket-Protocol: " and tok (n bytes) as the last header line
// of the answer in buf (len bytes, ending in the empty line), zero-terminated.
// The caller has checked that len + n + 27 bytes fit. Returns the new length.
size_t put_protocol_line(char* buf, size_t len, const char* tok, size_t n) {
  char* w = buf + len - 2;  // replaces the closing CR LF
  const size_t name_len = sizeof(WEBSOCKET_SRV::protocol) - 1;
  memcpy(w, WEBSOCKET_SRV::protocol, name_len);
  w += name_len;
  *w++ = ' ';
  memcpy(w, tok, n);
  w += n;
  memcpy(w, "\r\n\r\n", 4);
  w += 4;
  *w = 0;
  return len + n + 26;
}

// Adds the hub's announcement lines in front of the closing empty line of
// the RFC 6455 answer in buf (len bytes, zero-terminated, HEADER_SERVER_SIZE
// bytes of room). max: the largest message the connection takes. Returns
// the new length; the answer as it was when the lines do not fit.
long announce(char* buf, size_t len, size_t max) {
  if (WEBSOCKET_SRV::hub_instance == 0 || len < 4) return (long)len;
  char lines[96];
  const int n =
      snprintf(lines, sizeof(lines), "X-Relayhub-Instance: %016llx\r\nX-Relayhub-Message-Max: %zu\r\n",
               (unsigned long long)WEBSOCKET_SRV::hub_instance, max);
  if (n <= 0 || (size_t)n >= sizeof(lines) || len + (size_t)n + 1 > WEBSOCKET_SRV::HEADER_SERVER_SIZE)
    return (long)len;
  // The lines go where the closing CR LF stands; it follows them.
  memcpy(buf + len - 2, lines, (size_t)n);
  memcpy(buf + len - 2 + n, "\r\n", 3);
  return (long)(len + (size_t)n);
}

}  // namespace

uint64_t WEBSOCKET_SRV::hub_instance = 0;
int (*WEBSOCKET_SRV::dynamic_page)(WEBSOCKET_SRV& ws, const http_request_t& req) = nullptr;

char* WEBSOCKET_SRV::header_get_key(char* str, size_t len, const char* name) {
  if (str == nullptr || name == nullptr) return nullptr;
  const size_t name_len = strlen(name);
  if (name_len == 0) return nullptr;
  char* end = str + strnlen(str, len);
  // Header names are case-insensitive (RFC 9110) and a name only counts at
  // the start of a line, not inside another header's value.
  for (char* line = str; line < end;) {
    if ((size_t)(end - line) >= name_len && strncasecmp(line, name, name_len) == 0) {
      char* p = line + name_len;
      while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
      return p;
    }
    char* lf = (char*)memchr(line, '\n', (size_t)(end - line));
    if (lf == nullptr) break;
    line = lf + 1;
  }
  return nullptr;
}

size_t WEBSOCKET_SRV::header_token_length(const char* p, const char* end) {
  size_t n = 0;
  while (p + n < end && is_value_byte((unsigned char)p[n]) && p[n] != 0x7F)
    ++n;
  return n;
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

int WEBSOCKET_SRV::calc_web_socket_md5(const unsigned char* data, size_t len, unsigned char* out) {
  crypt.init(1, 0, 1);
  if (!crypt.b_valid) return -1;
  if (crypt.hash_data(0, data, len) != 0 || crypt.update_txt_hashes() != 0 || crypt.hash_length != 16) {
    crypt.free_context();
    return -1;
  }
  memcpy(out, crypt.txt_hashes[0], 16);
  out[16] = 0;
  crypt.free_context();
  return 0;
}

long WEBSOCKET_SRV::calc_web_socket_header(char* str, size_t str_len, char* buf, size_t size, bool secure) {
  if (str == nullptr || buf == nullptr || size == 0) return 0;
  char* end = str + str_len;
  char* p = header_get_key(str, str_len, "Sec-WebSocket-Key:");
  if (p == nullptr) return calc_web_socket_header_old(str, str_len, buf, size, secure);
  version = 13;

  const size_t key_len = header_token_length(p, end);
  if (key_len == 0) return 0;

  char accept[32];
  if (calc_web_socket_key((const unsigned char*)p, key_len, accept) == 0) return 0;

  int n = snprintf(buf, size, c_header_server_template, accept);
  if (n < 0 || (size_t)n >= size) return 0;
  const size_t len = (size_t)n;

  const char* tok = nullptr;
  const size_t tok_len = offered_protocol(str, str_len, &tok);
  // Too long for the buffer: answer without the protocol line.
  if (tok_len == 0 || len + tok_len + 27 >= size) return (long)len;
  return (long)put_protocol_line(buf, len, tok, tok_len);
}

long WEBSOCKET_SRV::calc_web_socket_header_old(char* str, size_t str_len, char* buf, size_t size,
                                               bool secure) {
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

  // The 8 bytes of key material are the last 8 bytes given: the caller
  // passes the head and the 8 bytes that follow it.
  if (str_len < 8) return 0;

  // The location names the resource the client opened: a client compares
  // it with its own URL.
  size_t target_len = 0;
  const char* target = origin_form_target(str, end, &target_len);
  if (target == nullptr || target_len > (size_t)INT32_MAX) return 0;

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

  const int n = snprintf(buf, size, c_header_server_template_old, origin, secure ? "wss" : "ws", host,
                         (int)target_len, target);
  if (n < 0 || (size_t)n >= size) return 0;
  size_t len = (size_t)n;
  // The protocol is echoed only when asked for: a client that asked for
  // none fails on any, one that asked fails on another. An answer that
  // cannot hold it is refused rather than sent without it.
  const char* tok = nullptr;
  const size_t tok_len = offered_protocol(str, str_len, &tok);
  if (tok_len != 0) {
    if (len + tok_len + 27 > size) return 0;
    len = put_protocol_line(buf, len, tok, tok_len);
  }
  // The digest and its zero byte must fit behind the header block.
  if (len + 17 > size) return 0;
  memcpy(buf + len, digest, 16);
  buf[len + 16] = 0;
  return (long)len + 16;
}

namespace {

// A header value holds `word` as one of its comma-separated tokens.
bool header_has_token(const http_request_t& req, const char* name, const char* word) {
  size_t n = 0;
  const char* v = http_header_value(&req, name, &n);
  return v != nullptr && value_has_token(v, v + n, word);
}

}  // namespace

bool WEBSOCKET_SRV::quiet_for_now() {
  const int err = tls.err_recv;
  return (err == EAGAIN || err == EWOULDBLOCK) && tls.setup_deadline_ms.load() != 0;
}

int WEBSOCKET_SRV::answer_http(int status, const http_request_t* req) {
  http_answer_t answer;
  if (req != nullptr && status == HTTP_STATUS_OK)
    http_answer_request(req, &answer);
  else
    http_answer_status(status, &answer);
  http_status = answer.status;
  // The connection is closed either way; a client that does not read its
  // answer meets the set-up's send bound.
  if (tls.send(answer.head, answer.head_len) > 0 && answer.body != nullptr)
    (void)tls.send(answer.body, answer.body_len);
  return WS_HANDSHAKE_ANSWERED;
}

int WEBSOCKET_SRV::refuse_upgrade(const char* refusal, size_t len, int status) {
  wprintf(L"\n\tInvalid or unsupported WebSocket handshake from the client!\n");
  http_status = status;
  http_refused_upgrade = true;
  (void)tls.send(refusal, len);  // the connection is closed either way
  return WS_HANDSHAKE_ANSWERED;
}

int WEBSOCKET_SRV::client_handshake(char* pRAM, size_t size) {
  handshake_rest_off = 0;
  handshake_rest_len = 0;
  http_status = 0;
  http_refused_upgrade = false;
  handshake_silent = false;
  if (pRAM == nullptr || size <= 255) return WS_HANDSHAKE_NONE;

  // Look first, plain or TLS alike: a stream that cannot be an HTTP request
  // keeps its bytes where they are, and they are relayed as its first
  // message, at once.
  const int64_t seen = tls.peek(pRAM, size - 1);
  handshake_silent = seen < 0 && (tls.err_recv == EAGAIN || tls.err_recv == EWOULDBLOCK);
  if (seen <= 0 || http_request_line_kind(pRAM, (size_t)seen) == HTTP_LINE_NO) return WS_HANDSHAKE_NONE;

  b_frame_incomplete = false;
  b_more_frames = false;
  memset(c_header_server, 0, sizeof(c_header_server));

  http_request_t req;
  size_t have = 0;
  int kind = HTTP_LINE_PREFIX;
  const long head = read_head(pRAM, size, req, have, kind);

  // Not a request after all (or only the start of one when the client went
  // quiet): a plain stream, and what was read is its first message.
  if (kind == HTTP_LINE_NO || (kind == HTTP_LINE_PREFIX && have < size - 1)) {
    handshake_rest_len = have;
    return WS_HANDSHAKE_NONE;
  }
  // A request that does not end within the buffer or the set-up time.
  if (head == HTTP_PARSE_PARTIAL)
    return answer_http(have == size - 1 ? HTTP_STATUS_TOO_LARGE : HTTP_STATUS_BAD_REQUEST, nullptr);
  if (head == HTTP_PARSE_ERROR) return answer_http(req.error_status, nullptr);
  const size_t head_len = (size_t)head;

  const bool has_key = http_header_value(&req, "Sec-WebSocket-Key", nullptr) != nullptr;
  const bool old_form = !has_key && http_header_value(&req, "Sec-WebSocket-Key1", nullptr) != nullptr &&
                        http_header_value(&req, "Sec-WebSocket-Key2", nullptr) != nullptr;
  const bool rfc_form = !old_form && (has_key || header_has_token(req, "Upgrade", "websocket"));

  if (!rfc_form && !old_form) {
    // A browser opening the page, curl, a health check, a form post: answered,
    // and the connection is closed by the caller; it never becomes a member.
    if (dynamic_page != nullptr) {
      const int sent = dynamic_page(*this, req);
      if (sent > 0) {
        http_status = sent;
        return WS_HANDSHAKE_ANSWERED;
      }
    }
    return answer_http(HTTP_STATUS_OK, &req);
  }
  if (req.method_len != 3 || memcmp(req.method, "GET", 3) != 0)
    return answer_http(HTTP_STATUS_METHOD_NOT_ALLOWED, nullptr);

  size_t used = head_len;
  const long len =
      rfc_form ? upgrade_rfc(pRAM, head_len, req) : upgrade_old(pRAM, size, head_len, have, used);
  if (len == WS_HANDSHAKE_ANSWERED) return WS_HANDSHAKE_ANSWERED;
  c_header_server_size = (size_t)len;

  if (b_verbose_handshake) {
    if (version <= 12)
      wprintf(L"\n\n%s\n\n", c_header_server);
    else
      wprintf(L"%s", c_header_server);
  }

  // A send that wrote nothing is as much a failure as -1.
  if (tls.send(c_header_server, c_header_server_size) <= 0) {
    wprintf(L"[%i] tls.send(c_header_server, c_header_server_size)\n", (int)tls.err_send);
    return WS_HANDSHAKE_NONE;
  }
  http_status = 101;
  // Frames the client sent right behind its request are the stream's.
  handshake_rest_off = used;
  handshake_rest_len = have - used;
  b_websocket = true;
  return WS_HANDSHAKE_OK;
}

long WEBSOCKET_SRV::read_head(char* pRAM, size_t size, http_request_t& req, size_t& have, int& kind) {
  // Read the head to its empty line, across as many reads as it takes: each
  // waits at most the set-up's receive time-out, and none starts after the
  // set-up budget. Bytes read here that turn out to be no request stay the
  // stream's, and so do bytes that follow the head.
  long head = HTTP_PARSE_PARTIAL;
  for (;;) {
    const int64_t n = tls.recv(pRAM + have, size - 1 - have);
    if (n < 0 && quiet_for_now()) continue;
    if (n <= 0) {
      if (b_verbose_handshake) {
        if (n < 0)
          wprintf(L"[%i] tls.recv(pRAM, size)\n", (int)tls.err_recv);
        else
          wprintf(L"\n[connection closed]");
      }
      break;
    }
    have += (size_t)n;
    kind = http_request_line_kind(pRAM, have);
    if (kind == HTTP_LINE_NO) break;
    head = http_parse_request(pRAM, have, &req);
    if (head != HTTP_PARSE_PARTIAL || have == size - 1) break;
  }
  if (b_verbose_handshake && have > 0) wprintf(L"%.*s", (int)have, pRAM);
  return head;
}

long WEBSOCKET_SRV::upgrade_rfc(char* pRAM, size_t head_len, const http_request_t& req) {
  // An upgrade this server cannot serve is told so, in HTTP, and closed.
  size_t vl = 0;
  const char* ver = http_header_value(&req, "Sec-WebSocket-Version", &vl);
  if (ver != nullptr && (vl != 2 || memcmp(ver, "13", 2) != 0))
    return refuse_upgrade(c_upgrade_required, sizeof(c_upgrade_required) - 1, 426);
  size_t kl = 0;
  const char* key = http_header_value(&req, "Sec-WebSocket-Key", &kl);
  if (key == nullptr || !usable_key(key, key + kl))
    return refuse_upgrade(c_bad_request, sizeof(c_bad_request) - 1, 400);
  const long len = calc_web_socket_header(pRAM, head_len, c_header_server, HEADER_SERVER_SIZE,
                                          tls.get_status() == G_TLS_OK);
  // Only a digest that could not be computed leaves no answer.
  if (len <= 0) return refuse_upgrade(c_bad_request, sizeof(c_bad_request) - 1, 400);
  return announce(c_header_server, (size_t)len, message_limit);
}

long WEBSOCKET_SRV::upgrade_old(char* pRAM, size_t size, size_t head_len, size_t& have, size_t& used) {
  // The Key1/Key2 form's 8 key bytes follow the head, perhaps in a later
  // segment.
  while (have < head_len + 8 && have < size - 1) {
    const int64_t n = tls.recv(pRAM + have, size - 1 - have);
    if (n < 0 && quiet_for_now()) continue;
    if (n <= 0) break;
    have += (size_t)n;
  }
  if (have < head_len + 8) return refuse_upgrade(c_bad_request, sizeof(c_bad_request) - 1, 400);
  used = head_len + 8;
  const long len = calc_web_socket_header_old(pRAM, used, c_header_server, HEADER_SERVER_SIZE,
                                              tls.get_status() == G_TLS_OK);
  if (len <= 0) return refuse_upgrade(c_bad_request, sizeof(c_bad_request) - 1, 400);
  return len;
}
