// relayhub-bridge pieces without sockets: the message buffer, the hub's
// frames as the bridge decodes them, the opening handshake, the published
// header, the sequence numbers, the Redis reply budget and the command line.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/bridge_common.hpp"
#include "bridge/bridge_options.hpp"
#include "bridge/bridge_wire.hpp"
#include "bridge/g_redis_conn.hpp"
#include "bridge/g_ring.hpp"

#include <hiredis/hiredis.h>
#include <hiredis/read.h>

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
    for (int i = 7; i >= 0; --i)
      f += char((uint64_t(n) >> (8 * i)) & 0xFF);
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
  for (char c = 'b'; c <= 'z'; ++c)
    EXPECT_EQ(r.push(nullptr, 0, &c, 1, 0, true, &dropped, &was_empty), G_RING::RING_OK);
  EXPECT_FALSE(was_empty);
  // 16-byte records: 8 fit; 26 pushed.
  EXPECT_EQ(r.count(), 8u);
  EXPECT_EQ(dropped, 18u);
  std::string all;
  while (r.count() != 0)
    all += pop(r);
  EXPECT_EQ(all, "stuvwxyz");
  // One record as large as the ring displaces everything; larger never fits.
  const std::string big(r.max_data(), 'B');
  r.push(nullptr, 0, "q", 1, 0, true, &dropped, nullptr);
  EXPECT_EQ(r.push(nullptr, 0, big.data(), big.size(), 0, true, &dropped, nullptr), G_RING::RING_OK);
  EXPECT_EQ(pop(r), big);
  EXPECT_EQ(r.push(nullptr, 0, big.data(), big.size() + 1, 0, true, &dropped, nullptr),
            G_RING::RING_TOO_LARGE);
}

