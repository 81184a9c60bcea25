// The HTTP/1.x request head parser: a pure function over the bytes a client
// has sent so far. It keeps no state between calls: the caller appends what
// it reads and calls again with everything, so a head that arrives in any
// number of pieces gives the same result as one that arrives whole.
//
// Stateless and reentrant: it writes only the caller's http_request_t, whose
// pointers point into the caller's bytes.
#pragma once

#include <cstddef>

// Results of http_parse_request besides a head length (> 0).
enum HTTP_PARSE_E : long {
  HTTP_PARSE_ERROR = -1,    // not a well-formed request head (req.error_status says 400 or 431)
  HTTP_PARSE_PARTIAL = -2,  // well-formed so far; the head has not ended yet
};

// What the first bytes of a stream are, for telling HTTP from a plain stream
// (http_request_line_kind).
enum HTTP_LINE_E : int {
  HTTP_LINE_NO = 0,      // cannot be the start of an HTTP/1.x request
  HTTP_LINE_PREFIX = 1,  // could still become a request line: wait for more
  HTTP_LINE_YES = 2,     // an HTTP/1.x request line up to its version digit
};

struct http_header_t {
  const char* name;
  size_t name_len;
  const char* value;  // without the blanks around it
  size_t value_len;
};

struct http_request_t {
  static constexpr size_t HEADERS_MAX = 64;
  const char* method;
  size_t method_len;
  const char* target;
  size_t target_len;
  int minor_version;  // the d of HTTP/1.d
  size_t header_count;
  http_header_t headers[HEADERS_MAX];
  // Set once the request line has been seen whole and well-formed (with
  // HTTP_PARSE_ERROR it tells a faulty HTTP request from bytes that are no
  // HTTP at all).
  bool line_complete;
  // With HTTP_PARSE_ERROR: 400, or 431 for more than HEADERS_MAX headers.
  int error_status;
};

// Parses the request head at buf (len bytes): the request line "METHOD SP
// target SP HTTP/1.d", header lines "name: value", and the empty line that
// ends the head; lines end in CR LF or a bare LF, and empty lines (CR LF)
// before the request line are skipped. Returns the head's length in bytes,
// the empty line included (> 0; the bytes after it are not the head's),
// HTTP_PARSE_PARTIAL when every byte so far fits and the head has not ended,
// or HTTP_PARSE_ERROR. req is filled as far as the bytes went. A null buf or
// req gives HTTP_PARSE_ERROR.
long http_parse_request(const char* buf, size_t len, http_request_t* req);

// How the first len bytes of a stream relate to an HTTP/1.x request line
// (leading CR LF pairs allowed): HTTP_LINE_YES, HTTP_LINE_PREFIX or
// HTTP_LINE_NO. Decides from the request line alone, so a plain stream that
// does not look like one is recognised at its first byte that does not fit.
int http_request_line_kind(const char* buf, size_t len);

// The value of header `name` (compared without regard to case) in a parsed
// request, with its length; null when the request has no such header.
const char* http_header_value(const http_request_t* req, const char* name, size_t* value_len);
