// The plain HTTP answer: which request gets the page, a 404 or a 400, and
// what the head says about the body it goes with.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "web/http_page.hpp"

namespace {

struct reply_t {
  int result;
  http_answer_t a;
  std::string head() const { return std::string(a.head, a.head_len); }
};

reply_t ask(const std::string& request) {
  reply_t r{};
  memset(&r.a, 0x5A, sizeof(r.a));  // nothing may be left over from before
  r.result = http_page_answer(request.data(), request.size(), &r.a);
  return r;
}

// The value of one header line in a head, or "" when it is missing.
std::string header(const std::string& head, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const size_t at = head.find(key);
  if (at == std::string::npos) return "";
  const size_t from = at + key.size();
  return head.substr(from, head.find("\r\n", from) - from);
}

// Every answer: the head ends with the empty line, closes the connection and
// announces exactly the body it carries (or would carry, for HEAD).
void expect_well_formed(const reply_t& r, int status, size_t announced) {
  EXPECT_EQ(r.result, status);
  EXPECT_EQ(r.a.status, status);
  const std::string head = r.head();
  ASSERT_GT(head.size(), 4u);
  EXPECT_EQ(head.substr(0, 13), "HTTP/1.1 " + std::to_string(status) + " ");
  EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
  EXPECT_EQ(head.find("\r\n\r\n"), head.size() - 4) << "one empty line, at the end";
  EXPECT_EQ(header(head, "Connection"), "close");
  EXPECT_EQ(header(head, "Content-Length"), std::to_string(announced));
}

}  // namespace