TEST(BridgeRing, FullWithoutDroppingRefusesAndDeclinedStays) {
  G_RING r;
  ASSERT_EQ(r.init(64), 0);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(r.push(nullptr, 0, "12345678", 8, 0, false, nullptr, nullptr), G_RING::RING_OK);
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
    const std::string stream =
        server_frame(0x81, "hi") + server_frame(0x82, mid) + server_frame(0x82, big) + server_frame(0x81, "");
    std::vector<std::string> msgs;
    size_t pos = 0;
    while (pos < stream.size()) {
      size_t used = 0;
      const int res = rd.r.feed(stream.data() + pos, split ? 1 : stream.size() - pos, used);
      pos += used;
      if (res == G_WS_READER::WSR_MESSAGE)
        msgs.push_back(std::to_string(rd.r.msg_opcode) + ":" + rd.msg());
      else
        ASSERT_EQ(res, G_WS_READER::WSR_MORE);
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
      masked,                                             // a server never masks
      server_frame(0xC1, "rsv"),                          // RSV1 without an extension
      server_frame(0x83, "op"),                           // reserved opcode
      server_frame(0x80, "cont"),                         // continuation of nothing
      server_frame(0x01, "a") + server_frame(0x81, "b"),  // new message inside one
      server_frame(0x09, "ping"),                         // fragmented control frame
      server_frame(0x89, std::string(126, 'p')),          // control frame over 125
      server_frame(0x88, "x"),                            // close with a 1-byte code
      std::string("\x82\x7f\x80\0\0\0\0\0\0\0", 10),      // 64-bit length with the top bit
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
    for (size_t i = 0; i < n; ++i)
      payload[i] = char(i * 7);
    std::vector<char> out(ws_client_header_size(n) + n);
    const size_t len = ws_client_frame(out.data(), WS_OP_BINARY, payload.data(), n, mask);
    ASSERT_EQ(len, out.size());
    const size_t h = ws_client_header_size(n);
    EXPECT_EQ(uint8_t(out[0]), 0x82);
    EXPECT_EQ(uint8_t(out[1]) & 0x80, 0x80);
    EXPECT_EQ(memcmp(out.data() + h - 4, mask, 4), 0);
    // Unmasked with the key in the header, the payload is back.
    std::string plain(out.data() + h, n);
    for (size_t i = 0; i < n; ++i)
      plain[i] = char(plain[i] ^ mask[i & 3]);
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
    return std::string(status) + "\r\nupgrade: " + upgrade +
           "\r\nConnection: Upgrade\r\nSec-WebSocket-Accept:  " + acc + "\r\n\r\n";
  };
  const std::string ok = head("HTTP/1.1 101 Switching Protocols", "WebSocket", accept);
  EXPECT_EQ(ws_check_response(ok.data(), ok.size(), key), WS_RESPONSE_OK);
  const std::string refused = head("HTTP/1.1 400 Bad Request", "websocket", accept);
  EXPECT_EQ(ws_check_response(refused.data(), refused.size(), key), WS_RESPONSE_STATUS);
  const std::string other = head("HTTP/1.1 101 Switching Protocols", "h2c", accept);
  EXPECT_EQ(ws_check_response(other.data(), other.size(), key), WS_RESPONSE_UPGRADE);
  const std::string wrong =
      head("HTTP/1.1 101 Switching Protocols", "websocket", "s3pPLMBiTxaQ9kYGzzhZRbK+xOo+");
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
  const uint64_t hub = 0x0102030405060708ull;
  const uint64_t bridge = 0x1112131415161718ull;
  auto msg = [&](uint8_t type, uint64_t seq, const std::string& payload) {
    char h[FED_HEADER_SIZE];
    fed_header_write(h, type, hub, bridge, seq);
    return std::string(h, FED_HEADER_SIZE) + payload;
  };
  FED_MESSAGE m;
  std::string s = msg(FED_TYPE_TEXT, 0x0A0B0C0D0E0F1011ull, "h\xc3\xa9");
  // Big-endian on the wire, whatever the host.
  EXPECT_EQ(s.substr(0, 12), std::string("rh\x02\x01\x01\x02\x03\x04\x05\x06\x07\x08", 12));
  ASSERT_EQ(fed_decode(s.data(), s.size(), m), FED_OK);
  EXPECT_EQ(std::string(m.payload, m.len), "h\xc3\xa9");
  EXPECT_EQ(m.hub, hub);
  EXPECT_EQ(m.type, FED_TYPE_TEXT);
  EXPECT_EQ(m.bridge, bridge);
  EXPECT_EQ(m.seq, 0x0A0B0C0D0E0F1011ull);
  s = msg(FED_TYPE_BINARY, 1, "");
  ASSERT_EQ(fed_decode(s.data(), s.size(), m), FED_OK);
  EXPECT_EQ(m.len, 0u);
  EXPECT_EQ(m.type, FED_TYPE_BINARY);
  s = msg(FED_TYPE_TEXT, 1, "\xc3");
  EXPECT_EQ(fed_decode(s.data(), s.size(), m), FED_BAD_TEXT);
  s = msg(9, 1, "x");
  EXPECT_EQ(fed_decode(s.data(), s.size(), m), FED_BAD_TYPE);
  s = msg(FED_TYPE_TEXT, 1, "x");
  EXPECT_EQ(fed_decode(s.data(), FED_HEADER_SIZE - 1, m), FED_FOREIGN);  // version 2 cut short
  s[2] = 3;  // a later format version is not guessed at
  EXPECT_EQ(fed_decode(s.data(), s.size(), m), FED_FOREIGN);
  // Version 1, as earlier bridges and other programs publish it: the
  // bridge's id is its origin, and it carries no sequence number.
  const std::string v1 =
      std::string("rh\x01\x02", 4) + std::string("\x00\x00\x00\x00\x00\x00\x00\x09", 8) + "old";
  ASSERT_EQ(fed_decode(v1.data(), v1.size(), m), FED_OK);
  EXPECT_EQ(std::string(m.payload, m.len), "old");
  EXPECT_EQ(m.hub, 9u);
  EXPECT_EQ(m.bridge, 9u);
  EXPECT_EQ(m.seq, 0u);
  EXPECT_EQ(fed_decode(v1.data(), FED_HEADER_V1_SIZE - 1, m), FED_FOREIGN);
}

