// The hub's answer to a plain HTTP request (one that asks for no WebSocket
// upgrade): the chat page compiled into the binary, or a short error.
//
// Stateless and reentrant: every call works on the caller's request and
// answer only; the page and the error bodies are static, read-only text.
#pragma once

#include <cstddef>

#include "web/http_request.hpp"

// Statuses of the hub's HTTP answers.
constexpr int HTTP_STATUS_OK = 200;
constexpr int HTTP_STATUS_BAD_REQUEST = 400;
constexpr int HTTP_STATUS_NOT_FOUND = 404;
constexpr int HTTP_STATUS_METHOD_NOT_ALLOWED = 405;
constexpr int HTTP_STATUS_TOO_LARGE = 431;
constexpr int HTTP_STATUS_UNAVAILABLE = 503;

// Answer to a plain HTTP request that is not a WebSocket upgrade.
struct http_answer_t {
  char head[512];  // status line and header lines, ending with the empty line
  size_t head_len;
  const char* body;  // static text, not owned; null when there is none
  size_t body_len;
  int status;  // one of the HTTP_STATUS_* above
};

// Builds the answer to a parsed request head: GET and HEAD of "/" and
// "/index.html" (a query or fragment aside, origin or absolute form) -> 200
// with the page (Content-Type: text/html; charset=utf-8); other paths ->
// 404; any other method -> 405 with "Allow: GET, HEAD"; a target in neither
// form -> 400. HEAD gets the head of the GET answer and no body. Every
// answer has Content-Length and "Connection: close". Returns the status; a
// null req or out gives 400 (nothing is written to a null out).
int http_answer_request(const http_request_t* req, http_answer_t* out);

// The answer with status (400, 404, 405 or 431; anything else counts as
// 400) and its short text body. Returns the status.
int http_answer_status(int status, http_answer_t* out);

// The answer to a whole request as read (len bytes): parsed with
// http_parse_request, then as http_answer_request; a head that is faulty or
// does not end within len gives 400 (431 for too many headers).
int http_page_answer(const char* request, size_t len, http_answer_t* out);

// The head of an answer as every answer of the hub has it: the status line,
// "Allow" with 405, Content-Type, Content-Length of the body that goes (or,
// for HEAD, would go) with it, no caching, "Connection: close", and the
// empty line; zero-terminated in out. Returns its length, 0 when it does
// not fit cap.
size_t http_answer_head(int status, const char* content_type, size_t content_length, char* out, size_t cap);

// The path of a request target without query or fragment: origin form
// ("/path"), or absolute form ("http://host/path", whose empty path is
// "/"). False for any other form, or a target with bytes no URI holds.
bool http_target_path(const char* target, size_t n, const char** path, size_t* path_len);

// The page itself (generated at build time from web/chat.html).
extern const char http_chat_page[];
extern const size_t http_chat_page_len;
