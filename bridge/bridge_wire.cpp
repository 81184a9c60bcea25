// The bridge's wire formats: the published message header, and the client
// side of RFC 6455 toward its hub (handshake, masked frames out, server
// frames in). No I/O.
#include "bridge/bridge_wire.hpp"

#include <sys/random.h>

#include <cstdio>
#include <cstring>
#include <strings.h>

#include "support/g_crypt.hpp"
#include "support/g_mask.hpp"
#include "support/g_text.hpp"
#include "support/g_utf8.hpp"

namespace {

constexpr unsigned SHA1_ALGORITHM = 2;  // libgcrypt's number for SHA-1
constexpr size_t SHA1_SIZE = 20;
constexpr size_t KEY_RANDOM_BYTES = 16;

}  // namespace

// ---- the published message -------------------------------------------------

namespace {

void put64(char* out, uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    out[i] = char(v & 0xFF);
    v >>= 8;
  }
}

uint64_t get64(const uint8_t* in) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i)
    v = (v << 8) | in[i];
  return v;
}

}  // namespace

void fed_header_write(char* out, uint8_t type, uint64_t hub, uint64_t bridge, uint64_t seq) {
  out[0] = char(FED_MAGIC_0);
  out[1] = char(FED_MAGIC_1);
  out[2] = char(FED_VERSION);
  out[3] = char(type);
  put64(out + 4, hub);
  put64(out + 12, bridge);
  put64(out + 20, seq);
}

int fed_decode(const char* msg, size_t len, FED_MESSAGE& out) {
  if (msg == nullptr || len < FED_HEADER_V1_SIZE) return FED_FOREIGN;
  const uint8_t* m = reinterpret_cast<const uint8_t*>(msg);
  if (m[0] != FED_MAGIC_0 || m[1] != FED_MAGIC_1) return FED_FOREIGN;
  size_t head = 0;
  if (m[2] == FED_VERSION && len >= FED_HEADER_SIZE) {
    head = FED_HEADER_SIZE;
    out.hub = get64(m + 4);
    out.bridge = get64(m + 12);
    out.seq = get64(m + 20);
  } else if (m[2] == FED_VERSION_1) {
    head = FED_HEADER_V1_SIZE;
    out.hub = out.bridge = get64(m + 4);
    out.seq = 0;
  } else {
    return FED_FOREIGN;
  }
  if (m[3] != FED_TYPE_TEXT && m[3] != FED_TYPE_BINARY) return FED_BAD_TYPE;
  out.payload = msg + head;
  out.len = len - head;
  if (m[3] == FED_TYPE_TEXT &&
      !utf8_well_formed(reinterpret_cast<const unsigned char*>(out.payload), out.len))
    return FED_BAD_TEXT;
  out.type = m[3];
  return FED_OK;
}

G_ORIGINS::ENTRY* G_ORIGINS::find_or_add(uint64_t bridge, bool* added) {
  ++tick;
  size_t oldest = 0;
  for (size_t i = 0; i < n; ++i) {
    if (entries[i].bridge == bridge) {
      *added = false;
      return &entries[i];
    }
    if (entries[i].used < entries[oldest].used) oldest = i;
  }
  *added = true;
  if (n == ORIGINS_MAX) ++evictions;
  ENTRY* e = n < ORIGINS_MAX ? &entries[n++] : &entries[oldest];
  *e = ENTRY{bridge, 0, tick, false};
  return e;
}

int G_ORIGINS::see(uint64_t bridge, uint64_t seq, uint64_t* missed) {
  bool added = false;
  ENTRY* e = find_or_add(bridge, &added);
  e->used = tick;
  if (added) {
    e->last = seq;
    e->b_changed = true;
    return SEQ_NEW;
  }
  if (seq <= e->last) return SEQ_DUPLICATE;
  const uint64_t gap = seq - e->last - 1;
  e->last = seq;
  e->b_changed = true;
  if (gap == 0) return SEQ_NEXT;
  if (missed != nullptr) *missed = gap;
  return SEQ_GAP;
}

