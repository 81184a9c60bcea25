// WebSocket handshake and framing: known vectors, hostile lengths, the
// outgoing text/binary decision, and handshakes over a local socket pair.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/ws_test_frames.hpp"
#include "web/http_page.hpp"
#include "websocket/websocket_srv.hpp"

namespace {

std::string digest_b64_sha1(const std::string& s) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), md, &n, EVP_sha1(), nullptr);
  char out[64];
  WEBSOCKET_SRV::b64_encode(md, n, out);
  return out;
}

bytes md5_of(const unsigned char* p, size_t n) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_Digest(p, n, md, &len, EVP_md5(), nullptr);
  return bytes(md, md + len);
}

std::string rfc_response(const std::string& accept) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: WebSocket\r\n"
         "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
         accept + "\r\n\r\n";
}

// The Key1/Key2 answer's header block; location is the whole URL, and the
// protocol line is there only when protocol is not empty.
std::string old_response_text(const std::string& origin, const std::string& location,
                              const std::string& protocol = "") {
  return "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\n"
         "Connection: Upgrade\r\nSec-WebSocket-Origin: " +
         origin + "\r\nSec-WebSocket-Location: " + location + "\r\n" +
         (protocol.empty() ? "" : "Sec-WebSocket-Protocol: " + protocol + "\r\n") + "\r\n";
}

const char kSampleRequest[] =
    "GET /chat HTTP/1.1\r\n"
    "Host: server.example.com\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Origin: http://example.com\r\n"
    "Sec-WebSocket-Version: 13\r\n\r\n";

// Runs the header builder over a zero-terminated copy of the request.
struct header_result {
  long len;
  std::string text;
};

header_result build(WEBSOCKET_SRV& ws, const std::string& req, size_t size = 2048, bool secure = false) {
  std::vector<char> in(req.begin(), req.end());
  in.push_back(0);
  std::vector<char> out(size + 1, 'X');
  long n = ws.calc_web_socket_header(in.data(), req.size(), out.data(), size, secure);
  header_result r{n, {}};
  if (n > 0) r.text.assign(out.data(), (size_t)n);
  return r;
}

// Owns a WEBSOCKET_SRV whose transport is one end of a socket pair.
class WsPair : public ::testing::Test {
 protected:
  std::unique_ptr<WEBSOCKET_SRV> ws{new WEBSOCKET_SRV};
  int peer = -1;

