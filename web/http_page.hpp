// The hub's answer to a plain HTTP request (one that asks for no WebSocket
// upgrade): the chat page compiled into the binary, or a short error.
//
// Stateless and reentrant: every call works on the caller's request and
// answer only; the page and the error bodies are static, read-only text.
#pragma once

#include <cstddef>

// Statuses http_page_answer() gives.
constexpr int HTTP_STATUS_OK = 200;
constexpr int HTTP_STATUS_BAD_REQUEST = 400;
constexpr int HTTP_STATUS_NOT_FOUND = 404;

// Answer to a plain HTTP request that is not a WebSocket upgrade.
struct http_answer_t {
  char head[512];        // status line and header lines, ending with the empty line
  size_t head_len;
  const char* body;      // static text, not owned; null when there is none
  size_t body_len;
  int status;            // 200, 404 or 400
};

// Builds the answer to the request (len bytes, as read from the client):
// GET / and GET /index.html -> 200 with the page, Content-Type: text/html; charset=utf-8,
// Content-Length, Connection: close; any other path -> 404; a request line that is not
// valid HTTP -> 400. Returns the status.
//
// Only the request line is judged; a query ("/?x=1") is ignored. HEAD gets the
// same head as GET and no body. Any other method is answered 400: the hub
// serves nothing else. A null out gives 400 and writes nothing.
int http_page_answer(const char* request, size_t len, http_answer_t* out);

// The page itself (generated at build time from web/chat.html).
extern const char http_chat_page[];
extern const size_t http_chat_page_len;
