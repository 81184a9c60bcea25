// The WebSocket frame parser on its own: one-frame decoding (known vectors,
// hostile lengths, splits), the frame walk over reads cut anywhere, and the
// mask it unmasks with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support/g_mask.hpp"
#include "tests/ws_test_frames.hpp"
#include "websocket/ws_parser.hpp"

namespace {

// ---------------------------------------------------------------- the mask

TEST(WsMask, InPlaceCopiedAndFromAnyOffset) {
  const uint8_t key[4] = {0xA1, 0x02, 0xF3, 0x5C};
  bytes plain(37);
  for (size_t i = 0; i < plain.size(); ++i)
    plain[i] = (uint8_t)(i * 29 + 3);
  bytes want(plain.size());
  for (size_t i = 0; i < plain.size(); ++i)
    want[i] = plain[i] ^ key[i % 4];
  // Copied, at every length (the word loop and the byte tail).
  for (size_t n = 0; n <= plain.size(); ++n) {
    bytes out(n + 1, 0x5A);
    g_mask(out.data(), plain.data(), n, key);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + (long)n, want.begin())) << n;
    EXPECT_EQ(0x5A, out[n]) << n;
  }
  // In place, in pieces that start at any payload offset.
  for (size_t from = 0; from <= plain.size(); ++from) {
    bytes p = plain;
    g_mask(p.data(), p.data(), from, key, 0);
    g_mask(p.data() + from, p.data() + from, p.size() - from, key, from);
    EXPECT_EQ(want, p) << from;
  }
}

// ---------------------------------------------------------------- one frame

TEST(WsDecode, Rfc6455HelloFrame) {
  frame_buf f({0x81, 0x85, 0x37, 0xfa, 0x21, 0x3d, 0x7f, 0x9f, 0x4d, 0x51, 0x58});
  ws_frame_t fr;
  ASSERT_EQ(11, WS_PARSER::decode(f.data(), f.len, false, fr));
  EXPECT_EQ(6u, fr.offset);
  EXPECT_EQ(5u, fr.payload);
  EXPECT_EQ("Hello", std::string(f.data() + 6, 5));
  EXPECT_EQ(11u, fr.size);
  EXPECT_EQ(1u, fr.opcode);
  EXPECT_TRUE(fr.fin);
  EXPECT_EQ(0x5A, f.data()[11]);  // nothing written past the frame
}

TEST(WsDecode, UnmaskLongPayloadsAllLengthForms) {
  const uint8_t key[4] = {0xA1, 0x02, 0xF3, 0x5C};
  for (size_t n : {0u, 1u, 7u, 8u, 9u, 125u, 126u, 1001u, 65535u, 65536u, 70001u}) {
    bytes payload(n);
    for (size_t i = 0; i < n; ++i)
      payload[i] = (uint8_t)(i * 31 + 7);
    frame_buf f(mask_frame(0x82, payload, key));
    ws_frame_t fr;
    ASSERT_EQ((int64_t)f.len, WS_PARSER::decode(f.data(), f.len, false, fr)) << n;
    EXPECT_EQ(n, fr.payload);
    EXPECT_EQ(std::string(payload.begin(), payload.end()), std::string(f.data() + fr.offset, n)) << n;
    EXPECT_EQ(f.len, fr.offset + n);
  }
}

TEST(WsDecode, SplitFramesArePartialAndUntouched) {
  const uint8_t key[4] = {9, 8, 7, 6};
  bytes full = mask_frame(0x81, bytes(200, 'q'), key);  // 0x81 0xFE len16, key, payload
  for (size_t cut : std::vector<size_t>{1, 3, 4, 7, 8, 50, full.size() - 1}) {
    bytes part(full.begin(), full.begin() + (long)cut);
    frame_buf f(part);
    ws_frame_t fr;
    EXPECT_EQ(WS_FRAME_PARTIAL, WS_PARSER::decode(f.data(), f.len, false, fr)) << cut;
    EXPECT_EQ(1u, fr.opcode) << cut;
    // Once the length is in, the whole frame's size is known.
    EXPECT_EQ(cut >= 4 ? full.size() : 0u, fr.size) << cut;
    EXPECT_EQ(0, memcmp(f.data(), part.data(), cut)) << cut;
    frame_buf g(full);
    ASSERT_EQ((int64_t)full.size(), WS_PARSER::decode(g.data(), g.len, false, fr)) << cut;
    EXPECT_EQ(std::string(200, 'q'), std::string(g.data() + fr.offset, 200));
  }
}

