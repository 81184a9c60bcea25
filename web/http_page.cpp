// Plain HTTP answers: the chat page for "/" and "/index.html", 404 for any
// other path, 400 for a request line that is not HTTP.
#include "web/http_page.hpp"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

const char BODY_NOT_FOUND[] = "404 not found: the chat page is at /\n";
const char BODY_BAD_REQUEST[] = "400 bad request\n";

// RFC 9110 token characters, the alphabet of a method name.
bool is_tchar(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// Visible ASCII: what a request target may hold.
bool is_vchar(unsigned char c) { return c >= 0x21 && c <= 0x7E; }

struct request_line_t {
  const char* method = nullptr;
  size_t method_len = 0;
  const char* path = nullptr;  // the target's path, without query or fragment
  size_t path_len = 0;
};

// Splits "METHOD SP target SP HTTP/d.d" ending in LF or CR LF. false when the
// line does not have exactly that form or has no end within the bytes read.
bool parse_request_line(const char* p, size_t len, request_line_t* rl) {
  const char* end = p + len;
  // A server ignores empty lines before the request line (RFC 9112 2.2).
  while (p < end && (*p == '\r' || *p == '\n')) ++p;
  const char* eol = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
  if (eol == nullptr) return false;
  const char* line_end = (eol > p && eol[-1] == '\r') ? eol - 1 : eol;

  const char* q = p;
  while (q < line_end && is_tchar(static_cast<unsigned char>(*q))) ++q;
  if (q == p || q == line_end || *q != ' ') return false;
  rl->method = p;
  rl->method_len = static_cast<size_t>(q - p);

  const char* t = ++q;
  while (q < line_end && is_vchar(static_cast<unsigned char>(*q))) ++q;
  if (q == t || q == line_end || *q != ' ') return false;
  const char* t_end = q++;

  static const char VERSION[] = "HTTP/";
  const size_t vlen = sizeof(VERSION) - 1;
  if (static_cast<size_t>(line_end - q) != vlen + 3 || memcmp(q, VERSION, vlen) != 0) return false;
  q += vlen;
  if (q[0] < '0' || q[0] > '9' || q[1] != '.' || q[2] < '0' || q[2] > '9') return false;

  // Absolute form ("http://host/path"), which a server must accept too: the
  // path starts after the authority.
  const char* path = t;
  if (static_cast<size_t>(t_end - t) > 7 &&
      (strncasecmp(t, "http://", 7) == 0 || strncasecmp(t, "https://", 8) == 0)) {
    const char* a = static_cast<const char*>(memchr(t, ':', static_cast<size_t>(t_end - t))) + 3;
    path = a;
    while (path < t_end && *path != '/' && *path != '?' && *path != '#') ++path;
    if (path == t_end || *path != '/') {
      rl->path = "/";
      rl->path_len = 1;
      return true;
    }
  } else if (*t != '/') {
    return false;
  }
  const char* path_end = path;
  while (path_end < t_end && *path_end != '?' && *path_end != '#') ++path_end;
  rl->path = path;
  rl->path_len = static_cast<size_t>(path_end - path);
  return true;
}

bool equals(const char* p, size_t n, const char* word) {
  return n == strlen(word) && memcmp(p, word, n) == 0;
}

// Fills the head for status with a body of body_len bytes of content_type.
// With_body false (HEAD) keeps the Content-Length but sends no body.
int answer(http_answer_t* out, int status, const char* body, size_t body_len,
           const char* content_type, bool with_body) {
  const char* reason = status == HTTP_STATUS_OK          ? "OK"
                       : status == HTTP_STATUS_NOT_FOUND ? "Not Found"
                                                         : "Bad Request";
  const int n = snprintf(out->head, sizeof(out->head),
                         "HTTP/1.1 %d %s\r\n"
                         "Content-Type: %s\r\n"
                         "Content-Length: %zu\r\n"
                         "Cache-Control: no-cache\r\n"
                         "X-Content-Type-Options: nosniff\r\n"
                         "Connection: close\r\n"
                         "\r\n",
                         status, reason, content_type, body_len);
  // The formats above are far below the head's size; a failure leaves an
  // empty head rather than a cut one.
  out->head_len = (n > 0 && static_cast<size_t>(n) < sizeof(out->head)) ? static_cast<size_t>(n) : 0;
  out->body = with_body ? body : nullptr;
  out->body_len = with_body ? body_len : 0;
  out->status = status;
  return status;
}

}  // namespace

int http_page_answer(const char* request, size_t len, http_answer_t* out) {
  if (out == nullptr) return HTTP_STATUS_BAD_REQUEST;
  static const char TEXT_PLAIN[] = "text/plain; charset=utf-8";
  request_line_t rl;
  if (request == nullptr || !parse_request_line(request, len, &rl)) {
    return answer(out, HTTP_STATUS_BAD_REQUEST, BODY_BAD_REQUEST, sizeof(BODY_BAD_REQUEST) - 1,
                  TEXT_PLAIN, true);
  }
  const bool get = equals(rl.method, rl.method_len, "GET");
  const bool head = equals(rl.method, rl.method_len, "HEAD");
  if (!get && !head) {
    return answer(out, HTTP_STATUS_BAD_REQUEST, BODY_BAD_REQUEST, sizeof(BODY_BAD_REQUEST) - 1,
                  TEXT_PLAIN, true);
  }
  if (equals(rl.path, rl.path_len, "/") || equals(rl.path, rl.path_len, "/index.html")) {
    return answer(out, HTTP_STATUS_OK, http_chat_page, http_chat_page_len,
                  "text/html; charset=utf-8", get);
  }
  return answer(out, HTTP_STATUS_NOT_FOUND, BODY_NOT_FOUND, sizeof(BODY_NOT_FOUND) - 1,
                TEXT_PLAIN, get);
}
