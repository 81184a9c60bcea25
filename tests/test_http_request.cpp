// The request head parser: the same request gives the same answer whether it
// arrives whole or cut anywhere, "partial" until its empty line, and the
// first bytes of a stream tell a request from a plain stream.
#include <gtest/gtest.h>

#include <string>

#include "web/http_request.hpp"

namespace {

long parse(const std::string& s, http_request_t* req) {
  return http_parse_request(s.data(), s.size(), req);
}

std::string header(const http_request_t& req, const char* name) {
  size_t n = 0;
  const char* v = http_header_value(&req, name, &n);
  return v == nullptr ? "<none>" : std::string(v, n);
}

// A browser's upgrade with a 3,000-byte cookie, as proxies and browsers
// with many cookies send it.
std::string browser_request() {
  return "GET /chat?room=1 HTTP/1.1\r\n"
         "Host: 127.0.0.1:8081\r\n"
         "Connection: Upgrade\r\n"
         "Upgrade: websocket\r\n"
         "Cookie: " +
         std::string(3000, 'c') +
         "\r\n"
         "Sec-WebSocket-Version: 13\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
         "Sec-WebSocket-Extensions:  permessage-deflate; client_max_window_bits \t\r\n"
         "\r\n";
}

}  // namespace

TEST(HttpRequest, CutAtEveryByteIsPartialUntilTheEmptyLine) {
  const std::string tail = "\x81\x85 frame bytes";  // what follows the head is not the head's
  for (const std::string& head : {browser_request(), std::string("\r\nPOST /f HTTP/1.0\nA:b\n\n"),
                                  std::string("OPTIONS * HTTP/1.1\r\n\r\n")}) {
    SCOPED_TRACE(head.substr(0, 40));
    const std::string whole = head + tail;
    http_request_t req;
    ASSERT_EQ(static_cast<long>(head.size()), parse(whole, &req));
    const std::string line_end = head.substr(0, head.find("HTTP/1.") + 8);
    for (size_t k = 0; k < head.size(); ++k) {
      http_request_t part;
      ASSERT_EQ(HTTP_PARSE_PARTIAL, http_parse_request(whole.data(), k, &part)) << "cut at " << k;
      EXPECT_EQ(k < line_end.size() ? HTTP_LINE_PREFIX : HTTP_LINE_YES,
                http_request_line_kind(whole.data(), k))
          << "cut at " << k;
    }
  }
}

TEST(HttpRequest, FieldsOfAWholeHead) {
  http_request_t req;
  const std::string r = browser_request();
  ASSERT_EQ(static_cast<long>(r.size()), parse(r, &req));
  EXPECT_EQ("GET", std::string(req.method, req.method_len));
  EXPECT_EQ("/chat?room=1", std::string(req.target, req.target_len));
  EXPECT_EQ(1, req.minor_version);
  EXPECT_TRUE(req.line_complete);
  EXPECT_EQ(7u, req.header_count);
  // Names without regard to case; values without the blanks around them.
  EXPECT_EQ("permessage-deflate; client_max_window_bits", header(req, "sec-websocket-extensions"));
  EXPECT_EQ(std::string(3000, 'c'), header(req, "COOKIE"));
  EXPECT_EQ("<none>", header(req, "Origin"));
  const std::string empty_value = "GET / HTTP/1.0\r\nX:\r\n\r\n";  // req points into it
  ASSERT_EQ(static_cast<long>(empty_value.size()), parse(empty_value, &req));
  EXPECT_EQ("", header(req, "x"));
  EXPECT_EQ(0, req.minor_version);
}