bool G_ORIGINS::is_duplicate(uint64_t bridge, uint64_t seq) const {
  for (size_t i = 0; i < n; ++i)
    if (entries[i].bridge == bridge) return seq <= entries[i].last;
  return false;
}

void G_ORIGINS::set(uint64_t bridge, uint64_t seq) {
  bool added = false;
  ENTRY* e = find_or_add(bridge, &added);
  e->used = tick;
  e->last = seq;
  e->b_changed = true;
}

size_t G_ORIGINS::take_changed(uint64_t* bridges, uint64_t* lasts, size_t max, bool b_all) {
  size_t k = 0;
  for (size_t i = 0; i < n && k < max; ++i) {
    if (!b_all && !entries[i].b_changed) continue;
    bridges[k] = entries[i].bridge;
    lasts[k] = entries[i].last;
    entries[i].b_changed = false;
    ++k;
  }
  return k;
}

int stream_id_parse(const char* s, size_t len, uint64_t& ms, uint64_t& seq) {
  uint64_t part[2] = {0, 0};
  size_t k = 0;
  size_t digits = 0;
  for (size_t i = 0; i < len; ++i) {
    const char c = s[i];
    if (c == '-' && k == 0 && digits != 0) {
      k = 1;
      digits = 0;
      continue;
    }
    if (c < '0' || c > '9' || digits == 20) return -1;
    const uint64_t d = uint64_t(c - '0');
    if (part[k] > (UINT64_MAX - d) / 10) return -1;
    part[k] = part[k] * 10 + d;
    ++digits;
  }
  if (k != 1 || digits == 0) return -1;
  ms = part[0];
  seq = part[1];
  return 0;
}

size_t stream_id_format(char* out, uint64_t ms, uint64_t seq) {
  return size_t(snprintf(out, 44, "%llu-%llu", (unsigned long long)ms, (unsigned long long)seq));
}

int hex64_parse(const char* s, size_t len, uint64_t& out) {
  if (len != 16) return -1;
  uint64_t v = 0;
  for (size_t i = 0; i < len; ++i) {
    const char c = s[i];
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (d < 0) return -1;
    v = (v << 4) | uint64_t(d);
  }
  out = v;
  return 0;
}

// ---- the opening handshake ---------------------------------------------------

int ws_make_key(char key[WS_KEY_SIZE]) {
  unsigned char raw[KEY_RANDOM_BYTES];
  if (getrandom(raw, sizeof raw, 0) != ssize_t(sizeof raw)) return -1;
  b64_encode(raw, long(sizeof raw), key);
  return 0;
}

int ws_accept_value(const char* key, char out[WS_ACCEPT_SIZE]) {
  G_CRYPT sha1;
  if (sha1.init(1, 0, SHA1_ALGORITHM) != 0 || !sha1.b_valid || sha1.hash_length != SHA1_SIZE) return -1;
  const size_t guid_len = sizeof G_WS_KEY_MAGIC - 1;
  if (sha1.hash_data(0, reinterpret_cast<const unsigned char*>(key), strlen(key)) != 0 ||
      sha1.hash_data(0, reinterpret_cast<const unsigned char*>(G_WS_KEY_MAGIC), guid_len) != 0 ||
      sha1.update_txt_hashes() != 0)
    return -1;
  b64_encode(sha1.txt_hashes[0], long(SHA1_SIZE), out);
  return 0;
}

int ws_build_request(char* out, size_t cap, const char* host, uint16_t port, const char* key) {
  // An IPv6 literal needs brackets in Host.
  const bool v6 = strchr(host, ':') != nullptr;
  const int n = snprintf(out, cap,
                         "GET / HTTP/1.1\r\n"
                         "Host: %s%s%s:%u\r\n"
                         "Upgrade: websocket\r\n"
                         "Connection: Upgrade\r\n"
                         "Sec-WebSocket-Key: %s\r\n"
                         "Sec-WebSocket-Version: 13\r\n"
                         "\r\n",
                         v6 ? "[" : "", host, v6 ? "]" : "", unsigned(port), key);
  if (n < 0 || size_t(n) >= cap) return -1;
  return n;
}