TEST(BridgeWire, SequenceNumbersJudgedPerBridge) {
  G_ORIGINS o;
  uint64_t missed = 0;
  EXPECT_EQ(o.see(1, 5, &missed), G_ORIGINS::SEQ_NEW);  // joining late is no gap
  EXPECT_EQ(o.see(1, 6, &missed), G_ORIGINS::SEQ_NEXT);
  EXPECT_EQ(o.see(2, 1, &missed), G_ORIGINS::SEQ_NEW);
  EXPECT_EQ(o.see(1, 6, &missed), G_ORIGINS::SEQ_DUPLICATE);
  EXPECT_EQ(o.see(1, 3, &missed), G_ORIGINS::SEQ_DUPLICATE);
  EXPECT_EQ(o.see(1, 10, &missed), G_ORIGINS::SEQ_GAP);
  EXPECT_EQ(missed, 3u);
  EXPECT_EQ(o.see(1, 7, &missed), G_ORIGINS::SEQ_DUPLICATE);  // the gap is not filled in later
  EXPECT_EQ(o.see(2, 2, &missed), G_ORIGINS::SEQ_NEXT);
  // Past the table's size the bridge heard from least recently is forgotten.
  for (uint64_t b = 100; b < 100 + G_ORIGINS::ORIGINS_MAX - 2; ++b)
    EXPECT_EQ(o.see(b, 1, &missed), G_ORIGINS::SEQ_NEW);
  EXPECT_EQ(o.see(1, 11, &missed), G_ORIGINS::SEQ_NEXT);  // still known: it was full, nothing evicted yet
  EXPECT_EQ(o.see(999, 1, &missed), G_ORIGINS::SEQ_NEW);  // evicts bridge 2
  EXPECT_EQ(o.see(2, 3, &missed), G_ORIGINS::SEQ_NEW);
  EXPECT_EQ(o.see(1, 12, &missed), G_ORIGINS::SEQ_NEXT);
}

TEST(BridgeWire, StreamIdsAndHubAnnouncement) {
  uint64_t ms = 0, seq = 0;
  ASSERT_EQ(stream_id_parse("1765238400123-7", 15, ms, seq), 0);
  EXPECT_EQ(ms, 1765238400123u);
  EXPECT_EQ(seq, 7u);
  char out[48];
  EXPECT_EQ(std::string(out, stream_id_format(out, ms, seq)), "1765238400123-7");
  EXPECT_EQ(stream_id_parse("18446744073709551615-18446744073709551615", 41, ms, seq), 0);
  EXPECT_EQ(ms, UINT64_MAX);
  for (const char* bad : {"", "12", "-3", "12-", "1-2-3", "1a-2", "18446744073709551616-0", "1 -2"})
    EXPECT_EQ(stream_id_parse(bad, strlen(bad), ms, seq), -1) << bad;

  uint64_t instance = 0, max = 0;
  const std::string head =
      "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nX-Relayhub-Instance: 00ff10a0b0c0d0e9\r\n"
      "X-Relayhub-Message-Max: 4080\r\n\r\n";
  EXPECT_EQ(ws_hub_announcement(head.data(), head.size(), instance, max),
            WS_ANNOUNCE_INSTANCE | WS_ANNOUNCE_MAX);
  EXPECT_EQ(instance, 0x00ff10a0b0c0d0e9ull);
  EXPECT_EQ(max, 4080u);
  const std::string older = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
  EXPECT_EQ(ws_hub_announcement(older.data(), older.size(), instance, max), 0);
  const std::string broken =
      "HTTP/1.1 101 Switching Protocols\r\nX-Relayhub-Instance: 00FF10A0B0C0D0E9\r\nX-Relayhub-Message-Max: "
      "4k\r\n\r\n";
  EXPECT_EQ(ws_hub_announcement(broken.data(), broken.size(), instance, max), 0);
}