TEST(WsDecode, LengthFieldsAndClientFrameRules) {
  // Lying lengths never reach past len.
  const bytes incomplete[] = {
      {0x82, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4, 5},
      {0x82, 0xFE, 0xFF, 0xFF, 1, 2, 3, 4, 'a', 'b'},
      {0x82, 0xFE, 0x00, 0x05, 1, 2, 3, 4, 'a'},
      {0x82, 0xFD, 1, 2, 3, 4, 'a'},
      {0x82, 0x83, 1, 2},
  };
  for (const bytes& b : incomplete) {
    frame_buf f(b);
    ws_frame_t fr;
    EXPECT_EQ(WS_FRAME_PARTIAL, WS_PARSER::decode(f.data(), f.len, false, fr));
    EXPECT_EQ(0, memcmp(f.data(), b.data(), b.size()));
  }
  // Frames no client may send are refused with 1002 before their payload
  // arrives: the 64-bit length with its top bit set (2^63, 2^64 - 1), an
  // unmasked frame, RSV bits, reserved opcodes, control frames without FIN
  // or over 125 bytes.
  const bytes refused[] = {
      {0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0},
      {0x82, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
      {0x81, 0x01, 'a'},
      {0xC1, 0x81},
      {0xA1},
      {0x91},
      {0x83, 0x80},
      {0x87},
      {0x8B, 0x80},
      {0x8F},
      {0x09, 0x80},
      {0x89, 0xFE, 0x00, 0x7E},
      {0x88, 0xFE},
  };
  for (const bytes& b : refused) {
    frame_buf f(b);
    ws_frame_t fr;
    EXPECT_EQ(-WS_CLOSE_PROTOCOL, WS_PARSER::decode(f.data(), f.len, false, fr)) << (unsigned)b[0];
  }
  // Control frames decode like any other frame; the walk acts on them.
  const uint8_t key[4] = {1, 2, 3, 4};
  frame_buf ping(mask_frame(0x89, bytes(125, 'p'), key));
  ws_frame_t fr;
  EXPECT_EQ((int64_t)ping.len, WS_PARSER::decode(ping.data(), ping.len, false, fr));
  EXPECT_EQ(9u, fr.opcode);
  EXPECT_EQ(125u, fr.payload);
}

TEST(WsDecode, OldFramingFramesAndSplits) {
  ws_frame_t fr;
  frame_buf f({0x00, 0x61, 0x62, 0xFF});
  ASSERT_EQ(4, WS_PARSER::decode(f.data(), f.len, true, fr));
  EXPECT_EQ(1u, fr.offset);
  EXPECT_EQ(2u, fr.payload);
  EXPECT_EQ(std::string("ab"), std::string(f.data() + 1, 2));
  EXPECT_EQ((uint32_t)WS_OPCODE_AUTO, fr.opcode);

  // 0x00 0xFF is an empty message, not the close.
  frame_buf empty({0x00, 0xFF, 0x00});
  EXPECT_EQ(2, WS_PARSER::decode(empty.data(), empty.len, true, fr));
  EXPECT_EQ((uint32_t)WS_OPCODE_AUTO, fr.opcode);
  EXPECT_EQ(0u, fr.payload);

  // The closing handshake 0xFF 0x00 decodes as a close without payload; a
  // lone 0xFF waits for its second byte.
  frame_buf close({0xFF, 0x00});
  EXPECT_EQ(2, WS_PARSER::decode(close.data(), close.len, true, fr));
  EXPECT_EQ((uint32_t)WS_OPCODE_CLOSE, fr.opcode);
  EXPECT_EQ(0u, fr.payload);
  frame_buf lone({0xFF});
  EXPECT_EQ(WS_FRAME_PARTIAL, WS_PARSER::decode(lone.data(), lone.len, true, fr));

  for (const bytes& b : {bytes{0xFF, 0x01, 'x'}, bytes{0x80, 0x00}, bytes{0x01, 'a', 0xFF}}) {
    frame_buf bad(b);
    EXPECT_EQ(-WS_CLOSE_PROTOCOL, WS_PARSER::decode(bad.data(), bad.len, true, fr)) << (unsigned)b[0];
  }

  // A frame split after its first byte, or before its end marker, waits.
  frame_buf one({0x00});
  EXPECT_EQ(WS_FRAME_PARTIAL, WS_PARSER::decode(one.data(), one.len, true, fr));
  frame_buf two({0x00, 0x61});
  EXPECT_EQ(WS_FRAME_PARTIAL, WS_PARSER::decode(two.data(), two.len, true, fr));
}

// ---------------------------------------------------------------- the frame walk

// One event of the walk: a message (with its opcode), a reply or a close.
struct walk_event {
  int kind;
  uint32_t opcode;
  std::string data;
  bool operator==(const walk_event& o) const {
    return kind == o.kind && opcode == o.opcode && data == o.data;
  }
};

std::ostream& operator<<(std::ostream& os, const walk_event& e) {
  return os << "{" << e.kind << "," << e.opcode << "," << e.data.size() << "B}";
}

// Records what the walk hands out.
struct recorder {
  std::vector<walk_event>& out;
  void message(char* payload, size_t len, uint32_t opcode) {
    out.push_back({WS_WALK_MESSAGE, opcode, std::string(payload, len)});
  }
  void reply(const char* frame, size_t len) { out.push_back({WS_WALK_REPLY, 0, std::string(frame, len)}); }
  void close(uint16_t, const char* frame, size_t len) {
    out.push_back({WS_WALK_CLOSE, 0, std::string(frame, len)});
  }
};

// The walk over a given sequence of reads into a buffer of cap bytes: each
// read fills at most the room the walk gives; what does not fit is read
// next. After a close, nothing more is parsed.
std::vector<walk_event> walk_reads(WS_PARSER& p, const std::vector<bytes>& reads, size_t cap = 4096,
                                   uint32_t version = 13) {
  std::vector<walk_event> out;
  recorder rec{out};
  std::vector<char> page(cap);
  p.begin(page.data(), cap, version);
  for (const bytes& rd : reads) {
    size_t done = 0;
    while (done < rd.size()) {
      size_t taken = 0;
      const int r = p.feed((const char*)rd.data() + done, rd.size() - done, taken, rec);
      EXPECT_GT(taken, 0u);  // the room is never 0 while the walk goes on
      if (taken == 0) return out;
      done += taken;
      if (r != WS_WALK_MORE) {
        EXPECT_EQ(WS_WALK_CLOSE, r);
        EXPECT_EQ(WS_WALK_END, p.consume(0, rec));
        return out;
      }
    }
  }
  return out;
}

bytes cat(std::initializer_list<bytes> parts) {
  bytes all;
  for (const bytes& p : parts)
    all.insert(all.end(), p.begin(), p.end());
  return all;
}

bytes cut(const bytes& b, size_t n) {
  return bytes(b.begin(), b.begin() + (long)n);
}

std::string close_frame(uint16_t code) {
  return std::string{(char)0x88, 2, (char)(code >> 8), (char)code};
}

const uint8_t kKey[4] = {0x11, 0x22, 0x33, 0x44};
// Characters of 1 to 4 bytes, so that reads end inside them.
const std::string kMixed = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z\xD8\xA7\xE0\xA4\xB9";

TEST(WsWalk, StreamSplitAtEveryOffset) {
  // Text, a fragmented binary message with a ping and a pong between its
  // fragments, an empty text, a 300-byte text and a close.
  bytes stream = cat({mask_frame(0x81, {'o', 'n', 'e'}, kKey), mask_frame(0x02, bytes(40, 0xF0), kKey),
                      mask_frame(0x89, {'p', 'i'}, kKey), mask_frame(0x00, bytes(7, 0x01), kKey),
                      mask_frame(0x8A, {'x'}, kKey), mask_frame(0x80, bytes(200, 0xAB), kKey),
                      mask_frame(0x81, {}, kKey), mask_frame(0x81, bytes(300, 'T'), kKey),
                      mask_frame(0x81, bytes(kMixed.begin(), kMixed.end()), kKey),
                      mask_frame(0x88, {0x03, 0xE9, 'b', 'y', 'e'}, kKey)});
  std::string joined = std::string(40, (char)0xF0) + std::string(7, 1) + std::string(200, (char)0xAB);
  const std::vector<walk_event> want = {
      {WS_WALK_MESSAGE, 1, "one"},
      {WS_WALK_REPLY, 0, std::string("\x8A\x02pi", 4)},
      {WS_WALK_MESSAGE, 2, joined},
      {WS_WALK_MESSAGE, 1, ""},
      {WS_WALK_MESSAGE, 1, std::string(300, 'T')},
      {WS_WALK_MESSAGE, 1, kMixed},
      {WS_WALK_CLOSE, 0, close_frame(1001)},
  };
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    WS_PARSER ws;
    std::vector<bytes> reads = {bytes(stream.begin(), stream.begin() + (long)cut),
                                bytes(stream.begin() + (long)cut, stream.end())};
    EXPECT_EQ(want, walk_reads(ws, reads)) << "cut at " << cut;
  }
  // One byte per read, in a buffer that is barely larger than the largest
  // message: the joined message is compacted to the front as it grows.
  WS_PARSER ws;
  std::vector<bytes> singles;
  for (uint8_t c : stream)
    singles.push_back({c});
  EXPECT_EQ(want, walk_reads(ws, singles, 300 + WS_PARSER::MESSAGE_SLACK));
}