  void SetUp() override {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
    timeval tv{2, 0};  // the transport never blocks a test for long
    setsockopt(sv[0], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    ASSERT_EQ(0, ws->tls.new_client_raw(sv[0]));
    peer = sv[1];
  }
  void TearDown() override {
    ws->tls.end_session();
    if (peer >= 0) close(peer);
  }
  void put(const std::string& s) {
    ASSERT_EQ((ssize_t)s.size(), ::send(peer, s.data(), s.size(), MSG_NOSIGNAL));
  }
  // Everything the peer receives within the time-out, up to max bytes.
  std::string take(size_t max = 65536, int timeout_ms = 1000) {
    std::string got;
    std::vector<char> buf(max);
    while (got.size() < max) {
      pollfd p{peer, POLLIN, 0};
      if (poll(&p, 1, got.empty() ? timeout_ms : 100) <= 0) break;
      ssize_t n = ::recv(peer, buf.data(), max - got.size(), 0);
      if (n <= 0) break;
      got.append(buf.data(), (size_t)n);
    }
    return got;
  }
  void make_websocket(uint32_t v) {
    ws->version = v;
    ws->b_websocket = true;
  }
};

// ---------------------------------------------------------------- base64

TEST(WsBase64, Rfc4648VectorsAndTable) {
  const char* in[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
  const char* out[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (int i = 0; i < 7; ++i) {
    char buf[32];
    memset(buf, 'X', sizeof(buf));
    long n = WEBSOCKET_SRV::b64_encode((unsigned char*)in[i], (long)strlen(in[i]), buf);
    EXPECT_STREQ(out[i], buf) << in[i];
    EXPECT_EQ((long)strlen(out[i]), n);
  }
  char buf[4] = "XY";
  EXPECT_EQ(0, WEBSOCKET_SRV::b64_encode((unsigned char*)"abc", -3, buf));
  EXPECT_EQ(0, buf[0]);

  EXPECT_EQ('A', WEBSOCKET_SRV::b64_table(0));
  EXPECT_EQ('Z', WEBSOCKET_SRV::b64_table(25));
  EXPECT_EQ('a', WEBSOCKET_SRV::b64_table(26));
  EXPECT_EQ('z', WEBSOCKET_SRV::b64_table(51));
  EXPECT_EQ('0', WEBSOCKET_SRV::b64_table(52));
  EXPECT_EQ('9', WEBSOCKET_SRV::b64_table(61));
  EXPECT_EQ('+', WEBSOCKET_SRV::b64_table(62));
  EXPECT_EQ('/', WEBSOCKET_SRV::b64_table(63));
  EXPECT_EQ('/', WEBSOCKET_SRV::b64_table(200));
}

// ---------------------------------------------------------------- header search

TEST(WsHeaderKey, ValueLocation) {
  char req[] =
      "GET / HTTP/1.1\r\nX-Note: Sec-WebSocket-Key1: inside\r\nsec-websocket-KEY1: \t abc\r\n"
      "Host:\r\n  next\r\nOrigin: o\x01x\r\n";
  size_t len = strlen(req);
  // Names are case-insensitive and count only at the start of a line.
  char* p = WEBSOCKET_SRV::header_get_key(req, len, "Sec-WebSocket-Key1:");
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0, strncmp(p, "abc\r", 4));
  EXPECT_EQ(3u, WEBSOCKET_SRV::header_token_length(p, req + len));
  // An empty value is empty: it does not reach into the next line.
  p = WEBSOCKET_SRV::header_get_key(req, len, "Host:");
  ASSERT_NE(nullptr, p);
  EXPECT_EQ('\r', *p);
  EXPECT_EQ(0u, WEBSOCKET_SRV::header_token_length(p, req + len));
  // A value ends at a control byte.
  p = WEBSOCKET_SRV::header_get_key(req, len, "origin:");
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(1u, WEBSOCKET_SRV::header_token_length(p, req + len));
  // The colon is part of the name: "Key:" does not match "Key1:".
  EXPECT_EQ(nullptr, WEBSOCKET_SRV::header_get_key(req, len, "Sec-WebSocket-Key:"));
  EXPECT_EQ(nullptr, WEBSOCKET_SRV::header_get_key(req, len, "Note:"));

  char tail[] = "Origin:  ";
  EXPECT_EQ(tail + strlen(tail), WEBSOCKET_SRV::header_get_key(tail, strlen(tail), "Origin:"));

  // The search stops at the first zero byte.
  char nul[] = "GET \0\r\nHost: x\r\n";
  EXPECT_EQ(nullptr, WEBSOCKET_SRV::header_get_key(nul, sizeof(nul) - 1, "Host:"));
}

// ---------------------------------------------------------------- RFC 6455 handshake

TEST(WsHandshakeRfc, SampleKeyAndResponse) {
  WEBSOCKET_SRV ws;
  char out[32];
  const char* key = "dGhlIHNhbXBsZSBub25jZQ==";
  EXPECT_EQ(28, ws.calc_web_socket_key((const unsigned char*)key, strlen(key), out));
  EXPECT_STREQ("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", out);

  header_result r = build(ws, kSampleRequest);
  EXPECT_EQ(129, r.len);
  EXPECT_EQ(rfc_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), r.text);
  EXPECT_EQ(13u, ws.version.load());
}

TEST(WsHandshakeRfc, ProtocolEchoesFirstToken) {
  WEBSOCKET_SRV ws;
  std::string req = std::string(kSampleRequest, sizeof(kSampleRequest) - 3) +
                    "Sec-WebSocket-Protocol: chat, superchat\r\n\r\n";
  header_result r = build(ws, req);
  std::string want = rfc_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  want.resize(want.size() - 2);
  want += "Sec-WebSocket-Protocol: chat\r\n\r\n";
  EXPECT_EQ((long)want.size(), r.len);
  EXPECT_EQ(want, r.text);

  // No room for the protocol line: the plain response goes out.
  WEBSOCKET_SRV ws2;
  header_result small = build(ws2, req, 129 + 4 + 27);
  EXPECT_EQ(129, small.len);
  EXPECT_EQ(rfc_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), small.text);
  header_result fits = build(ws2, req, 129 + 4 + 28);
  EXPECT_EQ((long)want.size(), fits.len);

  // An empty protocol value at the very end adds no line (and no NUL byte).
  std::string empty =
      std::string(kSampleRequest, sizeof(kSampleRequest) - 3) + "\r\nSec-WebSocket-Protocol:  ";
  header_result e = build(ws2, empty);
  EXPECT_EQ(129, e.len);
  EXPECT_EQ(std::string::npos, e.text.find('\0'));
}

TEST(WsHandshakeRfc, CopiedProtocolCannotAddResponseLines) {
  // The offered protocol is echoed in the response's own header lines: it
  // ends at the first control byte, so nothing of it can start a line.
  const std::string base(kSampleRequest, sizeof(kSampleRequest) - 3);
  std::string want = rfc_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  want.resize(want.size() - 2);
  want += "Sec-WebSocket-Protocol: chat\r\n\r\n";
  for (const char* sep : {"\r\n", "\n", "\r", "\x01", "\x7f"}) {
    WEBSOCKET_SRV ws;
    header_result r =
        build(ws, base + "Sec-WebSocket-Protocol: chat" + sep + "Set-Cookie: injected=1\r\n\r\n");
    EXPECT_EQ(want, r.text) << (int)sep[0];
  }
}