TEST(BridgeRing, HandedRecordsStayUntilForgottenAndComeAgainAfterRewind) {
  G_RING r;
  ASSERT_EQ(r.init(128), 0);  // records of 16 bytes: eight fit
  auto peek = [&](std::string* out) {
    return r.peek_next([&](const char* d, size_t n, uint32_t) {
      out->assign(d, n);
      return true;
    });
  };
  std::string got;
  for (int round = 0; round < 3; ++round) {  // across the wrap
    for (char c = 'a'; c < 'a' + 6; ++c)
      ASSERT_EQ(r.push(nullptr, 0, &c, 1, 0, false, nullptr, nullptr), G_RING::RING_OK);
    for (char c = 'a'; c < 'a' + 4; ++c) {
      ASSERT_EQ(peek(&got), G_RING::POP_TAKEN);
      EXPECT_EQ(got, std::string(1, c));
    }
    EXPECT_EQ(r.handed(), 4u);
    r.forget(2);  // a and b answered
    EXPECT_EQ(r.count(), 4u);
    r.rewind();  // the connection was lost: c and d go again
    for (char c = 'c'; c < 'a' + 6; ++c) {
      ASSERT_EQ(peek(&got), G_RING::POP_TAKEN);
      EXPECT_EQ(got, std::string(1, c));
    }
    EXPECT_EQ(peek(&got), G_RING::POP_EMPTY);
    r.forget(10);  // no more than were handed
    EXPECT_EQ(r.count(), 0u);
  }
  // Pushing after everything was handed: the next peek finds the new one.
  ASSERT_EQ(r.push(nullptr, 0, "x", 1, 0, false, nullptr, nullptr), G_RING::RING_OK);
  ASSERT_EQ(peek(&got), G_RING::POP_TAKEN);
  for (int i = 0; i < 7; ++i)
    ASSERT_EQ(r.push(nullptr, 0, "y", 1, 0, false, nullptr, nullptr), G_RING::RING_OK);
  EXPECT_FALSE(r.fits(1));
  r.forget(1);
  EXPECT_TRUE(r.fits(1));
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(peek(&got), G_RING::POP_TAKEN);
    EXPECT_EQ(got, "y");
  }
}