TEST(WsWalk, ClosesAndProtocolErrors) {
  struct Case {
    const char* what;
    bytes stream;
    std::string reply;
  } cases[] = {
      {"close without code", mask_frame(0x88, {}, kKey), close_frame(1000)},
      {"close 4000 echoed", mask_frame(0x88, {0x0F, 0xA0}, kKey), close_frame(4000)},
      {"1-byte close", mask_frame(0x88, {0x03}, kKey), close_frame(1002)},
      {"close 999", mask_frame(0x88, {0x03, 0xE7}, kKey), close_frame(1002)},
      {"close 1005", mask_frame(0x88, {0x03, 0xED}, kKey), close_frame(1002)},
      {"close 1015", mask_frame(0x88, {0x03, 0xF7}, kKey), close_frame(1002)},
      {"close 2999", mask_frame(0x88, {0x0B, 0xB7}, kKey), close_frame(1002)},
      {"close reason not UTF-8", mask_frame(0x88, {0x03, 0xE8, 0xC0, 0xAF}, kKey), close_frame(1002)},
      {"continuation first", mask_frame(0x80, {'a'}, kKey), close_frame(1002)},
      {"text inside a fragmented text", cat({mask_frame(0x01, {'a'}, kKey), mask_frame(0x81, {'b'}, kKey)}),
       close_frame(1002)},
      {"unmasked", {0x81, 0x01, 'a'}, close_frame(1002)},
      {"reserved opcode", {0x83, 0x80, 1, 2, 3, 4}, close_frame(1002)},
      {"RSV1", {0xC1, 0x80, 1, 2, 3, 4}, close_frame(1002)},
      {"ping over 125", mask_frame(0x89, bytes(126, 'p'), kKey), close_frame(1002)},
      {"text not UTF-8", mask_frame(0x81, {'a', 0xED, 0xA0, 0x80}, kKey), close_frame(1007)},
      // Fails at the bad fragment, before the message is complete.
      {"bad fragment fails fast", cat({mask_frame(0x01, {'a'}, kKey), mask_frame(0x00, {0xF8}, kKey)}),
       close_frame(1007)},
      {"text ending inside a character",
       cat({mask_frame(0x01, {0xE2, 0x82}, kKey), mask_frame(0x80, {}, kKey)}), close_frame(1007)},
      // Fails inside the frame: the rest of it never comes.
      {"bad text before its frame is complete",
       cut(mask_frame(0x81, {'a', 'b', 0xC0, 0xAF, 'c', 'd', 'e', 'f'}, kKey), 2 + 4 + 4), close_frame(1007)},
      {"bad continuation before its frame is complete",
       cat({mask_frame(0x01, {'a', 0xF4}, kKey),
            cut(mask_frame(0x80, {0x90, 0x80, 0x80, 'x', 'y', 'z'}, kKey), 2 + 4 + 1)}),
       close_frame(1007)},
      // The length alone is enough to refuse: no payload has come yet.
      {"too big", {0x82, 0xFE, 0x10, 0x00, 1, 2, 3, 4}, close_frame(1009)},
  };
  for (const Case& c : cases) {
    WS_PARSER ws;
    std::vector<walk_event> got = walk_reads(ws, {c.stream});
    ASSERT_FALSE(got.empty()) << c.what;
    EXPECT_EQ((walk_event{WS_WALK_CLOSE, 0, c.reply}), got.back()) << c.what;
  }
  // A character split between fragments is fine.
  WS_PARSER ws;
  std::vector<walk_event> got =
      walk_reads(ws, {cat({mask_frame(0x01, {'a', 0xE2, 0x82}, kKey), mask_frame(0x80, {0xAC}, kKey)})});
  EXPECT_EQ((std::vector<walk_event>{{WS_WALK_MESSAGE, 1, "a\xE2\x82\xAC"}}), got);
}