TEST(HttpRequest, IncompleteHeads) {
  // Each stops short of the empty line somewhere else.
  for (const char* s : {"", "\r", "\r\n", "G", "GET", "GET ", "GET /", "GET / ", "GET / HTTP/1",
                        "GET / HTTP/1.1", "GET / HTTP/1.1\r", "GET / HTTP/1.1\r\n", "GET / HTTP/1.1\r\nHost",
                        "GET / HTTP/1.1\r\nHost:", "GET / HTTP/1.1\r\nHost: x", "GET / HTTP/1.1\r\nHost: x\r",
                        "GET / HTTP/1.1\r\nHost: x\r\n", "GET / HTTP/1.1\r\nHost: x\r\n\r"}) {
    http_request_t req;
    EXPECT_EQ(HTTP_PARSE_PARTIAL, parse(s, &req)) << testing::PrintToString(std::string(s));
  }
}

TEST(HttpRequest, MalformedHeads) {
  struct Case {
    std::string text;
    int status;
    bool line_complete;
  } cases[] = {
      {"GET / HTTP/1.1\r\n Folded: value\r\n\r\n", 400, true},  // obsolete line folding
      {"GET / HTTP/1.1\r\nName : value\r\n\r\n", 400, true},    // blank before the colon
      {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", 400, true},
      {"GET / HTTP/1.1\r\nA: b\rC: d\r\n\r\n", 400, true},  // a bare CR
      {"GET / HTTP/1.1\r\nA: b\x0b"
       "c\r\n\r\n",
       400, true},  // a control byte in a value
      {std::string("GET / HTTP/1.1\r\nA: b\0c\r\n\r\n", 24), 400, true},
      {"GET / HTTP/1.1x\r\n\r\n", 400, false},
      {"GET / HTTP/2.0\r\n\r\n", 400, false},
      {"GET  / HTTP/1.1\r\n\r\n", 400, false},
      {"\nGET / HTTP/1.1\r\n\r\n", 400, false},  // only CR LF counts as an empty line in front
  };
  for (const Case& c : cases) {
    http_request_t req;
    EXPECT_EQ(HTTP_PARSE_ERROR, parse(c.text, &req)) << testing::PrintToString(c.text);
    EXPECT_EQ(c.status, req.error_status) << testing::PrintToString(c.text);
    EXPECT_EQ(c.line_complete, req.line_complete) << testing::PrintToString(c.text);
  }
  std::string many = "GET / HTTP/1.1\r\n";
  for (size_t i = 0; i < http_request_t::HEADERS_MAX; ++i)
    many += "H: v\r\n";
  http_request_t req;
  EXPECT_EQ(static_cast<long>(many.size() + 2), parse(many + "\r\n", &req));
  EXPECT_EQ(HTTP_PARSE_ERROR, parse(many + "One-More: v\r\n\r\n", &req));
  EXPECT_EQ(431, req.error_status);
  EXPECT_EQ(HTTP_PARSE_ERROR, http_parse_request(nullptr, 3, &req));
  EXPECT_EQ(HTTP_PARSE_ERROR, http_parse_request("GET", 3, nullptr));
}

TEST(HttpRequest, FirstBytesOfAStream) {
  // Plain streams are told apart at their first byte that cannot continue a
  // request line, so they are never kept waiting.
  for (const char* s :
       {"hello world\n", "hi there, how are you", "\n", "\x16\x03\x01\x02\x00\x01", "GET\t/", "GET / FTP/1.1",
        "GET nope\r\n\r\n", "{\"json\": 1}", "a b c", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}) {
    EXPECT_EQ(HTTP_LINE_NO, http_request_line_kind(s, std::string(s).size()))
        << testing::PrintToString(std::string(s));
  }
  for (const char* s : {"GE", "POST /x HT", "get / HTTP/1", "\r\n\r", "OPTIONS *"}) {
    EXPECT_EQ(HTTP_LINE_PREFIX, http_request_line_kind(s, std::string(s).size())) << s;
  }
  for (const char* s :
       {"get / HTTP/1.1", "HEAD /x HTTP/1.0\r\n", "\r\nPOST /form HTTP/1.1\r\nContent-Length: 3"}) {
    EXPECT_EQ(HTTP_LINE_YES, http_request_line_kind(s, std::string(s).size())) << s;
  }
}