namespace {

// The value of header `name` in head, trimmed: start and length. False when
// no line starts with the name followed by a colon.
bool header_value(const char* head, size_t len, const char* name, const char*& value, size_t& value_len) {
  const size_t name_len = strlen(name);
  const char* end = head + len;
  const char* line = static_cast<const char*>(memchr(head, '\n', len));  // skip the status line
  while (line != nullptr && line < end) {
    ++line;
    if (size_t(end - line) > name_len && strncasecmp(line, name, name_len) == 0 && line[name_len] == ':') {
      const char* p = line + name_len + 1;
      while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
      const char* e = p;
      while (e < end && *e != '\r' && *e != '\n')
        ++e;
      while (e > p && (e[-1] == ' ' || e[-1] == '\t'))
        --e;
      value = p;
      value_len = size_t(e - p);
      return true;
    }
    line = static_cast<const char*>(memchr(line, '\n', size_t(end - line)));
  }
  return false;
}

}  // namespace

int ws_check_response(const char* head, size_t len, const char* key) {
  if (len < 12 || strncmp(head, "HTTP/1.", 7) != 0 || strncmp(head + 8, " 101", 4) != 0)
    return WS_RESPONSE_STATUS;
  const char* v = nullptr;
  size_t n = 0;
  if (!header_value(head, len, "Upgrade", v, n) || n != 9 || strncasecmp(v, "websocket", 9) != 0)
    return WS_RESPONSE_UPGRADE;
  char expected[WS_ACCEPT_SIZE];
  if (ws_accept_value(key, expected) != 0) return WS_RESPONSE_ACCEPT;
  if (!header_value(head, len, "Sec-WebSocket-Accept", v, n) || n != WS_ACCEPT_SIZE - 1 ||
      memcmp(v, expected, n) != 0)
    return WS_RESPONSE_ACCEPT;
  return WS_RESPONSE_OK;
}

int ws_hub_announcement(const char* head, size_t len, uint64_t& instance, uint64_t& message_max) {
  int found = 0;
  const char* v = nullptr;
  size_t n = 0;
  if (header_value(head, len, "X-Relayhub-Instance", v, n) && hex64_parse(v, n, instance) == 0)
    found |= WS_ANNOUNCE_INSTANCE;
  if (header_value(head, len, "X-Relayhub-Message-Max", v, n) && n > 0 && n < 16) {
    uint64_t m = 0;
    size_t i = 0;
    while (i < n && v[i] >= '0' && v[i] <= '9')
      m = m * 10 + uint64_t(v[i++] - '0');
    if (i == n) {
      message_max = m;
      found |= WS_ANNOUNCE_MAX;
    }
  }
  return found;
}

// ---- frames ------------------------------------------------------------------

size_t ws_client_header_size(uint64_t len) {
  return (len < 126 ? 2 : len <= 0xFFFF ? 4 : 10) + 4;
}

size_t ws_client_frame(char* out, uint8_t opcode, const char* payload, size_t len, const uint8_t mask[4]) {
  uint8_t* o = reinterpret_cast<uint8_t*>(out);
  size_t h = 0;
  o[h++] = uint8_t(0x80 | (opcode & 0x0F));
  if (len < 126) {
    o[h++] = uint8_t(0x80 | len);
  } else if (len <= 0xFFFF) {
    o[h++] = 0x80 | 126;
    o[h++] = uint8_t(len >> 8);
    o[h++] = uint8_t(len);
  } else {
    o[h++] = 0x80 | 127;
    for (int i = 7; i >= 0; --i)
      o[h++] = uint8_t(uint64_t(len) >> (8 * i));
  }
  memcpy(o + h, mask, 4);
  h += 4;
  // Copied and masked in one pass.
  g_mask(o + h, payload, len, mask);
  return h + len;
}

void G_WS_READER::init(char* buf, size_t cap) {
  msg_buf = buf;
  msg_cap = cap;
  reset();
}

