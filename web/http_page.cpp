// Plain HTTP answers: the chat page for "/" and "/index.html", 404 for any
// other path, 405 for any other method, 400 or 431 for a faulty request.
#include "web/http_page.hpp"

#include <cstdio>
#include <cstring>
#include <strings.h>

namespace {

const char BODY_NOT_FOUND[] = "404 not found: the chat page is at /\n";
const char BODY_BAD_REQUEST[] = "400 bad request\n";
const char BODY_NOT_ALLOWED[] = "405 method not allowed: GET or HEAD only\n";
const char BODY_TOO_LARGE[] = "431 request header fields too large\n";
const char TEXT_PLAIN[] = "text/plain; charset=utf-8";

bool equals(const char* p, size_t n, const char* word) {
  return n == strlen(word) && memcmp(p, word, n) == 0;
}

}  // namespace

bool http_target_path(const char* t, size_t n, const char** path, size_t* path_len) {
  if (t == nullptr || path == nullptr || path_len == nullptr) return false;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(t[i]);
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  const char* end = t + n;
  const char* p = t;
  if (n > 7 && (strncasecmp(t, "http://", 7) == 0 || (n > 8 && strncasecmp(t, "https://", 8) == 0))) {
    p = static_cast<const char*>(memchr(t, ':', n)) + 3;
    while (p < end && *p != '/' && *p != '?' && *p != '#')
      ++p;
    if (p == end || *p != '/') {
      *path = "/";
      *path_len = 1;
      return true;
    }
  } else if (n == 0 || *t != '/') {
    return false;
  }
  const char* e = p;
  while (e < end && *e != '?' && *e != '#')
    ++e;
  *path = p;
  *path_len = static_cast<size_t>(e - p);
  return true;
}

namespace {

const char* reason_of(int status) {
  switch (status) {
    case HTTP_STATUS_OK:
      return "OK";
    case HTTP_STATUS_NOT_FOUND:
      return "Not Found";
    case HTTP_STATUS_METHOD_NOT_ALLOWED:
      return "Method Not Allowed";
    case HTTP_STATUS_TOO_LARGE:
      return "Request Header Fields Too Large";
    case HTTP_STATUS_UNAVAILABLE:
      return "Service Unavailable";
    default:
      return "Bad Request";
  }
}

}  // namespace

size_t http_answer_head(int status, const char* content_type, size_t content_length, char* out, size_t cap) {
  if (out == nullptr || cap == 0) return 0;
  const int n = snprintf(out, cap,
                         "HTTP/1.1 %d %s\r\n"
                         "%s"
                         "Content-Type: %s\r\n"
                         "Content-Length: %zu\r\n"
                         "Cache-Control: no-cache\r\n"
                         "X-Content-Type-Options: nosniff\r\n"
                         "Connection: close\r\n"
                         "\r\n",
                         status, reason_of(status),
                         status == HTTP_STATUS_METHOD_NOT_ALLOWED ? "Allow: GET, HEAD\r\n" : "", content_type,
                         content_length);
  // A failure leaves an empty head rather than a cut one.
  if (n <= 0 || static_cast<size_t>(n) >= cap) {
    out[0] = 0;
    return 0;
  }
  return static_cast<size_t>(n);
}

namespace {

// Fills the head for status with a body of body_len bytes of content_type.
// With_body false (HEAD) keeps the Content-Length but sends no body.
int answer(http_answer_t* out, int status, const char* body, size_t body_len, const char* content_type,
           bool with_body) {
  out->head_len = http_answer_head(status, content_type, body_len, out->head, sizeof(out->head));
  out->body = with_body ? body : nullptr;
  out->body_len = with_body ? body_len : 0;
  out->status = status;
  return status;
}

}  // namespace

int http_answer_status(int status, http_answer_t* out) {
  if (out == nullptr) return HTTP_STATUS_BAD_REQUEST;
  switch (status) {
    case HTTP_STATUS_NOT_FOUND:
      return answer(out, status, BODY_NOT_FOUND, sizeof(BODY_NOT_FOUND) - 1, TEXT_PLAIN, true);
    case HTTP_STATUS_METHOD_NOT_ALLOWED:
      return answer(out, status, BODY_NOT_ALLOWED, sizeof(BODY_NOT_ALLOWED) - 1, TEXT_PLAIN, true);
    case HTTP_STATUS_TOO_LARGE:
      return answer(out, status, BODY_TOO_LARGE, sizeof(BODY_TOO_LARGE) - 1, TEXT_PLAIN, true);
    default:
      return answer(out, HTTP_STATUS_BAD_REQUEST, BODY_BAD_REQUEST, sizeof(BODY_BAD_REQUEST) - 1, TEXT_PLAIN,
                    true);
  }
}

int http_answer_request(const http_request_t* req, http_answer_t* out) {
  if (out == nullptr) return HTTP_STATUS_BAD_REQUEST;
  if (req == nullptr || req->method == nullptr) return http_answer_status(HTTP_STATUS_BAD_REQUEST, out);
  // Methods are case-sensitive: "get" is not GET.
  const bool get = equals(req->method, req->method_len, "GET");
  const bool head = equals(req->method, req->method_len, "HEAD");
  if (!get && !head) return http_answer_status(HTTP_STATUS_METHOD_NOT_ALLOWED, out);
  const char* path = nullptr;
  size_t path_len = 0;
  if (!http_target_path(req->target, req->target_len, &path, &path_len))
    return http_answer_status(HTTP_STATUS_BAD_REQUEST, out);
  if (equals(path, path_len, "/") || equals(path, path_len, "/index.html")) {
    return answer(out, HTTP_STATUS_OK, http_chat_page, http_chat_page_len, "text/html; charset=utf-8", get);
  }
  return answer(out, HTTP_STATUS_NOT_FOUND, BODY_NOT_FOUND, sizeof(BODY_NOT_FOUND) - 1, TEXT_PLAIN, get);
}

int http_page_answer(const char* request, size_t len, http_answer_t* out) {
  if (out == nullptr) return HTTP_STATUS_BAD_REQUEST;
  http_request_t req;
  const long r = http_parse_request(request, len, &req);
  if (r == HTTP_PARSE_ERROR) return http_answer_status(req.error_status, out);
  if (r == HTTP_PARSE_PARTIAL) return http_answer_status(HTTP_STATUS_BAD_REQUEST, out);
  return http_answer_request(&req, out);
}