TEST(WsWalk, MessageLimitIsTheBufferLessItsSlack) {
  const size_t cap = 4096;
  const size_t limit = cap - WS_PARSER::MESSAGE_SLACK;
  for (size_t n : {limit - 1, limit}) {
    WS_PARSER ws;
    std::vector<walk_event> got = walk_reads(ws, {mask_frame(0x82, bytes(n, 7), kKey)}, cap);
    ASSERT_EQ(1u, got.size()) << n;
    EXPECT_EQ(n, got[0].data.size());
  }
  WS_PARSER ws;
  EXPECT_EQ(close_frame(1009),
            walk_reads(ws, {mask_frame(0x82, bytes(limit + 1, 7), kKey)}, cap).back().data);
  // Fragments count together.
  WS_PARSER frag;
  std::vector<walk_event> got = walk_reads(frag,
                                           {cat({mask_frame(0x02, bytes(limit / 2, 1), kKey),
                                                 mask_frame(0x80, bytes(limit - limit / 2 + 1, 2), kKey)})},
                                           cap);
  EXPECT_EQ(close_frame(1009), got.back().data);
  EXPECT_EQ(WS_CLOSE_TOO_BIG, frag.close_code);
}

TEST(WsWalk, ControlFramesBetweenFragmentsNeedOnlyRoomInTheBuffer) {
  // A ping larger than the message limit still fits a small buffer: it is
  // answered however the reads fall, like any ping.
  const size_t tiny = 1 + WS_PARSER::MESSAGE_SLACK;
  const bytes stream = cat({mask_frame(0x81, {}, kKey), mask_frame(0x02, {}, kKey),
                            mask_frame(0x89, {'m', 'i', 'd'}, kKey), mask_frame(0x80, {}, kKey)});
  const std::vector<walk_event> want = {
      {WS_WALK_MESSAGE, 1, ""}, {WS_WALK_REPLY, 0, std::string("\x8A\x03mid", 5)}, {WS_WALK_MESSAGE, 2, ""}};
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    WS_PARSER ws;
    EXPECT_EQ(want, walk_reads(ws,
                               {bytes(stream.begin(), stream.begin() + (long)cut),
                                bytes(stream.begin() + (long)cut, stream.end())},
                               tiny))
        << "cut at " << cut;
  }

  // Behind a fragment that the buffer holds, a ping that still fits is
  // answered; one that can no longer fit refuses the message with 1009
  // rather than leaving the walk without room to read.
  const size_t cap = 256;
  for (size_t ping : {40, 125}) {
    WS_PARSER ws;
    const std::vector<walk_event> got =
        walk_reads(ws,
                   {cat({mask_frame(0x01, bytes(200, 'a'), kKey), mask_frame(0x89, bytes(ping, 'p'), kKey),
                         mask_frame(0x80, bytes(10, 'b'), kKey)})},
                   cap);
    ASSERT_FALSE(got.empty()) << ping;
    if (200 + 6 + ping <= cap) {
      ASSERT_EQ(2u, got.size()) << ping;
      EXPECT_EQ(WS_WALK_REPLY, got[0].kind);
      EXPECT_EQ((walk_event{WS_WALK_MESSAGE, 1, std::string(200, 'a') + std::string(10, 'b')}), got[1]);
    } else {
      EXPECT_EQ((std::vector<walk_event>{{WS_WALK_CLOSE, 0, close_frame(1009)}}), got) << ping;
    }
  }
}