TEST(HttpPage, PageForRootAndIndex) {
  const char* requests[] = {
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:8081\r\nAccept: text/html\r\n\r\n",
      "GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n",
      "GET /?room=1 HTTP/1.1\r\n\r\n",  // the query is not part of the path
      "GET /index.html#top HTTP/1.0\r\n\r\n",
      "GET / HTTP/1.0\n\n",                           // bare LF line ends
      "\r\nGET / HTTP/1.1\r\n\r\n",                   // an empty line before the request
      "GET http://127.0.0.1:8081/ HTTP/1.1\r\n\r\n",  // absolute form
      "GET https://localhost:8081 HTTP/1.1\r\n\r\n",  // absolute form, empty path
  };
  for (const char* req : requests) {
    SCOPED_TRACE(req);
    const reply_t r = ask(req);
    expect_well_formed(r, HTTP_STATUS_OK, http_chat_page_len);
    EXPECT_EQ(header(r.head(), "Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(r.a.body, http_chat_page);
    EXPECT_EQ(r.a.body_len, http_chat_page_len);
  }
}

TEST(HttpPage, EmbeddedPageIsTheSourceFileByteForByte) {
  std::ifstream f(RELAYHUB_SOURCE_DIR "/web/chat.html", std::ios::binary);
  ASSERT_TRUE(f.good());
  const std::string file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_EQ(http_chat_page_len, file.size());
  EXPECT_EQ(memcmp(http_chat_page, file.data(), file.size()), 0);
  EXPECT_EQ(http_chat_page[http_chat_page_len], 0) << "terminated, for callers that print it";
}

TEST(HttpPage, OtherPathsAreNotFound) {
  for (const char* path :
       {"/nope", "/index.htm", "/index.html/", "//", "/favicon.ico", "/%2F", "/INDEX.HTML"}) {
    SCOPED_TRACE(path);
    const reply_t r = ask(std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    expect_well_formed(r, HTTP_STATUS_NOT_FOUND, r.a.body_len);
    ASSERT_NE(r.a.body, nullptr);
    EXPECT_GT(r.a.body_len, 0u);
    EXPECT_NE(r.a.body, http_chat_page);
    EXPECT_EQ(header(r.head(), "Content-Type"), "text/plain; charset=utf-8");
  }
}

TEST(HttpPage, HeadAnnouncesTheBodyWithoutSendingIt) {
  reply_t r = ask("HEAD / HTTP/1.1\r\n\r\n");
  expect_well_formed(r, HTTP_STATUS_OK, http_chat_page_len);
  EXPECT_EQ(r.a.body, nullptr);
  EXPECT_EQ(r.a.body_len, 0u);

  r = ask("HEAD /nope HTTP/1.1\r\n\r\n");
  EXPECT_EQ(r.result, HTTP_STATUS_NOT_FOUND);
  EXPECT_EQ(r.a.body, nullptr);
  EXPECT_EQ(r.a.body_len, 0u);
  EXPECT_NE(header(r.head(), "Content-Length"), "0");
}

TEST(HttpPage, RequestLinesThatAreNotHttpGet400) {
  const std::string bad[] = {
      "",
      "GET\r\n\r\n",
      "GET /\r\n\r\n",            // HTTP/0.9: no version
      "GET / HTTP/1.1",           // no line end within the bytes read
      "GET  / HTTP/1.1\r\n\r\n",  // two blanks
      "GET / HTTP/1.1 \r\n\r\n",  // trailing blank
      "GET\t/ HTTP/1.1\r\n\r\n",
      "GET / FTP/1.1\r\n\r\n",
      "GET / HTTP/11\r\n\r\n",
      "GET / HTTP/1.x\r\n\r\n",
      "GET / http/1.1\r\n\r\n",
      "GET index.html HTTP/1.1\r\n\r\n",  // neither origin nor absolute form
      "G(T / HTTP/1.1\r\n\r\n",
      std::string("GET /\0x HTTP/1.1\r\n\r\n", 20),
      "GET /\xc3\xa9 HTTP/1.1\r\n\r\n",  // raw bytes above ASCII in the target
      "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\n",
  };
  for (const std::string& req : bad) {
    SCOPED_TRACE(testing::PrintToString(req));
    const reply_t r = ask(req);
    expect_well_formed(r, HTTP_STATUS_BAD_REQUEST, r.a.body_len);
    ASSERT_NE(r.a.body, nullptr);
    EXPECT_EQ(std::string(r.a.body, r.a.body_len).substr(0, 3), "400");
  }
}

TEST(HttpPage, OtherMethodsAreNotAllowed) {
  // Whatever the method, an HTTP request is answered: a form post, a
  // preflight or a lower-case method never becomes chat text.
  for (const char* req : {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", "OPTIONS * HTTP/1.1\r\n\r\n",
                          "get / HTTP/1.1\r\n\r\n", "PUT /index.html HTTP/1.0\r\n\r\n"}) {
    SCOPED_TRACE(req);
    const reply_t r = ask(req);
    expect_well_formed(r, HTTP_STATUS_METHOD_NOT_ALLOWED, r.a.body_len);
    EXPECT_EQ(header(r.head(), "Allow"), "GET, HEAD");
    ASSERT_NE(r.a.body, nullptr);
  }
}

TEST(HttpPage, OnlyTheGivenLengthIsRead) {
  // The bytes after len are not the request's: a head that has not ended
  // within them is no request yet.
  const char req[] = "GET / HTTP/1.1\r\n\r\n";
  http_answer_t a{};
  EXPECT_EQ(http_page_answer(req, strlen("GET / HTTP/1.1\r\n"), &a), HTTP_STATUS_BAD_REQUEST);
  EXPECT_EQ(http_page_answer(req, strlen(req), &a), HTTP_STATUS_OK);
  // More than the parser keeps: 431.
  std::string many = "GET / HTTP/1.1\r\n";
  for (size_t i = 0; i <= http_request_t::HEADERS_MAX; ++i)
    many += "X-H" + std::to_string(i) + ": v\r\n";
  EXPECT_EQ(http_page_answer(many.data(), many.size(), &a), HTTP_STATUS_TOO_LARGE);
}

TEST(HttpPage, NullArguments) {
  http_answer_t a{};
  EXPECT_EQ(http_page_answer(nullptr, 10, &a), HTTP_STATUS_BAD_REQUEST);
  EXPECT_EQ(a.status, HTTP_STATUS_BAD_REQUEST);
  EXPECT_EQ(http_page_answer("GET / HTTP/1.1\r\n", 16, nullptr), HTTP_STATUS_BAD_REQUEST);
}
