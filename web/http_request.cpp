// HTTP/1.x request head parser (RFC 9112 sections 2 to 5), over the bytes
// received so far.
#include "web/http_request.hpp"

#include <cstring>
#include <strings.h>

namespace {

// A method is a token; real ones are short. Bytes that run on without a
// blank are no method: a plain stream is told apart early.
constexpr size_t METHOD_MAX = 32;

// RFC 9110 token characters.
bool is_tchar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Visible ASCII: what a request target holds.
bool is_vchar(unsigned char c) {
  return c >= 0x21 && c <= 0x7E;
}

// What a target is scanned over: visible ASCII, and raw bytes above it,
// which no valid target holds but which still make an HTTP request (a bad
// one, answered 400) rather than a plain stream.
bool is_target_char(unsigned char c) {
  return is_vchar(c) || c >= 0x80;
}

// Bytes a field value may hold: blanks, visible ASCII and obs-text.
bool is_value_char(unsigned char c) {
  return c == '\t' || c == ' ' || is_vchar(c) || c >= 0x80;
}

// Scans the request line from the start of buf. Returns HTTP_LINE_*; with
// HTTP_LINE_YES, *line_end is the offset right after the version digit, and
// the method, target and version are stored in req (when not null).
int scan_request_line(const char* buf, size_t len, http_request_t* req, size_t* line_end) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(buf);
  size_t i = 0;
  // Empty lines before the request line are ignored (RFC 9112 2.2).
  while (i < len && p[i] == '\r') {
    if (i + 1 == len) return HTTP_LINE_PREFIX;
    if (p[i + 1] != '\n') return HTTP_LINE_NO;
    i += 2;
  }
  const size_t method = i;
  while (i < len && is_tchar(p[i])) {
    if (i - method == METHOD_MAX) return HTTP_LINE_NO;
    ++i;
  }
  if (i == len) return HTTP_LINE_PREFIX;
  if (i == method || p[i] != ' ') return HTTP_LINE_NO;
  const size_t method_len = i - method;
  const size_t target = ++i;
  while (i < len && is_target_char(p[i]))
    ++i;
  if (i == len) return HTTP_LINE_PREFIX;
  if (i == target || p[i] != ' ') return HTTP_LINE_NO;
  const size_t target_len = i - target;
  ++i;
  static const char VERSION[] = "HTTP/1.";
  for (size_t k = 0; k < sizeof(VERSION) - 1; ++k, ++i) {
    if (i == len) return HTTP_LINE_PREFIX;
    if (p[i] != static_cast<unsigned char>(VERSION[k])) return HTTP_LINE_NO;
  }
  if (i == len) return HTTP_LINE_PREFIX;
  if (p[i] < '0' || p[i] > '9') return HTTP_LINE_NO;
  if (req != nullptr) {
    req->method = buf + method;
    req->method_len = method_len;
    req->target = buf + target;
    req->target_len = target_len;
    req->minor_version = p[i] - '0';
  }
  *line_end = i + 1;
  return HTTP_LINE_YES;
}

// The line break at buf[i]: its length (2 for CR LF, 1 for LF), 0 when the
// data ends inside it, -1 when buf[i] starts no line break.
int line_break(const unsigned char* p, size_t len, size_t i) {
  if (p[i] == '\n') return 1;
  if (p[i] != '\r') return -1;
  if (i + 1 == len) return 0;
  return p[i + 1] == '\n' ? 2 : -1;
}

long fail(http_request_t* req, int status) {
  req->error_status = status;
  return HTTP_PARSE_ERROR;
}

}  // namespace

int http_request_line_kind(const char* buf, size_t len) {
  if (buf == nullptr) return HTTP_LINE_NO;
  size_t end = 0;
  return scan_request_line(buf, len, nullptr, &end);
}

long http_parse_request(const char* buf, size_t len, http_request_t* req) {
  if (req == nullptr) return HTTP_PARSE_ERROR;
  memset(req, 0, sizeof(*req));
  if (buf == nullptr) return fail(req, 400);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(buf);
  size_t i = 0;
  const int kind = scan_request_line(buf, len, req, &i);
  if (kind == HTTP_LINE_PREFIX) return HTTP_PARSE_PARTIAL;
  if (kind == HTTP_LINE_NO) return fail(req, 400);
  if (i == len) return HTTP_PARSE_PARTIAL;
  int br = line_break(p, len, i);
  if (br == 0) return HTTP_PARSE_PARTIAL;
  if (br < 0) return fail(req, 400);
  i += static_cast<size_t>(br);
  req->line_complete = true;

  for (;;) {
    if (i == len) return HTTP_PARSE_PARTIAL;
    br = line_break(p, len, i);
    if (br == 0) return HTTP_PARSE_PARTIAL;
    if (br > 0) return static_cast<long>(i + static_cast<size_t>(br));  // the empty line
    // A line that starts with a blank continues the previous one (obsolete
    // folding): refused, as RFC 9112 5.2 allows, rather than guessed at.
    const size_t name = i;
    while (i < len && is_tchar(p[i]))
      ++i;
    if (i == len) return HTTP_PARSE_PARTIAL;
    // No blank between the name and its colon (RFC 9112 5.1).
    if (i == name || p[i] != ':') return fail(req, 400);
    const size_t name_len = i - name;
    ++i;
    while (i < len && (p[i] == ' ' || p[i] == '\t'))
      ++i;
    const size_t value = i;
    while (i < len && is_value_char(p[i]))
      ++i;
    if (i == len) return HTTP_PARSE_PARTIAL;
    br = line_break(p, len, i);
    if (br == 0) return HTTP_PARSE_PARTIAL;
    if (br < 0) return fail(req, 400);  // a control byte inside the value
    size_t value_end = i;
    while (value_end > value && (p[value_end - 1] == ' ' || p[value_end - 1] == '\t'))
      --value_end;
    if (req->header_count == http_request_t::HEADERS_MAX) return fail(req, 431);
    http_header_t& h = req->headers[req->header_count++];
    h.name = buf + name;
    h.name_len = name_len;
    h.value = buf + value;
    h.value_len = value_end - value;
    i += static_cast<size_t>(br);
  }
}

const char* http_header_value(const http_request_t* req, const char* name, size_t* value_len) {
  if (req == nullptr || name == nullptr) return nullptr;
  const size_t n = strlen(name);
  for (size_t k = 0; k < req->header_count; ++k) {
    const http_header_t& h = req->headers[k];
    if (h.name_len == n && strncasecmp(h.name, name, n) == 0) {
      if (value_len != nullptr) *value_len = h.value_len;
      return h.value;
    }
  }
  return nullptr;
}
