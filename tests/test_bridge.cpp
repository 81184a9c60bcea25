// relayhub-bridge pieces without sockets: the message buffer, the hub's
// frames as the bridge decodes them, the opening handshake, the published
// header and the command line.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/bridge_common.hpp"
#include "bridge/bridge_options.hpp"
#include "bridge/bridge_wire.hpp"
#include "bridge/g_ring.hpp"

namespace {

std::string pop(G_RING& r, uint32_t* aux = nullptr) {
  std::string out;
  const int p = r.pop_with([&](const char* d, size_t n, uint32_t a) {
    out.assign(d, n);
    if (aux != nullptr) *aux = a;
    return true;
  });
  EXPECT_EQ(p, G_RING::POP_TAKEN);
  return out;
}

// A server frame as the hub sends it: unmasked.
std::string server_frame(uint8_t first, const std::string& payload) {
  std::string f(1, char(first));
  const size_t n = payload.size();
  if (n < 126) {
    f += char(n);
  } else if (n <= 0xFFFF) {
    f += char(126);
    f += char(n >> 8);
    f += char(n & 0xFF);
  } else {
    f += char(127);
    for (int i = 7; i >= 0; --i) f += char((uint64_t(n) >> (8 * i)) & 0xFF);
  }
  return f + payload;
}

struct Reader {
  std::vector<char> buf;
  G_WS_READER r;
  explicit Reader(size_t cap) : buf(cap) { r.init(buf.data(), cap); }
  // Feeds all of s, one byte at a time when split, and lists the results.
  std::vector<int> feed(const std::string& s, bool split) {
    std::vector<int> out;
    size_t pos = 0;
    while (pos < s.size()) {
      const size_t n = split ? 1 : s.size() - pos;
      size_t used = 0;
      const int res = r.feed(s.data() + pos, n, used);
      pos += used;
      if (res != G_WS_READER::WSR_MORE) out.push_back(res);
      if (res == G_WS_READER::WSR_MESSAGE) out.push_back(r.msg_opcode);
      if (res == G_WS_READER::WSR_PROTOCOL) break;
    }
    return out;
  }
  std::string msg() const { return std::string(r.msg_buf, r.msg_len); }
};

}  // namespace

TEST(BridgeRing, FifoAcrossTheWrapWithHeadsAndAux) {
  G_RING r;
  ASSERT_EQ(r.init(256), 0);
  // Records of 8 + 40 bytes: five fill 240 of 256 bytes; popping two and
  // pushing two more wraps to the front.
  const std::string body(40, 'x');
  uint32_t next_in = 0, next_out = 0;
  for (int round = 0; round < 20; ++round) {
    while (true) {
      std::string head = std::to_string(next_in);
      head.resize(4, '.');
      if (r.push(head.data(), 4, body.data(), 36, next_in, false, nullptr, nullptr) != G_RING::RING_OK) break;
      ++next_in;
    }
    for (int k = 0; k < 2; ++k) {
      uint32_t aux = 0;
      const std::string got = pop(r, &aux);
      EXPECT_EQ(aux, next_out);
      std::string head = std::to_string(next_out);
      head.resize(4, '.');
      EXPECT_EQ(got, head + body.substr(0, 36));
      ++next_out;
    }
  }
  EXPECT_EQ(r.count(), size_t(next_in - next_out));
  EXPECT_GT(next_in, 40u);
}

TEST(BridgeRing, DropOldestCountsAndKeepsTheNewest) {
  G_RING r;
  ASSERT_EQ(r.init(128), 0);
  uint64_t dropped = 0;
  bool was_empty = false;
  EXPECT_EQ(r.push(nullptr, 0, "a", 1, 0, true, &dropped, &was_empty), G_RING::RING_OK);
  EXPECT_TRUE(was_empty);
  for (char c = 'b'; c <= 'z'; ++c) EXPECT_EQ(r.push(nullptr, 0, &c, 1, 0, true, &dropped, &was_empty), G_RING::RING_OK);
  EXPECT_FALSE(was_empty);
  // 16-byte records: 8 fit; 26 pushed.
  EXPECT_EQ(r.count(), 8u);
  EXPECT_EQ(dropped, 18u);
  std::string all;
  while (r.count() != 0) all += pop(r);
  EXPECT_EQ(all, "stuvwxyz");
  // One record as large as the ring displaces everything; larger never fits.
  const std::string big(r.max_data(), 'B');
  r.push(nullptr, 0, "q", 1, 0, true, &dropped, nullptr);
  EXPECT_EQ(r.push(nullptr, 0, big.data(), big.size(), 0, true, &dropped, nullptr), G_RING::RING_OK);
  EXPECT_EQ(pop(r), big);
  EXPECT_EQ(r.push(nullptr, 0, big.data(), big.size() + 1, 0, true, &dropped, nullptr), G_RING::RING_TOO_LARGE);
}