// The old framing's close, as the hub sends it.
const std::string kOldClose("\xFF\x00", 2);

TEST(WsWalk, OldFraming) {
  // Messages across reads, an empty one, and the closing handshake split in
  // two: answered with 0xFF 0x00.
  WS_PARSER old;
  const std::vector<walk_event> got = walk_reads(
      old,
      {{0x00, 'a', 0xFF, 0x00, 'b', 'c', 0xFF, 0x00, 'd'}, {'e', 0xFF, 0x00, 0xFF, 0xFF}, {0x00, 0x00, 'x'}},
      4096, 8);
  const std::vector<walk_event> want = {{WS_WALK_MESSAGE, WS_OPCODE_AUTO, "a"},
                                        {WS_WALK_MESSAGE, WS_OPCODE_AUTO, "bc"},
                                        {WS_WALK_MESSAGE, WS_OPCODE_AUTO, "de"},
                                        {WS_WALK_MESSAGE, WS_OPCODE_AUTO, ""},
                                        {WS_WALK_CLOSE, 0, kOldClose}};
  EXPECT_EQ(want, got);
  EXPECT_EQ(WS_CLOSE_NORMAL, old.close_code);

  // The hub's own closes end with 0xFF 0x00 too: a frame of another type,
  // and a message over the limit.
  const struct {
    bytes stream;
    uint16_t code;
  } faults[] = {{{0x00, 'a', 0xFF, 0x80, 0x01, 'z'}, WS_CLOSE_PROTOCOL}, {bytes(200, 'm'), WS_CLOSE_TOO_BIG}};
  for (const auto& c : faults) {
    WS_PARSER ws;
    bytes stream = c.stream;
    if (c.code == WS_CLOSE_TOO_BIG) stream[0] = 0x00;
    const std::vector<walk_event> g = walk_reads(ws, {stream}, 128, 8);
    ASSERT_FALSE(g.empty());
    EXPECT_EQ((walk_event{WS_WALK_CLOSE, 0, kOldClose}), g.back()) << c.code;
    EXPECT_EQ(c.code, ws.close_code);
  }
}

}  // namespace
