// Fuzzes the frame walk (WS_PARSER) as the receive loop drives it: each
// read fills the room the walk gives and is consumed at once, with the
// messages of one read collected before they are used.
//
// Input: byte 0 picks the mode, byte 1 the receive buffer size, bytes 2..9
// are four 16-bit offsets at which the stream is cut into reads, the rest is
// the body.
//   mode bit 0: the old framing (version 8), else RFC 6455 (version 13);
//   mode bit 1: the body is a script of messages that the harness frames as
//               a client would, so the walk's results are known in advance;
//               else the body is the client's byte stream as it is.
// Every stream is walked twice, whole and cut at the offsets; both walks
// must give the same messages, replies and ending.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/g_utf8.hpp"
#include "tests/fuzz/fuzz_check.hpp"
#include "websocket/ws_parser.hpp"

namespace {

enum : int { EV_MESSAGE = 1, EV_REPLY, EV_CLOSE };

struct event_t {
  int kind;
  uint32_t opcode;  // message opcode, or the close code of EV_CLOSE
  std::string bytes;
  bool operator==(const event_t& o) const { return kind == o.kind && opcode == o.opcode && bytes == o.bytes; }
};
using log_t = std::vector<event_t>;

// One walker, reused across inputs as a connection slot reuses it: state
// left from an earlier connection would show up as a difference between
// walks.
WS_PARSER& walker() {
  static WS_PARSER* p = new WS_PARSER;
  return *p;
}

// Frames a message for both kinds of WebSocket receiver into a half as large
// as the receive buffer (as the relay does) and reads the frame back.
void check_reframe(const char* payload, size_t len, uint32_t opcode, char* half, size_t cap) {
  if (opcode != WS_OPCODE_TEXT && opcode != WS_OPCODE_BINARY)
    opcode = utf8_well_formed((const unsigned char*)payload, len) ? WS_OPCODE_TEXT : WS_OPCODE_BINARY;
  size_t pos = 0;
  check(ws_frame_append(half, cap, pos, payload, len, opcode, false) == WS_APPEND_DONE);
  const uint8_t* f = (const uint8_t*)half;
  check(f[0] == (0x80 | opcode));
  size_t h = 2;
  uint64_t n = f[1];
  if (n == 126) {
    n = ((uint64_t)f[2] << 8) | f[3];
    h = 4;
  } else if (n == 127) {
    n = 0;
    for (int i = 2; i < 10; ++i)
      n = (n << 8) | f[i];
    h = 10;
  }
  check(n == len && pos == h + len && memcmp(half + h, payload, len) == 0);

  pos = 0;
  const int r = ws_frame_append(half, cap, pos, payload, len, opcode, true);
  if (memchr(payload, 0xFF, len) != nullptr) {
    check(r == WS_APPEND_SKIPPED && pos == 0);
  } else {
    check(r == WS_APPEND_DONE && pos == len + 2);
    check(f[0] == 0x00 && f[len + 1] == 0xFF && memcmp(half + 1, payload, len) == 0);
  }
}

// A message the walk handed out, checked again once the read is done.
struct held_t {
  const char* at;
  size_t len;
  uint32_t opcode;
  size_t index;
};

// Checks and logs what the walk hands out, as it comes.
struct collector {
  bool old;
  const char* page;
  size_t cap;
  size_t limit;
  log_t& log;
  std::vector<held_t>& batch;