TEST(BridgeRing, FullWithoutDroppingRefusesAndDeclinedStays) {
  G_RING r;
  ASSERT_EQ(r.init(64), 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(r.push(nullptr, 0, "12345678", 8, 0, false, nullptr, nullptr), G_RING::RING_OK);
  EXPECT_EQ(r.push(nullptr, 0, "x", 1, 0, false, nullptr, nullptr), G_RING::RING_FULL);
  EXPECT_EQ(r.pop_with([](const char*, size_t, uint32_t) { return false; }), G_RING::POP_DECLINED);
  EXPECT_EQ(r.count(), 4u);
  EXPECT_EQ(r.clear(), 4u);
  EXPECT_EQ(r.pop_with([](const char*, size_t, uint32_t) { return true; }), G_RING::POP_EMPTY);
  EXPECT_EQ(r.push(nullptr, 0, "", 0, 7, false, nullptr, nullptr), G_RING::RING_OK);  // empty message
  uint32_t aux = 0;
  EXPECT_EQ(pop(r, &aux), "");
  EXPECT_EQ(aux, 7u);
}

TEST(BridgeReader, MessagesWholeOrInPiecesAnyLengthForm) {
  for (const bool split : {false, true}) {
    Reader rd(100000);
    const std::string big(70000, 'b');  // 64-bit length form
    const std::string mid(300, 'm');    // 16-bit length form
    const std::string stream = server_frame(0x81, "hi") + server_frame(0x82, mid) + server_frame(0x82, big) +
                               server_frame(0x81, "");
    std::vector<std::string> msgs;
    size_t pos = 0;
    while (pos < stream.size()) {
      size_t used = 0;
      const int res = rd.r.feed(stream.data() + pos, split ? 1 : stream.size() - pos, used);
      pos += used;
      if (res == G_WS_READER::WSR_MESSAGE) msgs.push_back(std::to_string(rd.r.msg_opcode) + ":" + rd.msg());
      else ASSERT_EQ(res, G_WS_READER::WSR_MORE);
    }
    EXPECT_EQ(msgs, (std::vector<std::string>{"1:hi", "2:" + mid, "2:" + big, "1:"})) << split;
  }
}

TEST(BridgeReader, FragmentsJoinedAroundControlFrames) {
  Reader rd(64);
  // text "Hel" + ping + "lo" continuation with FIN; then a pong (ignored), a close.
  const std::string s = server_frame(0x01, "Hel") + server_frame(0x89, "p!") + server_frame(0x80, "lo") +
                        server_frame(0x8A, "x") + server_frame(0x88, std::string("\x03\xe9", 2));
  size_t pos = 0, used = 0;
  EXPECT_EQ(rd.r.feed(s.data(), s.size(), used), G_WS_READER::WSR_PING);
  EXPECT_EQ(std::string(rd.r.ctl, rd.r.ctl_len), "p!");
  pos += used;
  EXPECT_EQ(rd.r.feed(s.data() + pos, s.size() - pos, used), G_WS_READER::WSR_MESSAGE);
  EXPECT_EQ(rd.msg(), "Hello");
  EXPECT_EQ(rd.r.msg_opcode, WS_OP_TEXT);
  pos += used;
  EXPECT_EQ(rd.r.feed(s.data() + pos, s.size() - pos, used), G_WS_READER::WSR_CLOSE);
  EXPECT_EQ(rd.r.close_code, 1001);
}

TEST(BridgeReader, TooLargeSkippedThenTheNextMessageIsWhole) {
  Reader rd(10);
  const std::string s = server_frame(0x02, "12345") + server_frame(0x80, "678901") + server_frame(0x81, "ok");
  EXPECT_EQ(rd.feed(s, true), (std::vector<int>{G_WS_READER::WSR_TOO_LARGE, G_WS_READER::WSR_MESSAGE, 1}));
  EXPECT_EQ(rd.msg(), "ok");
}

TEST(BridgeReader, InvalidServerFramesAreProtocolErrors) {
  const std::string masked = std::string("\x81\x82", 2) + "abcd" + "xy";
  const std::vector<std::string> bad = {
      masked,                                          // a server never masks
      server_frame(0xC1, "rsv"),                       // RSV1 without an extension
      server_frame(0x83, "op"),                        // reserved opcode
      server_frame(0x80, "cont"),                      // continuation of nothing
      server_frame(0x01, "a") + server_frame(0x81, "b"),  // new message inside one
      server_frame(0x09, "ping"),                      // fragmented control frame
      server_frame(0x89, std::string(126, 'p')),       // control frame over 125
      server_frame(0x88, "x"),                         // close with a 1-byte code
      std::string("\x82\x7f\x80\0\0\0\0\0\0\0", 10),   // 64-bit length with the top bit
  };
  for (const std::string& s : bad) {
    Reader rd(1000);
    const std::vector<int> got = rd.feed(s, false);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), G_WS_READER::WSR_PROTOCOL) << testing::PrintToString(s);
  }
}

