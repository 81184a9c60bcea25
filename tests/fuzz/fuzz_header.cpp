// Fuzzes the handshake header builders on arbitrary requests: the response
// must lie inside the buffer given, and the request must not be read beyond
// its terminating zero byte. Byte 0 picks the response buffer size.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "websocket/websocket_srv.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static WEBSOCKET_SRV* ws = new WEBSOCKET_SRV;
  // Mostly the real 2048 bytes, sometimes a tight buffer.
  size_t out_size = (data[0] & 0x80) ? 2048 : (size_t)data[0] * 4 + 1;
  data += 1;
  size -= 1;
  char* req = (char*)malloc(size + 1);
  memcpy(req, data, size);
  req[size] = 0;
  char* out = (char*)malloc(out_size);
  long n = ws->calc_web_socket_header(req, size, out, out_size);
  if (n > 0 && (size_t)n >= out_size) abort();
  if (n > 0 && ws->version != 13 && ws->version != 8) abort();
  // The stand-alone lookup follows the same rule.
  char* p = WEBSOCKET_SRV::header_get_key(req, size, "Host:");
  if (p != nullptr && (p < req || p > req + size)) abort();
  free(out);
  free(req);
  return 0;
}