TEST(WsHandshakeRfc, KeyValueRules) {
  WEBSOCKET_SRV ws;
  // An empty value is no key.
  header_result r = build(ws, "GET / HTTP/1.1\r\nSec-WebSocket-Key:\r\nHost: x\r\n\r\n");
  EXPECT_LE(r.len, 0);
  // The key ends at the first blank or control byte.
  r = build(ws, "GET / HTTP/1.1\r\nSec-WebSocket-Key: abc def\r\n");
  EXPECT_EQ(rfc_response(digest_b64_sha1("abc258EAFA5-E914-47DA-95CA-C5AB0DC85B11")), r.text);
  // Lower-case (undici) and Go's canonical form are the same header.
  for (const char* name : {"sec-websocket-key:", "Sec-Websocket-Key:"}) {
    r = build(ws, std::string("GET / HTTP/1.1\r\n") + name + " dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    EXPECT_EQ(rfc_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), r.text) << name;
  }
}

// ---------------------------------------------------------------- Key1/Key2 handshake

std::string old_request(const std::string& key1, const std::string& key2, const std::string& origin,
                        const std::string& host, const std::string& key3, const std::string& target = "/demo",
                        const std::string& protocol_line = "") {
  return "GET " + target + " HTTP/1.1\r\nHost: " + host +
         "\r\nConnection: Upgrade\r\nSec-WebSocket-Key2: " + key2 + "\r\n" + protocol_line +
         "Upgrade: WebSocket\r\nSec-WebSocket-Key1: " + key1 + "\r\nOrigin: " + origin + "\r\n\r\n" + key3;
}

bytes expected_old_digest(const unsigned char prefix[8], const std::string& key3) {
  unsigned char ch[16];
  memcpy(ch, prefix, 8);
  memcpy(ch + 8, key3.data() + key3.size() - 8, 8);
  return md5_of(ch, 16);
}

// The draft's worked example, with its protocol line, as published.
std::string draft_request() {
  return old_request("4 @1  46546xW%0l 1 5", "12998 5 Y3 1  .P00", "http://example.com", "example.com",
                     "^n:ds[4U", "/demo", "Sec-WebSocket-Protocol: sample\r\n");
}
const char kDraftAnswer[] =
    "HTTP/1.1 101 WebSocket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Origin: http://example.com\r\nSec-WebSocket-Location: ws://example.com/demo\r\n"
    "Sec-WebSocket-Protocol: sample\r\n\r\n8jKS'y:G*Co,Wxa-";

TEST(WsHandshakeOld, DraftVector) {
  WEBSOCKET_SRV ws;
  header_result r = build(ws, draft_request());
  EXPECT_EQ(std::string(kDraftAnswer), r.text);
  EXPECT_EQ((long)sizeof(kDraftAnswer) - 1, r.len);
  EXPECT_EQ(8u, ws.version.load());
}

TEST(WsHandshakeOld, AnswerDescribesTheConnection) {
  // A client of this form compares the location with the URL it opened and
  // the protocol with the one it asked for (none asked: none answered).
  struct Case {
    bool secure;
    std::string target, protocol_line, location, protocol;
  } cases[] = {
      {false, "/", "", "ws://h.test:8081/", ""},
      {true, "/", "", "wss://h.test:8081/", ""},
      {false, "/chat?room=1", "Sec-WebSocket-Protocol: chat\r\n", "ws://h.test:8081/chat?room=1", "chat"},
      {true, "/chat?room=1&x=%20", "", "wss://h.test:8081/chat?room=1&x=%20", ""},
      // The first offered token, by the RFC 6455 answer's rule; an empty
      // value offers none.
      {false, "/", "Sec-WebSocket-Protocol: chat, superchat\r\n", "ws://h.test:8081/", "chat"},
      {false, "/", "sec-websocket-protocol:\r\n", "ws://h.test:8081/", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.location + " " + c.protocol);
    WEBSOCKET_SRV ws;
    header_result r = build(
        ws, old_request("1 2", "3 4", "http://o.test", "h.test:8081", "ABCDEFGH", c.target, c.protocol_line),
        2048, c.secure);
    const std::string t = old_response_text("http://o.test", c.location, c.protocol);
    ASSERT_EQ((long)t.size() + 16, r.len);
    EXPECT_EQ(t, r.text.substr(0, t.size()));
  }
  // A target the location cannot repeat is refused: not a path, or an
  // answer beyond the response buffer.
  for (const std::string& target :
       {std::string("*"), std::string("http://h.test/"), "/" + std::string(2000, 'p')}) {
    WEBSOCKET_SRV ws;
    EXPECT_EQ(0, build(ws, old_request("1 2", "3 4", "o", "h", "ABCDEFGH", target)).len) << target.size();
  }
  // So is a protocol that leaves no room for the digest; one byte less fits.
  const std::string base = old_request("1 2", "3 4", "o", "h", "ABCDEFGH");
  WEBSOCKET_SRV ws;
  const long plain = build(ws, base).len;
  const std::string line = "Sec-WebSocket-Protocol: p\r\n";
  const std::string req = old_request("1 2", "3 4", "o", "h", "ABCDEFGH", "/demo", line);
  EXPECT_EQ(plain + 27, build(ws, req, (size_t)plain + 28).len);
  EXPECT_EQ(0, build(ws, req, (size_t)plain + 27).len);
}

TEST(WsHandshakeOld, ChallengePrefixAndReduction) {
  WEBSOCKET_SRV ws;
  const std::string k3 = "ABCDEFGH";
  const std::string t = old_response_text("o", "ws://h/demo");
  struct Case {
    std::string key1, key2;
    unsigned char prefix[8];
  } cases[] = {
      {"1 2", "a 0 b", {0, 0, 0, 0x0C, 0, 0, 0, 0}},  // 12 / 1 and 0 / 2
      // 4294967296 reduces to 0 before the division.
      {"42949 67296", "7  ", {0, 0, 0, 0, 0, 0, 0, 3}},
      // Beyond 64 bits: the largest 64-bit value, 0xFFFFFFFF after
      // reduction. 200 digits also exceed the digit field.
      {std::string(200, '9') + " ", "1 ", {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    header_result r = build(ws, old_request(c.key1, c.key2, "o", "h", k3));
    ASSERT_EQ((long)t.size() + 16, r.len) << c.key1;
    EXPECT_EQ(bytes(r.text.begin() + t.size(), r.text.end()), expected_old_digest(c.prefix, k3));
  }
}

TEST(WsHandshakeOld, OversizeOriginAndHostAreCut) {
  WEBSOCKET_SRV ws;
  std::string origin(300, 'o'), host(1000, 'h');
  header_result r = build(ws, old_request("1 2", "3 4", origin, host, "12345678"));
  std::string t = old_response_text(origin.substr(0, 127), "ws://" + host.substr(0, 127) + "/demo");
  ASSERT_EQ((long)t.size() + 16, r.len);
  EXPECT_EQ(t, r.text.substr(0, t.size()));
  // The template less its values is 141 bytes.
  EXPECT_EQ(141 + 127 + 127 + 5 + 16, r.len);
}

TEST(WsHandshakeOld, CopiedValuesCannotAddResponseLines) {
  // Origin and Host are copied into the response's own header lines: a
  // control byte in them (a bare LF, a CR, a NUL) ends the copied value.
  WEBSOCKET_SRV ws;
  for (const char* sep : {"\n", "\r", "\x01"}) {
    const std::string origin = std::string("http://a") + sep + "Set-Cookie: injected=1";
    header_result r = build(ws, old_request("1 2", "3 4", origin, "h\x0bX-Evil: 1", "12345678"));
    ASSERT_GT(r.len, 0) << (int)sep[0];
    EXPECT_EQ(std::string::npos, r.text.find("injected")) << (int)sep[0];
    EXPECT_EQ(std::string::npos, r.text.find("X-Evil")) << (int)sep[0];
    EXPECT_NE(std::string::npos, r.text.find("Sec-WebSocket-Origin: http://a\r\n"));
    EXPECT_NE(std::string::npos, r.text.find("Sec-WebSocket-Location: ws://h/demo\r\n"));
  }
}

TEST(WsHandshakeOld, IncompleteRequestsAreRefused) {
  WEBSOCKET_SRV ws;
  EXPECT_EQ(0, build(ws, old_request("12", "3 4", "o", "h", "12345678")).len);  // no blank
  EXPECT_EQ(0, build(ws, old_request("1 2", "34", "o", "h", "12345678")).len);
  std::string no_origin =
      "GET / HTTP/1.1\r\nHost: h\r\nSec-WebSocket-Key1: 1 2\r\n"
      "Sec-WebSocket-Key2: 3 4\r\n\r\n12345678";
  EXPECT_EQ(0, build(ws, no_origin).len);
  // Key2's value starts at the end of the data.
  std::string key2_end = "Host: h\r\nOrigin: o\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2:  ";
  EXPECT_EQ(0, build(ws, key2_end).len);
}

// ---------------------------------------------------------------- handshake over a socket pair

TEST_F(WsPair, Rfc6455Handshake) {
  put(kSampleRequest);
  std::vector<char> buf(4096);
  ws->b_more_frames = true;
  ASSERT_EQ(WS_HANDSHAKE_OK, ws->client_handshake(buf.data(), buf.size()));
  EXPECT_EQ(rfc_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), take(129));
  EXPECT_TRUE(ws->b_websocket.load());
  EXPECT_EQ(13u, ws->version.load());
  EXPECT_FALSE(ws->b_more_frames);
  EXPECT_EQ(129u, ws->c_header_server_size);

  // A hub announces its identity and its message limit in front of the
  // closing empty line.
  WEBSOCKET_SRV::hub_instance = 0x0123456789abcdefULL;
  ws->message_limit = 4080;
  put(kSampleRequest);
  ASSERT_EQ(WS_HANDSHAKE_OK, ws->client_handshake(buf.data(), buf.size()));
  WEBSOCKET_SRV::hub_instance = 0;
  const std::string with = rfc_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  EXPECT_EQ(with.substr(0, with.size() - 2) +
                "X-Relayhub-Instance: 0123456789abcdef\r\nX-Relayhub-Message-Max: 4080\r\n\r\n",
            take(512));
}

TEST_F(WsPair, UpgradesThatCannotBeServedAreAnswered) {
  std::vector<char> buf(4096);
  struct Case {
    std::string request;
    std::string status;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Version: 13\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\n"},
      {"GET / HTTP/1.1\r\nupgrade: WebSocket\r\nsec-websocket-key: short\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\n"},
      {"GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
       "Sec-WebSocket-Version: 8\r\n\r\n",
       "HTTP/1.1 426 Upgrade Required\r\nSec-WebSocket-Version: 13\r\n"},
  };
  for (const Case& c : cases) {
    put(c.request);
    EXPECT_EQ(WS_HANDSHAKE_ANSWERED, ws->client_handshake(buf.data(), buf.size()));
    EXPECT_FALSE(ws->b_websocket.load());
    const std::string got = take(512, 500);
    EXPECT_EQ(c.status, got.substr(0, c.status.size())) << c.request;
    EXPECT_NE(std::string::npos, got.find("\r\n\r\n"));
  }
  // Lower-case names, as Node's built-in WebSocket sends them, are served.
  put("GET / HTTP/1.1\r\nhost: h\r\nupgrade: websocket\r\nconnection: Upgrade\r\n"
      "sec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\nsec-websocket-version: 13\r\n\r\n");
  ASSERT_EQ(WS_HANDSHAKE_OK, ws->client_handshake(buf.data(), buf.size()));
  EXPECT_EQ(rfc_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), take(129));
}

TEST_F(WsPair, KeyHandshake) {
  put(draft_request());
  std::vector<char> buf(4096);
  ASSERT_EQ(WS_HANDSHAKE_OK, ws->client_handshake(buf.data(), buf.size()));
  EXPECT_EQ(std::string(kDraftAnswer), take(sizeof(kDraftAnswer) - 1));
  EXPECT_EQ(8u, ws->version.load());
  EXPECT_TRUE(ws->b_websocket.load());
}

TEST_F(WsPair, PlainStreamsKeepTheirBytes) {
  std::vector<char> buf(4096);
  // Bytes that cannot start a request line are not consumed at all.
  const std::string data = "hello, plain stream\n";
  put(data);
  EXPECT_EQ(WS_HANDSHAKE_NONE, ws->client_handshake(buf.data(), buf.size()));
  EXPECT_EQ(0u, ws->handshake_rest_len);
  EXPECT_EQ(WS_HANDSHAKE_NONE, ws->client_handshake(buf.data(), 255));
  EXPECT_EQ(WS_HANDSHAKE_NONE, ws->client_handshake(nullptr, 4096));
  char got[64] = {};
  ASSERT_EQ((ssize_t)data.size(), ::recv(ws->tls.so, got, sizeof(got), 0));
  EXPECT_EQ(data, std::string(got, data.size()));

  // The start of a request line that never goes on is read and handed back
  // as the stream's first bytes, once the client has gone quiet.
  put("GE");
  EXPECT_EQ(WS_HANDSHAKE_NONE, ws->client_handshake(buf.data(), buf.size()));
  EXPECT_EQ(0u, ws->handshake_rest_off);
  ASSERT_EQ(2u, ws->handshake_rest_len);
  EXPECT_EQ("GE", std::string(buf.data(), 2));
  // So is one that stops fitting a request line in a later segment.
  put("GET / H");
  std::thread later([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    put("ello\n");
  });
  EXPECT_EQ(WS_HANDSHAKE_NONE, ws->client_handshake(buf.data(), buf.size()));
  later.join();
  EXPECT_EQ("GET / Hello\n", std::string(buf.data(), ws->handshake_rest_len));
  EXPECT_EQ("", take(16, 50));  // nothing was answered
}

TEST_F(WsPair, RequestsThatArriveInPieces) {
  std::vector<char> buf(4096);
  // Cut before the upgrade header, the rest 150 ms later: still an upgrade.
  const std::string request = kSampleRequest;
  const size_t cut = request.find("Upgrade:");
  put(request.substr(0, cut));
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    put(request.substr(cut) + std::string("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58", 11));
  });
  ASSERT_EQ(WS_HANDSHAKE_OK, ws->client_handshake(buf.data(), buf.size()));
  later.join();
  EXPECT_EQ(rfc_response("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), take(129));
  // A frame sent right behind the request is the stream's.
  EXPECT_EQ(request.size(), ws->handshake_rest_off);
  ASSERT_EQ(11u, ws->handshake_rest_len);
  EXPECT_EQ('\x81', buf[ws->handshake_rest_off]);

  // The Key1/Key2 form's 8 key bytes in a later segment.
  const std::string old = draft_request();
  put(old.substr(0, old.size() - 8));
  std::thread key([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    put(old.substr(old.size() - 8));
  });
  ASSERT_EQ(WS_HANDSHAKE_OK, ws->client_handshake(buf.data(), buf.size()));
  key.join();
  EXPECT_EQ(std::string(kDraftAnswer), take(sizeof(kDraftAnswer) - 1));
  EXPECT_EQ(0u, ws->handshake_rest_len);
}

TEST_F(WsPair, EveryHttpRequestIsAnswered) {
  std::vector<char> buf(4096);
  struct Case {
    std::string request;
    std::string status;
  } cases[] = {
      {"POST /form HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello world", "HTTP/1.1 405 "},
      {"HEAD / HTTP/1.1\r\n\r\n", "HTTP/1.1 200 "},
      {"OPTIONS * HTTP/1.1\r\n\r\n", "HTTP/1.1 405 "},
      {"get / HTTP/1.1\r\n\r\n", "HTTP/1.1 405 "},
      {"\r\nGET /nope HTTP/1.1\r\n\r\n", "HTTP/1.1 404 "},
      {"GET / HTTP/1.1\r\nBad header\r\n\r\n", "HTTP/1.1 400 "},
      {"GET / HTTP/1.1\r\nX: " + std::string(5000, 'x') + "\r\n\r\n", "HTTP/1.1 431 "},
      // A head that does not end: 400 once the client goes quiet.
      {"GET / HTTP/1.1\r\nHost: x\r\n", "HTTP/1.1 400 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 40));
    put(c.request);
    EXPECT_EQ(WS_HANDSHAKE_ANSWERED, ws->client_handshake(buf.data(), buf.size()));
    EXPECT_FALSE(ws->b_websocket.load());
    const std::string got = take(8192, 500);
    EXPECT_EQ(c.status, got.substr(0, c.status.size()));
    EXPECT_EQ(std::stoi(c.status.substr(9)), ws->http_status);
    if (c.request.rfind("HEAD", 0) == 0) {
      EXPECT_EQ(got.find("\r\n\r\n") + 4, got.size()) << "no body";
    }
    // What the client sent beyond the head is not answered again.
    EXPECT_EQ("", take(16, 50));
    // The hub closes such a connection: drop what it has not read.
    char drop[4096];
    while (::recv(ws->tls.so, drop, sizeof(drop), MSG_DONTWAIT) > 0) {
    }
  }
}

TEST_F(WsPair, GetWithoutUpgradeGetsThePlainHttpAnswer) {
  put("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  std::vector<char> buf(4096);
  EXPECT_EQ(WS_HANDSHAKE_ANSWERED, ws->client_handshake(buf.data(), buf.size()));
  EXPECT_FALSE(ws->b_websocket.load());
  const std::string got = take(http_chat_page_len + 1024);
  const size_t head = got.find("\r\n\r\n");
  ASSERT_NE(head, std::string::npos);
  EXPECT_EQ(got.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(got.substr(head + 4), std::string(http_chat_page, http_chat_page_len));

  // The upgrade header is what makes a WebSocket request, in any case.
  put("GET /nope HTTP/1.1\r\nHost: x\r\nX-Upgrade: websocket\r\n\r\n");
  EXPECT_EQ(WS_HANDSHAKE_ANSWERED, ws->client_handshake(buf.data(), buf.size()));
  EXPECT_EQ(take(17), "HTTP/1.1 404 Not ");
  take();
  put("GET / HTTP/1.1\r\nupgrade: WebSocket\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
  EXPECT_EQ(0, ws->client_handshake(buf.data(), buf.size()));
  EXPECT_EQ(take(12), "HTTP/1.1 101");
}

// ---------------------------------------------------------------- decrypt

TEST_F(WsPair, DecryptDecodesOneFrameAndAnswersACloseItself) {
  const uint8_t key[4] = {0x37, 0xfa, 0x21, 0x3d};
  make_websocket(13);
  // Two frames in one read: the first payload, with more bytes behind it.
  frame_buf two([&] {
    bytes b = mask_frame(0x81, {'H', 'i'}, key);
    const bytes close = mask_frame(0x88, {0x0F, 0xA0}, key);
    b.insert(b.end(), close.begin(), close.end());
    return b;
  }());
  char* cur = nullptr;
  ASSERT_EQ(2, ws->decrypt(two.data(), two.len, cur));
  EXPECT_EQ("Hi", std::string(cur, 2));
  EXPECT_TRUE(ws->b_more_frames);
  EXPECT_FALSE(ws->b_frame_incomplete);
  // A split frame: len, nothing changed.
  const size_t first = ws->frame.size;
  EXPECT_EQ(3, ws->decrypt(two.data() + first, 3, cur));
  EXPECT_TRUE(ws->b_frame_incomplete);
  EXPECT_EQ("", take(16, 50));
  // The close: its code echoed through the transport, and nothing more is
  // decoded or framed for the connection.
  EXPECT_EQ(WS_DECODE_CLOSED, ws->decrypt(two.data() + first, two.len - first, cur));
  EXPECT_EQ(std::string("\x88\x02\x0F\xA0", 4), take(4));
  EXPECT_EQ(0u, ws->version.load());
  EXPECT_EQ(WS_DECODE_CLOSED, ws->decrypt(two.data(), two.len, cur));
  // A frame no client may send is refused without a word.
  make_websocket(13);
  frame_buf unmasked({0x81, 0x01, 'a'});
  EXPECT_EQ(WS_DECODE_PROTOCOL, ws->decrypt(unmasked.data(), unmasked.len, cur));
  EXPECT_EQ(13u, ws->version.load());
  // The old framing's closing handshake is answered with its own.
  make_websocket(8);
  frame_buf old({0x00, 'a', 0xFF, 0xFF, 0x00});
  EXPECT_EQ(1, ws->decrypt(old.data(), old.len, cur));
  EXPECT_EQ('a', *cur);
  EXPECT_EQ(WS_DECODE_CLOSED, ws->decrypt(old.data() + 3, 2, cur));
  EXPECT_EQ(std::string("\xFF\x00", 2), take(2));
  EXPECT_EQ(0u, ws->version.load());
}

// ---------------------------------------------------------------- encode_msg

TEST(WsEncode, HeaderForms) {
  struct Case {
    size_t n;
    bytes head;
    size_t start;
  } cases[] = {
      {125, {0x81, 0x7D}, 8},
      {126, {0x81, 0x7E, 0x00, 0x7E}, 6},
      {65535, {0x81, 0x7E, 0xFF, 0xFF}, 6},
      {65536, {0x81, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}, 0},
  };
  for (auto& c : cases) {
    WEBSOCKET_SRV ws;
    ws.version = 13;
    std::vector<char> buf(70000), src(c.n, 'k');
    size_t len = c.n;
    char* fr = ws.encode_msg(buf.data(), buf.size(), src.data(), len);
    ASSERT_EQ(buf.data() + c.start, fr) << c.n;
    EXPECT_EQ(c.n + c.head.size(), len);
    EXPECT_EQ(0, memcmp(fr, c.head.data(), c.head.size())) << c.n;
    EXPECT_EQ(0, memcmp(buf.data() + 10, src.data(), c.n));
  }
}

TEST(WsEncode, PlacementAndRoom) {
  WEBSOCKET_SRV ws;
  ws.version = 13;
  char buf[64];
  for (size_t off : {10u, 12u, 16u}) {
    memset(buf, 0, sizeof(buf));
    memcpy(buf + off, "hello", 5);
    size_t len = 5;
    char* fr = ws.encode_msg(buf, sizeof(buf), buf + off, len);
    ASSERT_EQ(buf + off - 2, fr) << off;
    EXPECT_EQ(7u, len);
    EXPECT_EQ(0, memcmp(fr, "\x81\x05hello", 7));
  }
  for (size_t off : {0u, 9u, 17u, 20u}) {
    memset(buf, 0, sizeof(buf));
    memcpy(buf + off, "world", 5);
    size_t len = 5;
    char* fr = ws.encode_msg(buf, sizeof(buf), buf + off, len);
    ASSERT_EQ(buf + 8, fr) << off;
    EXPECT_EQ(0, memcmp(fr, "\x81\x05world", 7)) << off;
  }
  // The payload must end inside the buffer.
  memcpy(buf + 12, "abcd", 4);
  size_t len = 53;
  EXPECT_EQ(nullptr, ws.encode_msg(buf, sizeof(buf), buf + 12, len));
  EXPECT_EQ(53u, len);
  len = 52;
  EXPECT_NE(nullptr, ws.encode_msg(buf, sizeof(buf), buf + 12, len));
  char src[64] = {};
  len = 54;
  EXPECT_EQ(buf + 8, ws.encode_msg(buf, sizeof(buf), src, len));
  // Too long for offset 10 but not for its own 2-byte header: framed from
  // the buffer's start instead of dropped.
  for (size_t n : {55u, 62u}) {
    memset(src, 'q', sizeof(src));
    len = n;
    char* fr = ws.encode_msg(buf, sizeof(buf), src, len);
    ASSERT_EQ(buf, fr) << n;
    EXPECT_EQ(n + 2, len);
    EXPECT_EQ(0x81, (unsigned char)buf[0]);
    EXPECT_EQ(n, (unsigned char)buf[1]);
    EXPECT_EQ(0, memcmp(buf + 2, src, n));
  }
  len = 63;
  memcpy(buf, "untouched", 9);
  EXPECT_EQ(nullptr, ws.encode_msg(buf, sizeof(buf), src, len));
  EXPECT_EQ(0, memcmp(buf, "untouched", 9));
  EXPECT_EQ(63u, len);
  // The same at the 16-bit form: a 65532-byte payload fills a 65536-byte
  // half exactly behind its 4-byte header. (A client frame that fills a
  // -L 65536 read carries 65527 bytes, more than offset 10 leaves room for.)
  {
    std::vector<char> half(65536), big(65533, 'z');
    len = 65533;
    EXPECT_EQ(nullptr, ws.encode_msg(half.data(), half.size(), big.data(), len));
    len = 65532;
    char* fr = ws.encode_msg(half.data(), half.size(), big.data(), len);
    ASSERT_EQ(half.data(), fr);
    EXPECT_EQ(65536u, len);
    EXPECT_EQ(0, memcmp(fr, "\x81\x7e\xff\xfc", 4));
    EXPECT_EQ(0, memcmp(fr + 4, big.data(), 65532));
  }

  // An empty message is an empty frame.
  len = 0;
  char* empty = ws.encode_msg(buf, sizeof(buf), src, len);
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(2u, len);
  EXPECT_EQ(0, memcmp(empty, "\x81\x00", 2));
  len = 0;
  empty = ws.encode_msg(buf, sizeof(buf), src, len, WS_OPCODE_BINARY);
  EXPECT_EQ(0, memcmp(empty, "\x82\x00", 2));
  len = 3;
  EXPECT_EQ(nullptr, ws.encode_msg(nullptr, sizeof(buf), src, len));
  EXPECT_EQ(nullptr, ws.encode_msg(buf, sizeof(buf), nullptr, len));
  EXPECT_EQ(3u, len);
}

TEST(WsEncode, OldFraming) {
  WEBSOCKET_SRV ws;
  ws.version = 8;
  char buf[16];
  char src[2] = {'a', 'b'};
  size_t len = 2;
  char* fr = ws.encode_msg(buf, sizeof(buf), src, len);
  ASSERT_EQ(buf, fr);
  EXPECT_EQ(4u, len);
  EXPECT_EQ(0, memcmp(fr,
                      "\x00"
                      "ab\xFF",
                      4));
  len = 2;
  EXPECT_EQ(nullptr, ws.encode_msg(buf, 3, src, len));
  EXPECT_EQ(buf, ws.encode_msg(buf, 4, src, len));
  // In place at offset 12: 0x00 before, 0xFF after.
  memcpy(buf + 12, "xyz", 3);
  len = 3;
  EXPECT_EQ(nullptr, ws.encode_msg(buf, 15, buf + 12, len));
  fr = ws.encode_msg(buf, 16, buf + 12, len);
  ASSERT_EQ(buf + 11, fr);
  EXPECT_EQ(0, memcmp(fr, "\x00xyz\xFF", 5));
  // A 0xFF would end the frame early: such a message is not framed. The
  // empty message is 0x00 0xFF.
  char ff[3] = {'a', (char)0xFF, 'b'};
  len = 3;
  EXPECT_EQ(nullptr, ws.encode_msg(buf, sizeof(buf), ff, len));
  len = 0;
  fr = ws.encode_msg(buf, sizeof(buf), src, len);
  ASSERT_EQ(buf, fr);
  EXPECT_EQ(2u, len);
  EXPECT_EQ(0, memcmp(fr, "\x00\xFF", 2));
}

// ---------------------------------------------------------------- text or binary

uint8_t opcode_of(WEBSOCKET_SRV& ws, const std::string& msg, uint32_t opcode = WS_OPCODE_AUTO) {
  std::vector<char> buf(msg.size() + 32);
  std::string copy = msg;
  size_t len = copy.size();
  char* fr = ws.encode_msg(buf.data(), buf.size(), copy.data(), len, opcode);
  return fr ? (uint8_t)(fr[0] & 0x0F) : 0xFF;
}

TEST(WsFrameType, SenderOpcodeKeptBytesDecideOtherwise) {
  WEBSOCKET_SRV ws;
  ws.version = 13;
  // A WebSocket sender's type is kept, whatever the bytes look like.
  EXPECT_EQ(2, opcode_of(ws, "valid text", WS_OPCODE_BINARY));
  EXPECT_EQ(1, opcode_of(ws, "caf\xC3\xA9", WS_OPCODE_TEXT));
  // A plain sender's bytes: text when well-formed UTF-8 on their own, all of
  // Unicode included (Arabic, Thaana, Devanagari, Thai, emoji) ...
  for (const char* t : {"plain ascii", "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7", "\xDE\x80\xDE\xA6",
                        "\xE0\xA4\xB9\xE0\xA4\xBF", "\xE0\xB8\xAA", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"})
    EXPECT_EQ(1, opcode_of(ws, t)) << t;
  // ... binary otherwise, decided per message, never for good.
  for (const char* b : {"\xFF", "ab\xC3", "\xA9z", "\xC0\x80", "\xC1\x81", "\xED\xA0\x80", "\xF5\x80\x80\x80",
                        "\xF4\x90\x80\x80", "\xE0\x9F\xBF"}) {
    EXPECT_EQ(2, opcode_of(ws, b)) << (unsigned)(uint8_t)b[0];
    EXPECT_EQ(1, opcode_of(ws, "ascii again"));
  }
  EXPECT_EQ(2, opcode_of(ws, std::string("\x00\xFF", 2)));
  EXPECT_EQ(1, opcode_of(ws, std::string("\x00", 1)));

  // A forced type wins, but forced text is still held to UTF-8.
  ws.frame_type_fixed = 2;
  EXPECT_EQ(2, opcode_of(ws, "text", WS_OPCODE_TEXT));
  ws.frame_type_fixed = 1;
  EXPECT_EQ(1, opcode_of(ws, "\xE0\xA4\xB9"));
  EXPECT_EQ(2, opcode_of(ws, "\xF0\x8F\xBF\xBF"));
}

// ---------------------------------------------------------------- send_msg

TEST_F(WsPair, SendMsg) {
  std::vector<char> out(256);
  ws->send_buf = out.data();
  ws->send_buf_size = out.size();
  EXPECT_EQ(-1, ws->send_msg((char*)"hi", 0));  // not a WebSocket connection
  EXPECT_EQ("", take(16, 50));

  make_websocket(13);
  char msg[] = "hello";
  EXPECT_EQ(7, ws->send_msg(msg, 0));
  EXPECT_EQ(std::string("\x81\x05hello", 7), take(7));

  // A message that does not fit gives -1 and releases the lock.
  std::vector<char> big(300, 'b');
  EXPECT_EQ(-1, ws->send_msg(big.data(), big.size()));
  EXPECT_EQ(4, ws->send_msg(msg, 2));
  EXPECT_EQ(std::string("\x81\x02he", 4), take(4));
}

}  // namespace