void G_WS_READER::reset() {
  hdr_have = 0;
  b_in_payload = false;
  left = 0;
  frame_op = 0;
  b_fin = false;
  open_op = 0;
  b_skip = false;
  msg_len = 0;
  msg_opcode = 0;
  ctl_len = 0;
  close_code = 0;
}

int G_WS_READER::frame_done() {
  b_in_payload = false;
  hdr_have = 0;
  switch (frame_op) {
    case WS_OP_PING:
      return WSR_PING;
    case WS_OP_PONG:
      return WSR_MORE;
    case WS_OP_CLOSE:
      if (ctl_len == 1) return WSR_PROTOCOL;
      close_code = ctl_len >= 2 ? uint16_t((uint8_t(ctl[0]) << 8) | uint8_t(ctl[1])) : 0;
      return WSR_CLOSE;
    default:
      break;
  }
  if (!b_fin) return WSR_MORE;
  msg_opcode = open_op;
  open_op = 0;
  if (b_skip) {
    b_skip = false;
    msg_len = 0;
    return WSR_TOO_LARGE;
  }
  return WSR_MESSAGE;
}

int G_WS_READER::feed(const char* data, size_t n, size_t& used) {
  used = 0;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(data);
  while (used < n) {
    if (!b_in_payload) {
      const int r = take_header(p, n, used);
      if (r != WSR_MORE) return r;
      if (!b_in_payload) return WSR_MORE;  // the header is not whole yet
    } else {
      take_payload(p, n, used);
    }
    if (b_in_payload && left == 0) {
      const int r = frame_done();
      if (r != WSR_MORE) return r;
    }
  }
  return WSR_MORE;
}

size_t G_WS_READER::header_size() const {
  // Two bytes, then 0, 2 or 8 bytes of length. A server frame carries no
  // mask.
  if (hdr_have < 2) return 2;
  const uint8_t len7 = hdr[1] & 0x7F;
  return len7 == 126 ? 4 : len7 == 127 ? 10 : 2;
}

int G_WS_READER::take_header(const uint8_t* p, size_t n, size_t& used) {
  while (hdr_have < header_size() && used < n)
    hdr[hdr_have++] = p[used++];
  if (hdr_have < header_size()) return WSR_MORE;
  return start_frame();
}

int G_WS_READER::start_frame() {
  if ((hdr[0] & 0x70) != 0 || (hdr[1] & 0x80) != 0) return WSR_PROTOCOL;
  const uint8_t op = hdr[0] & 0x0F;
  const bool fin = (hdr[0] & 0x80) != 0;
  uint64_t len = hdr[1] & 0x7F;
  if (len == 126) {
    len = (uint64_t(hdr[2]) << 8) | hdr[3];
  } else if (len == 127) {
    len = 0;
    for (int i = 2; i < 10; ++i)
      len = (len << 8) | hdr[i];
    if (len >> 63) return WSR_PROTOCOL;
  }
  if (op >= WS_OP_CLOSE) {
    if (op > WS_OP_PONG || !fin || len > CONTROL_MAX) return WSR_PROTOCOL;
    ctl_len = 0;
  } else if (op == WS_OP_CONTINUATION) {
    if (open_op == 0) return WSR_PROTOCOL;
  } else if (op == WS_OP_TEXT || op == WS_OP_BINARY) {
    if (open_op != 0) return WSR_PROTOCOL;
    open_op = op;
    msg_len = 0;
    b_skip = false;
  } else {
    return WSR_PROTOCOL;
  }
  if (op < WS_OP_CLOSE && !b_skip && len > msg_cap - msg_len) b_skip = true;
  frame_op = op;
  b_fin = fin;
  left = len;
  b_in_payload = true;
  return WSR_MORE;
}

void G_WS_READER::take_payload(const uint8_t* p, size_t n, size_t& used) {
  size_t take = n - used;
  if (uint64_t(take) > left) take = size_t(left);
  if (frame_op >= WS_OP_CLOSE) {
    memcpy(ctl + ctl_len, p + used, take);
    ctl_len += take;
  } else if (!b_skip) {
    memcpy(msg_buf + msg_len, p + used, take);
    msg_len += take;
  }
  used += take;
  left -= take;
}