  void message(char* payload, size_t len, uint32_t opcode) {
    check(payload >= page && payload + len <= page + cap);
    check(len <= limit);
    if (old) {
      check(opcode == WS_OPCODE_AUTO && memchr(payload, 0xFF, len) == nullptr);
    } else {
      check(opcode == WS_OPCODE_TEXT || opcode == WS_OPCODE_BINARY);
    }
    if (opcode == WS_OPCODE_TEXT) check(utf8_well_formed((const unsigned char*)payload, len));
    batch.push_back({payload, len, opcode, log.size()});
    log.push_back({EV_MESSAGE, opcode, std::string(payload, len)});
  }
  void reply(const char* f, size_t n) {
    check(!old && n >= 2 && (uint8_t)f[0] == 0x8A);
    check((size_t)(uint8_t)f[1] <= WS_PARSER::CONTROL_MAX && n == 2 + (size_t)(uint8_t)f[1]);
    log.push_back({EV_REPLY, 0, std::string(f + 2, n - 2)});
  }
  void close(uint16_t code, const char* f, size_t n) {
    if (old) {
      // The old framing's close has no code: the walk keeps why.
      check(n == 2 && (uint8_t)f[0] == 0xFF && f[1] == 0);
      check(code == WS_CLOSE_NORMAL || code == WS_CLOSE_PROTOCOL || code == WS_CLOSE_TOO_BIG);
    } else {
      check(n == 4 && (uint8_t)f[0] == 0x88 && f[1] == 2);
      check(code == (uint16_t)(((uint8_t)f[2] << 8) | (uint8_t)f[3]));
    }
    log.push_back({EV_CLOSE, code, {}});
  }
};

// Walks stream (n bytes) over a receive buffer of exactly cap bytes on the
// heap (so that ASan sees any access past it), with reads cut at `cuts` and
// wherever the room ends.
log_t walk(uint32_t version, size_t cap, const uint8_t* s, size_t n, const std::vector<size_t>& cuts) {
  WS_PARSER& p = walker();
  char* page = (char*)malloc(cap);
  char* half = (char*)malloc(cap);
  p.begin(page, cap, version);
  log_t log;
  std::vector<held_t> batch;
  collector c{version < 13, page, cap, p.message_max(), log, batch};
  size_t pos = 0, ci = 0;
  bool ended = false;
  while (pos < n && !ended) {
    while (ci < cuts.size() && cuts[ci] <= pos)
      ++ci;
    const size_t until = ci < cuts.size() ? cuts[ci] : n;
    batch.clear();
    size_t taken = 0;
    const int r = p.feed((const char*)s + pos, until - pos, taken, c);
    // The room is never 0 while the walk goes on.
    check(taken > 0);
    pos += taken;
    if (r != WS_WALK_MORE) {
      check(r == WS_WALK_CLOSE);
      // Nothing more is parsed after a close.
      check(p.consume(0, c) == WS_WALK_END);
      ended = true;
    }
    // The messages of one read stay where they are, unchanged, until the
    // next room(): later frames of the same read must not overwrite them.
    for (const held_t& h : batch) {
      check(memcmp(h.at, log[h.index].bytes.data(), h.len) == 0);
      check_reframe(h.at, h.len, h.opcode, half, cap);
    }
  }
  free(half);
  free(page);
  return log;
}

// ---- scripted streams: messages framed as a client frames them ----

// Close codes a client may send (echoed by the hub).
constexpr uint16_t kCloseCodes[] = {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 3000, 4999};

void put_frame(std::string& out, uint8_t first, const std::string& p, const uint8_t key[4]) {
  out += (char)first;
  const uint64_t n = p.size();
  if (n <= 125) {
    out += (char)(0x80 | n);
  } else if (n <= 65535) {
    out += (char)(0x80 | 126);
    out += (char)(n >> 8);
    out += (char)n;
  } else {
    out += (char)(0x80 | 127);
    for (int i = 0; i < 8; ++i)
      out += (char)(n >> (56 - 8 * i));
  }
  out.append((const char*)key, 4);
  for (size_t i = 0; i < n; ++i)
    out += (char)(p[i] ^ key[i & 3]);
}

// Each record of the script: a control byte, a length byte, payload bytes
// (taken from the script, padded when it runs out).
//   control bits 0-1: 0 text, 1 binary, 2 ping, 3 close
//   bits 2-3: number of fragments less one; bit 4: a ping after the first
//   fragment; bit 5: the length byte counts in units of 17 bytes.
// Builds the stream and the walk's expected log for a buffer of cap bytes.
void script(const uint8_t* b, size_t n, bool old, size_t cap, std::string& stream, log_t& expect) {
  const size_t limit = cap - WS_PARSER::MESSAGE_SLACK;
  size_t i = 0;
  while (i + 2 <= n) {
    const uint8_t ctl = b[i], lb = b[i + 1];
    i += 2;
    const size_t want = (ctl & 0x20) ? (size_t)lb * 17 : lb;
    std::string p;
    for (size_t j = 0; j < want; ++j)
      p += i < n ? (char)b[i++] : (char)('a' + j % 26);
    const int kind = ctl & 3;
    const uint8_t key[4] = {ctl, lb, 0x37, 0xC2};

    if (old) {
      if (kind == 3) {  // the old framing's closing handshake
        stream += std::string("\xFF\x00", 2);
        expect.push_back({EV_CLOSE, WS_CLOSE_NORMAL, {}});
        return;
      }
      // Any byte but 0xFF; an empty message is 0x00 0xFF.
      for (char& c : p)
        if ((uint8_t)c == 0xFF) c = (char)0xFE;
      stream += '\0';
      stream += p;
      stream += (char)0xFF;
      if (p.size() > limit) {
        expect.push_back({EV_CLOSE, WS_CLOSE_TOO_BIG, {}});
        return;
      }
      expect.push_back({EV_MESSAGE, WS_OPCODE_AUTO, p});
      continue;
    }

    // A control frame needs room in the buffer (behind the bytes of a
    // message being joined), not under the message limit.
    if (kind == 2) {
      if (p.size() > WS_PARSER::CONTROL_MAX) p.resize(WS_PARSER::CONTROL_MAX);
      put_frame(stream, 0x89, p, key);
      if (6 + p.size() > cap) {
        expect.push_back({EV_CLOSE, WS_CLOSE_TOO_BIG, {}});
        return;
      }
      expect.push_back({EV_REPLY, 0, p});
      continue;
    }
    if (kind == 3) {
      std::string c;
      uint16_t code = WS_CLOSE_NORMAL;
      if (lb != 0) {
        code = kCloseCodes[lb % (sizeof(kCloseCodes) / sizeof(kCloseCodes[0]))];
        c += (char)(code >> 8);
        c += (char)code;
        c += "bye";
      }
      put_frame(stream, 0x88, c, key);
      expect.push_back({EV_CLOSE, code, {}});
      return;
    }
    uint32_t opcode = kind == 0 ? WS_OPCODE_TEXT : WS_OPCODE_BINARY;
    if (opcode == WS_OPCODE_TEXT && !utf8_well_formed((const unsigned char*)p.data(), p.size()))
      opcode = WS_OPCODE_BINARY;
    const size_t frags = ((ctl >> 2) & 3) + 1;
    size_t joined = 0;
    for (size_t f = 0; f < frags; ++f) {
      // Fragment boundaries may fall inside a UTF-8 character.
      const size_t a = p.size() * f / frags, e = p.size() * (f + 1) / frags;
      const uint8_t first = (uint8_t)((f + 1 == frags ? 0x80 : 0) | (f == 0 ? opcode : 0));
      put_frame(stream, first, p.substr(a, e - a), key);
      joined += e - a;
      if (joined > limit) {
        expect.push_back({EV_CLOSE, WS_CLOSE_TOO_BIG, {}});
        return;
      }
      if (f == 0 && frags > 1 && (ctl & 0x10)) {
        put_frame(stream, 0x89, "mid", key);
        if (joined + 9 > cap) {
          expect.push_back({EV_CLOSE, WS_CLOSE_TOO_BIG, {}});
          return;
        }
        expect.push_back({EV_REPLY, 0, "mid"});
      }
    }
    expect.push_back({EV_MESSAGE, opcode, p});
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10) return 0;
  const bool old = data[0] & 1;
  const bool scripted = data[0] & 2;
  const size_t cap = WS_PARSER::MESSAGE_SLACK + 1 + (size_t)data[1] * 16;
  const uint8_t* body = data + 10;
  const size_t body_size = size - 10;

  std::string scripted_stream;
  log_t expect;
  const uint8_t* s = body;
  size_t n = body_size;
  if (scripted) {
    script(body, body_size, old, cap, scripted_stream, expect);
    s = (const uint8_t*)scripted_stream.data();
    n = scripted_stream.size();
  }

  std::vector<size_t> cuts;
  for (int i = 0; i < 4; ++i)
    cuts.push_back((data[2 + 2 * i] | (data[3 + 2 * i] << 8)) % (n + 1));
  std::sort(cuts.begin(), cuts.end());

  const uint32_t version = old ? 8 : 13;
  const log_t whole = walk(version, cap, s, n, {});
  const log_t split = walk(version, cap, s, n, cuts);
  check(whole == split);
  if (scripted) check(whole == expect);
  return 0;
}