TEST(BridgeRedisReply, BudgetRefusesBombsAndKeepsOrdinaryReplies) {
  REDIS_BUDGET budget;
  budget.bytes_max = 64 * 1024;
  budget.elements_max = 1000;
  auto parse = [&](const std::string& wire, redisReply** out) {
    redisReader* rd = redis_budget_reader(&budget);
    EXPECT_NE(rd, nullptr);
    budget.b_exceeded = false;
    int r = redisReaderFeed(rd, wire.data(), wire.size());
    void* reply = nullptr;
    if (r == REDIS_OK) r = redisReaderGetReply(rd, &reply);
    *out = static_cast<redisReply*>(reply);
    redisReaderFree(rd);
    return r;
  };
  redisReply* reply = nullptr;
  // An XREAD answer, nested three deep, is built as hiredis builds it.
  const std::string xread =
      "*1\r\n*2\r\n$8\r\nrelayhub\r\n*1\r\n*2\r\n$3\r\n1-1\r\n*2\r\n$1\r\nm\r\n$5\r\nhello\r\n";
  ASSERT_EQ(parse(xread, &reply), REDIS_OK);
  ASSERT_NE(reply, nullptr);
  const redisReply* entry = reply->element[0]->element[1]->element[0];
  EXPECT_EQ(std::string(entry->element[0]->str), "1-1");
  EXPECT_EQ(std::string(entry->element[1]->element[1]->str, entry->element[1]->element[1]->len), "hello");
  freeReplyObject(reply);
  ASSERT_EQ(parse(":42\r\n", &reply), REDIS_OK);
  EXPECT_EQ(reply->integer, 42);
  freeReplyObject(reply);

  // Fifty million elements announced: refused at the header, nothing built.
  reply = nullptr;
  EXPECT_EQ(parse("*50000000\r\n:1\r\n:1\r\n", &reply), REDIS_ERR);
  EXPECT_EQ(reply, nullptr);
  EXPECT_TRUE(budget.b_exceeded);
  // Many small elements in several arrays add up.
  std::string many = "*3\r\n";
  for (int a = 0; a < 3; ++a) {
    many += "*400\r\n";
    for (int i = 0; i < 400; ++i)
      many += ":1\r\n";
  }
  EXPECT_EQ(parse(many, &reply), REDIS_ERR);
  EXPECT_TRUE(budget.b_exceeded);
  // One string over the bytes.
  EXPECT_EQ(parse("$70000\r\n" + std::string(70000, 'x') + "\r\n", &reply), REDIS_ERR);
  EXPECT_TRUE(budget.b_exceeded);
  // The budget is per reply: two replies just under it each pass.
  redisReader* rd = redis_budget_reader(&budget);
  const std::string half = "$30000\r\n" + std::string(30000, 'y') + "\r\n";
  ASSERT_EQ(redisReaderFeed(rd, (half + half).data(), 2 * half.size()), REDIS_OK);
  for (int i = 0; i < 2; ++i) {
    void* r = nullptr;
    ASSERT_EQ(redisReaderGetReply(rd, &r), REDIS_OK);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(static_cast<redisReply*>(r)->len, 30000u);
    freeReplyObject(r);
  }
  redisReaderFree(rd);
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

  BRIDGE_OPTIONS s;
  EXPECT_EQ(s.transport, TRANSPORT_STREAMS);  // the default
  ASSERT_EQ(
      parse({"--hub", "h:80", "--redis", "r:6380", "--transport", "pubsub", "--retention=120", "--redis-ca",
             "ca.pem", "--redis-user", "bridge", "--password-file", "pw", "--metrics", "9101"},
            s),
      BRIDGE_PARSE_OK)
      << s.error;
  EXPECT_EQ(s.transport, TRANSPORT_PUBSUB);
  EXPECT_EQ(s.retention_s, 120u);
  EXPECT_TRUE(s.b_redis_tls);  // --redis-ca implies TLS to Redis
  EXPECT_STREQ(s.redis_user, "bridge");
  EXPECT_STREQ(s.metrics_host, "127.0.0.1");  // loopback unless an address is given
  EXPECT_EQ(s.metrics_port, 9101);
  BRIDGE_OPTIONS m;
  ASSERT_EQ(parse({"--hub", "h:80", "--redis", "r:6380", "--metrics", "0.0.0.0:9102"}, m), BRIDGE_PARSE_OK);
  EXPECT_STREQ(m.metrics_host, "0.0.0.0");
  EXPECT_EQ(m.metrics_port, 9102);
  const std::vector<std::vector<const char*>> bad_new = {
      {"--hub", "h:80", "--redis", "r:1", "--transport", "kafka"},
      {"--hub", "h:80", "--redis", "r:1", "--retention", "0"},
      {"--hub", "h:80", "--redis", "r:1", "--retention", "1m"},
      {"--hub", "h:80", "--redis", "r:1", "--redis-user", "u"},     // a user wants a password
      {"--hub", "h:80", "--redis", "r:1", "--redis-key", "k.pem"},  // a key wants its certificate
      {"--hub", "h:80", "--redis", "r:1", "--metrics", "0"},
      {"--hub", "h:80", "--redis", "r:1", "--metrics", "host:"},
      {"--hub", "h:80", "--redis", "r:1", "--redis-tls=1"},
  };
  for (const auto& args : bad_new) {
    BRIDGE_OPTIONS b;
    EXPECT_EQ(parse(args, b), BRIDGE_PARSE_ERROR) << args[args.size() - 1];
  }
}
