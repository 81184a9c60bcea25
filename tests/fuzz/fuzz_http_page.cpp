// Fuzzes the plain HTTP answer on arbitrary requests: the request is read
// only within its length (it is copied to a buffer of exactly that size), the
// status is one the hub answers with, and the head is complete and announces
// the body.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/fuzz/fuzz_check.hpp"
#include "web/http_page.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char* req = static_cast<char*>(malloc(size ? size : 1));
  memcpy(req, data, size);
  http_answer_t a;
  const int status = http_page_answer(req, size, &a);
  free(req);
  check(status == a.status);
  check(status == HTTP_STATUS_OK || status == HTTP_STATUS_NOT_FOUND || status == HTTP_STATUS_BAD_REQUEST ||
        status == HTTP_STATUS_METHOD_NOT_ALLOWED || status == HTTP_STATUS_TOO_LARGE);
  // Only a request the parser takes whole can be served; "Allow" only with 405.
  http_request_t parsed;
  const long head = http_parse_request(reinterpret_cast<const char*>(data), size, &parsed);
  if (status == HTTP_STATUS_OK || status == HTTP_STATUS_NOT_FOUND) check(head > 0);
  check((memmem(a.head, a.head_len, "\r\nAllow: GET, HEAD\r\n", 20) != nullptr) ==
        (status == HTTP_STATUS_METHOD_NOT_ALLOWED));
  check(a.head_len >= 4 && a.head_len < sizeof(a.head));
  check(memcmp(a.head + a.head_len - 4, "\r\n\r\n", 4) == 0);
  check((a.body == nullptr) == (a.body_len == 0));
  check(status != HTTP_STATUS_OK || a.body == nullptr || a.body == http_chat_page);
  char length[64];
  snprintf(length, sizeof(length), "\r\nContent-Length: %zu\r\n",
           a.body != nullptr ? a.body_len : (status == HTTP_STATUS_OK ? http_chat_page_len : 0));
  if (a.body != nullptr || status == HTTP_STATUS_OK) {
    check(memmem(a.head, a.head_len, length, strlen(length)) != nullptr);
  }
  return 0;
}
