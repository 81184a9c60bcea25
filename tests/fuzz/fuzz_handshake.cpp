// Fuzzes the request head parser as the handshake feeds it (the same bytes
// whole and cut into pieces), the two handshake builders and the header
// value rule on arbitrary requests. The builders copy request text (the key's digest, the protocol
// token, the Origin and Host values) into their answer: whatever the
// request holds, the answer must keep exactly its own lines, each free of
// control bytes, and fit the buffer given.
//
// Input: byte 0 picks the answer buffer size (bit 7 set: the real 2048
// bytes, else a tight one), byte 1 the header name for the rule (and with
// bit 7 a TLS connection, whose Key1/Key2 location is wss://), the rest is
// the request.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include <openssl/evp.h>

#include "tests/fuzz/fuzz_check.hpp"
#include "web/http_request.hpp"
#include "websocket/websocket_srv.hpp"

namespace {

constexpr const char* kNames[] = {"Sec-WebSocket-Key:",
                                  "Sec-WebSocket-Key1:",
                                  "Sec-WebSocket-Key2:",
                                  "Origin:",
                                  "Host:",
                                  "Sec-WebSocket-Protocol:",
                                  "Upgrade:",
                                  "Sec-WebSocket-Version:"};

bool value_byte(uint8_t c) {
  return c >= 0x21 && c <= 0x7E;
}

// The rule on len bytes that need not hold a zero byte: a value start lies
// inside the request, behind the first line that starts with the name and
// the blanks after it; a token is value bytes only and as long as they go.
void check_rule(char* str, size_t len, const char* name) {
  char* p = WEBSOCKET_SRV::header_get_key(str, len, name);
  const size_t nl = strlen(name);
  char* end = str + strnlen(str, len);
  char* first = nullptr;  // first line that starts with the name
  for (char* line = str; line < end;) {
    if ((size_t)(end - line) >= nl && strncasecmp(line, name, nl) == 0) {
      first = line;
      break;
    }
    char* lf = (char*)memchr(line, '\n', (size_t)(end - line));
    if (lf == nullptr) break;
    line = lf + 1;
  }
  check((p == nullptr) == (first == nullptr));
  if (p == nullptr) return;
  check(p >= first + nl && p <= end);
  for (char* q = first + nl; q < p; ++q)
    check(*q == ' ' || *q == '\t');
  check(p == end || (*p != ' ' && *p != '\t'));

  const size_t t = WEBSOCKET_SRV::header_token_length(p, end);
  check(p + t <= end);
  for (size_t i = 0; i < t; ++i)
    check(value_byte((uint8_t)p[i]));
  check(p + t == end || !value_byte((uint8_t)p[t]));
}

// Splits an answer's header block (ending in an empty line) into its lines;
// fails on a CR or LF that is not part of a CR LF, and on any other control
// byte: a copied value can neither end a line nor start one.
std::vector<std::string> lines_of(const char* a, size_t n) {
  check(n >= 4 && memcmp(a + n - 4, "\r\n\r\n", 4) == 0);
  std::vector<std::string> lines;
  size_t s = 0;
  for (size_t i = 0; i < n - 2; ++i) {
    const uint8_t c = (uint8_t)a[i];
    if (c == '\r') {
      check(a[i + 1] == '\n');
      lines.emplace_back(a + s, i - s);
      s = i + 2;
      ++i;
      continue;
    }
    check(c >= 0x20 && c != 0x7F);
  }
  check(s == n - 2);
  return lines;
}

bool starts(const std::string& line, const char* prefix, std::string* rest) {
  const size_t k = strlen(prefix);
  if (line.compare(0, k, prefix) != 0) return false;
  *rest = line.substr(k);
  return true;
}

std::string accept_of(const char* key, size_t len) {
  std::string in(key, len);
  in += WEBSOCKET_SRV::c_key_magic;
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  check(EVP_Digest(in.data(), in.size(), md, &md_len, EVP_sha1(), nullptr) == 1 && md_len == 20);
  unsigned char b64[32];
  const int k = EVP_EncodeBlock(b64, md, 20);
  return std::string((const char*)b64, (size_t)k);
}

// The first offered protocol by the rule both answers echo it by: the
// value up to a comma, blank or control byte; empty when none is offered.
std::string first_protocol(char* req, size_t len) {
  char* s = WEBSOCKET_SRV::header_get_key(req, len, WEBSOCKET_SRV::protocol);
  if (s == nullptr) return {};
  char* end = req + len;
  size_t n = 0;
  while (s + n < end && s[n] != ',' && value_byte((uint8_t)s[n]))
    ++n;
  return std::string(s, n);
}

void check_answer_13(char* req, size_t len, const char* a, size_t n) {
  const std::vector<std::string> l = lines_of(a, n);
  check(l.size() == 4 || l.size() == 5);
  check(l[0] == "HTTP/1.1 101 Switching Protocols" && l[1] == "Upgrade: WebSocket" &&
        l[2] == "Connection: Upgrade");
  std::string accept;
  check(starts(l[3], "Sec-WebSocket-Accept: ", &accept));
  char* end = req + len;
  char* key = WEBSOCKET_SRV::header_get_key(req, len, "Sec-WebSocket-Key:");
  check(key != nullptr);
  check(accept == accept_of(key, WEBSOCKET_SRV::header_token_length(key, end)));
  if (l.size() == 5) {
    // The first offered protocol, as it stands in the request (left out
    // only when the buffer cannot hold it).
    std::string tok;
    check(starts(l[4], "Sec-WebSocket-Protocol: ", &tok) && !tok.empty());
    check(tok == first_protocol(req, len));
  }
}

// The request line's target when it is a path: what the location repeats.
bool path_target(const char* req, size_t len, std::string* target) {
  size_t i = 0;
  while (i + 1 < len && req[i] == '\r' && req[i + 1] == '\n')
    i += 2;
  const size_t m = i;
  while (i < len && value_byte((uint8_t)req[i]))
    ++i;
  if (i == m || i == len || req[i] != ' ') return false;
  const size_t t = ++i;
  while (i < len && value_byte((uint8_t)req[i]))
    ++i;
  if (i == t || i == len || req[i] != ' ' || req[t] != '/') return false;
  target->assign(req + t, i - t);
  return true;
}

void check_answer_old(char* req, size_t len, const char* a, size_t n, bool secure) {
  check(n > 16);
  const std::vector<std::string> l = lines_of(a, n - 16);
  check(l.size() == 5 || l.size() == 6);
  check(l[0] == "HTTP/1.1 101 WebSocket Protocol Handshake" && l[1] == "Upgrade: WebSocket" &&
        l[2] == "Connection: Upgrade");
  std::string origin, location, target;
  check(starts(l[3], "Sec-WebSocket-Origin: ", &origin));
  // The scheme of the connection, the Host value, the request's path.
  check(starts(l[4], secure ? "Sec-WebSocket-Location: wss://" : "Sec-WebSocket-Location: ws://", &location));
  check(path_target(req, len, &target));
  check(location.size() >= target.size() &&
        location.compare(location.size() - target.size(), target.size(), target) == 0);
  const std::string host = location.substr(0, location.size() - target.size());
  // The protocol line exactly when one is offered, with the first token.
  const std::string offered = first_protocol(req, len);
  check(offered.empty() == (l.size() == 5));
  if (l.size() == 6) check(l[5] == "Sec-WebSocket-Protocol: " + offered);
  // Each copied value is a prefix of the request's value, cut to its field.
  const struct {
    const char* name;
    const std::string& v;
  } copied[] = {{"Origin:", origin}, {"Host:", host}};
  for (const auto& c : copied) {
    check(c.v.size() < WEBSOCKET_SRV::FIELD_SIZE);
    char* p = WEBSOCKET_SRV::header_get_key(req, len, c.name);
    check(p != nullptr && (size_t)(req + len - p) >= c.v.size() && memcmp(p, c.v.data(), c.v.size()) == 0);
  }
}

// The parser on the first k bytes must agree with the parser on all of
// them: "partial" until the head ends, then the same length; once an error,
// always an error; and the line kind only ever settles, never flips back.
void check_parser(const char* req, size_t len) {
  http_request_t whole;
  const long r = http_parse_request(req, len, &whole);
  check(r == HTTP_PARSE_PARTIAL || r == HTTP_PARSE_ERROR || (r > 0 && (size_t)r <= len));
  if (r > 0) {
    check(whole.line_complete);
    check(whole.method >= req && whole.target + whole.target_len <= req + r);
    for (size_t i = 0; i < whole.header_count; ++i) {
      const http_header_t& h = whole.headers[i];
      check(h.name >= req && h.value + h.value_len <= req + r && h.name_len > 0);
    }
  }
  if (r == HTTP_PARSE_ERROR) check(whole.error_status == 400 || whole.error_status == 431);
  const int kind = http_request_line_kind(req, len);
  if (r > 0) check(kind == HTTP_LINE_YES);
  size_t cuts[12];
  size_t n = 0;
  for (size_t i = 0; i <= 8; ++i)
    cuts[n++] = len * i / 8;
  if (r > 0) {
    cuts[n++] = (size_t)r - 1;
    cuts[n++] = (size_t)r;
  }
  bool failed = false;
  for (size_t c = 0; c < n; ++c) {
    const size_t k = cuts[c];
    // A copy of exactly k bytes: a read beyond them is caught.
    char* part = (char*)malloc(k ? k : 1);
    memcpy(part, req, k);
    http_request_t pr;
    const long q = http_parse_request(part, k, &pr);
    const int kk = http_request_line_kind(part, k);
    free(part);
    if (r > 0)
      check(k < (size_t)r ? q == HTTP_PARSE_PARTIAL : q == r);
    else if (r == HTTP_PARSE_PARTIAL)
      check(q == HTTP_PARSE_PARTIAL);
    else
      check(q == HTTP_PARSE_PARTIAL || q == HTTP_PARSE_ERROR);
    // Cuts are in increasing order but for the last two.
    if (c <= 8) {
      if (failed) check(q == HTTP_PARSE_ERROR);
      failed = failed || q == HTTP_PARSE_ERROR;
    }
    if (kk == HTTP_LINE_NO) check(kind == HTTP_LINE_NO);
    if (kk == HTTP_LINE_YES) check(kind == HTTP_LINE_YES);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static WEBSOCKET_SRV* ws = new WEBSOCKET_SRV;
  const size_t out_size = (data[0] & 0x80) ? WEBSOCKET_SRV::HEADER_SERVER_SIZE : (size_t)data[0] * 4 + 1;
  const char* name = kNames[(data[1] & 0x7F) % (sizeof(kNames) / sizeof(kNames[0]))];
  const bool secure = (data[1] & 0x80) != 0;
  data += 2;
  size -= 2;

  // The rule reads only within its length: no zero byte behind it here.
  char* raw = (char*)malloc(size ? size : 1);
  memcpy(raw, data, size);
  check_rule(raw, size, name);
  check_parser(raw, size);
  free(raw);

  // The builders take a zero-terminated request, like the handshake's read.
  char* req = (char*)malloc(size + 1);
  memcpy(req, data, size);
  req[size] = 0;
  char* out = (char*)malloc(out_size);

  ws->version = 0;
  const long n = ws->calc_web_socket_header(req, size, out, out_size, secure);
  if (n > 0) {
    check((size_t)n < out_size && out[n] == 0);
    if (WEBSOCKET_SRV::header_get_key(req, size, "Sec-WebSocket-Key:") != nullptr) {
      check(ws->version == 13);
      check_answer_13(req, size, out, (size_t)n);
    } else {
      check(ws->version == 8);
      check_answer_old(req, size, out, (size_t)n, secure);
    }
  }
  ws->version = 0;
  const long m = ws->calc_web_socket_header_old(req, size, out, out_size, secure);
  if (m > 0) {
    check((size_t)m < out_size && out[m] == 0 && ws->version == 8);
    check_answer_old(req, size, out, (size_t)m, secure);
  }
  free(out);
  free(req);
  return 0;
}