TEST(BridgeWire, ClientFrameIsMaskedAndDecodable) {
  const uint8_t mask[4] = {0x11, 0x22, 0x33, 0x44};
  for (const size_t n : {size_t(0), size_t(5), size_t(125), size_t(126), size_t(65535), size_t(65536)}) {
    std::string payload(n, '\0');
    for (size_t i = 0; i < n; ++i) payload[i] = char(i * 7);
    std::vector<char> out(ws_client_header_size(n) + n);
    const size_t len = ws_client_frame(out.data(), WS_OP_BINARY, payload.data(), n, mask);
    ASSERT_EQ(len, out.size());
    const size_t h = ws_client_header_size(n);
    EXPECT_EQ(uint8_t(out[0]), 0x82);
    EXPECT_EQ(uint8_t(out[1]) & 0x80, 0x80);
    EXPECT_EQ(memcmp(out.data() + h - 4, mask, 4), 0);
    // Unmasked with the key in the header, the payload is back.
    std::string plain(out.data() + h, n);
    for (size_t i = 0; i < n; ++i) plain[i] = char(plain[i] ^ mask[i & 3]);
    EXPECT_EQ(plain, payload);
  }
}

TEST(BridgeWire, HandshakeResponseJudged) {
  // The example key of RFC 6455 section 1.3 and its accept value.
  const char* key = "dGhlIHNhbXBsZSBub25jZQ==";
  char accept[WS_ACCEPT_SIZE];
  ASSERT_EQ(ws_accept_value(key, accept), 0);
  EXPECT_STREQ(accept, "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
  auto head = [](const char* status, const char* upgrade, const char* acc) {
    return std::string(status) + "\r\nupgrade: " + upgrade + "\r\nConnection: Upgrade\r\nSec-WebSocket-Accept:  " +
           acc + "\r\n\r\n";
  };
  const std::string ok = head("HTTP/1.1 101 Switching Protocols", "WebSocket", accept);
  EXPECT_EQ(ws_check_response(ok.data(), ok.size(), key), WS_RESPONSE_OK);
  const std::string refused = head("HTTP/1.1 400 Bad Request", "websocket", accept);
  EXPECT_EQ(ws_check_response(refused.data(), refused.size(), key), WS_RESPONSE_STATUS);
  const std::string other = head("HTTP/1.1 101 Switching Protocols", "h2c", accept);
  EXPECT_EQ(ws_check_response(other.data(), other.size(), key), WS_RESPONSE_UPGRADE);
  const std::string wrong = head("HTTP/1.1 101 Switching Protocols", "websocket", "s3pPLMBiTxaQ9kYGzzhZRbK+xOo+");
  EXPECT_EQ(ws_check_response(wrong.data(), wrong.size(), key), WS_RESPONSE_ACCEPT);

  char key2[WS_KEY_SIZE], key3[WS_KEY_SIZE];
  ASSERT_EQ(ws_make_key(key2), 0);
  ASSERT_EQ(ws_make_key(key3), 0);
  EXPECT_EQ(strlen(key2), 24u);
  EXPECT_STRNE(key2, key3);
  char req[512];
  ASSERT_GT(ws_build_request(req, sizeof req, "hub.example", 8081, key2), 0);
  EXPECT_NE(strstr(req, "Host: hub.example:8081\r\n"), nullptr);
  EXPECT_EQ(ws_build_request(req, 64, "hub.example", 8081, key2), -1);
}

TEST(BridgeWire, PublishedHeaderDecodedByType) {
  const uint8_t own[FED_ID_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint8_t other[FED_ID_SIZE] = {8, 7, 6, 5, 4, 3, 2, 1};
  auto msg = [](uint8_t type, const uint8_t* id, const std::string& payload) {
    char h[FED_HEADER_SIZE];
    fed_header_write(h, type, id);
    return std::string(h, FED_HEADER_SIZE) + payload;
  };
  uint8_t type = 0;
  const char* p = nullptr;
  size_t n = 0;
  std::string m = msg(FED_TYPE_TEXT, other, "h\xc3\xa9");
  ASSERT_EQ(fed_decode(m.data(), m.size(), own, type, p, n), FED_OK);
  EXPECT_EQ(std::string(p, n), "h\xc3\xa9");
  EXPECT_EQ(type, FED_TYPE_TEXT);
  m = msg(FED_TYPE_BINARY, other, "");
  ASSERT_EQ(fed_decode(m.data(), m.size(), own, type, p, n), FED_OK);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(type, FED_TYPE_BINARY);
  m = msg(FED_TYPE_TEXT, own, "mine");
  EXPECT_EQ(fed_decode(m.data(), m.size(), own, type, p, n), FED_OWN);
  m = msg(FED_TYPE_TEXT, other, "\xc3");
  EXPECT_EQ(fed_decode(m.data(), m.size(), own, type, p, n), FED_BAD_TEXT);
  m = msg(9, other, "x");
  EXPECT_EQ(fed_decode(m.data(), m.size(), own, type, p, n), FED_BAD_TYPE);
  EXPECT_EQ(fed_decode(m.data(), FED_HEADER_SIZE - 1, own, type, p, n), FED_FOREIGN);
  m[2] = 2;  // a later format version is not guessed at
  EXPECT_EQ(fed_decode(m.data(), m.size(), own, type, p, n), FED_FOREIGN);
}

TEST(BridgeConsole, PeerTextMadePrintable) {
  char text[] = "HTTP/1.1 403 \x1b[2J\r\nna\xc3\xafve\x7f~";
  bridge_printable(text);
  EXPECT_STREQ(text, "HTTP/1.1 403 ?[2J??na??ve?~");
}

TEST(BridgeOptions, CommandLine) {
  auto parse = [](std::vector<const char*> args, BRIDGE_OPTIONS& o) {
    args.insert(args.begin(), "relayhub-bridge");
    return bridge_parse_options(int(args.size()), const_cast<char**>(args.data()), o);
  };
  BRIDGE_OPTIONS o;
  ASSERT_EQ(parse({"--hub", "hub.example:8081", "--redis=10.0.0.5:6379", "--ca", "ca.pem", "--buffer", "8m",
                   "--channel=room"},
                  o),
            BRIDGE_PARSE_OK)
      << o.error;
  EXPECT_STREQ(o.hub_host, "hub.example");
  EXPECT_EQ(o.hub_port, 8081);
  EXPECT_STREQ(o.redis_host, "10.0.0.5");
  EXPECT_TRUE(o.b_tls);  // --ca implies TLS
  EXPECT_EQ(o.buffer_bytes, uint64_t(8) << 20);
  EXPECT_STREQ(o.channel, "room");

  const std::vector<std::vector<const char*>> bad = {
      {"--hub", "host:8081"},                                      // no --redis
      {"--redis", "r:6379"},                                       // no --hub
      {"--hub", "host", "--redis", "r:6379"},                      // no port
      {"--hub", "host:0", "--redis", "r:6379"},                    // port 0
      {"--hub", "host:65536", "--redis", "r:6379"},                // port too large
      {"--hub", ":80", "--redis", "r:6379"},                       // no host
      {"--hub", "h:80", "--redis", "r:6379", "--buffer", "1k"},    // buffer too small
      {"--hub", "h:80", "--redis", "r:6379", "--buffer", "4x"},    // not a size
      {"--hub", "h:80", "--redis", "r:6379", "--password", "pw"},  // never on the command line
      {"--hub", "h:80", "--redis", "r:6379", "--channel"},         // missing value
      {"--hub", "h:80", "--redis", "r:6379", "--tls=yes"},
  };
  for (const auto& args : bad) {
    BRIDGE_OPTIONS b;
    EXPECT_EQ(parse(args, b), BRIDGE_PARSE_ERROR) << args[args.size() - 1];
    EXPECT_NE(b.error[0], 0);
  }
  BRIDGE_OPTIONS h;
  EXPECT_EQ(parse({"--hub", "h:80", "-h"}, h), BRIDGE_PARSE_HELP);
}
