#pragma once
// What a bridge puts on the wire: the header of its published messages, and
// the client side of RFC 6455 toward its hub (the opening handshake, masked
// frames out, unmasked server frames in). Plain functions and one decoder
// class; nothing here touches a socket.

#include <cstddef>
#include <cstdint>

// ---- the published message -------------------------------------------------
//
//   offset size
//    0     2    magic 0x72 0x68 ("rh")
//    2     1    format version, 2
//    3     1    type: 1 = text, 2 = binary (the WebSocket opcode)
//    4     8    origin: instance id of the publishing bridge's hub
//   12     8    instance id of the publishing bridge, random at its start
//   20     8    sequence number of the message from that bridge, from 1
//   28     ..   payload, exactly as the hub relayed it
// Ids and numbers are big-endian. Version 1 (magic, 1, type, the bridge's
// id, payload: 12 bytes of header) is still read, without a sequence.
constexpr size_t FED_HEADER_SIZE = 28;
constexpr size_t FED_HEADER_V1_SIZE = 12;
constexpr uint8_t FED_MAGIC_0 = 0x72;
constexpr uint8_t FED_MAGIC_1 = 0x68;
constexpr uint8_t FED_VERSION = 2;
constexpr uint8_t FED_VERSION_1 = 1;

enum FED_TYPE_E : uint8_t { FED_TYPE_TEXT = 1, FED_TYPE_BINARY = 2 };

// Results of fed_decode.
enum FED_DECODE_E : int {
  FED_OK = 0,         // a bridge message: every field of FED_MESSAGE set
  FED_FOREIGN = -1,   // not a bridge message (too short, magic, version)
  FED_BAD_TYPE = -2,  // a type other than text or binary
  FED_BAD_TEXT = -3,  // text that is not well-formed UTF-8: the hub would
                      // close the bridge for it
};

struct FED_MESSAGE {
  uint8_t type = 0;
  uint64_t hub = 0;     // origin hub (version 1: the bridge's id)
  uint64_t bridge = 0;  // publishing bridge
  uint64_t seq = 0;     // 0: none (version 1)
  const char* payload = nullptr;
  size_t len = 0;
};

void fed_header_write(char* out, uint8_t type, uint64_t hub, uint64_t bridge, uint64_t seq);
int fed_decode(const char* msg, size_t len, FED_MESSAGE& m);

// What a receiving bridge makes of a message's sequence number. One per
// reader thread; remembers the last number of up to ORIGINS_MAX publishing
// bridges, forgetting the one heard from least recently.
// Threading: used by one thread only.
class G_ORIGINS {
 public:
  enum : int {
    SEQ_NEW = 0,        // the first message heard from that bridge
    SEQ_NEXT = 1,       // the one after the last
    SEQ_GAP = 2,        // later than the next: *missed messages never came
    SEQ_DUPLICATE = 3,  // not later than the last: already delivered
  };
  static constexpr size_t ORIGINS_MAX = 256;
  // Judges seq (> 0) from bridge and remembers it unless a duplicate.
  int see(uint64_t bridge, uint64_t seq, uint64_t* missed);
  // Whether seq from bridge is one already delivered, judged and
  // remembered by nothing.
  bool is_duplicate(uint64_t bridge, uint64_t seq) const;
  // Remembers seq as bridge's last, judging nothing, and marks it changed.
  void set(uint64_t bridge, uint64_t seq);
  // Copies up to max changed (bridge, last) pairs out and unmarks them;
  // returns how many. With b_all, every pair, changed or not.
  size_t take_changed(uint64_t* bridges, uint64_t* lasts, size_t max, bool b_all);
  void clear() {
    n = 0;
    evictions = 0;
  }
  size_t size() const { return n; }
  // Grows each time a bridge is forgotten to make room.
  uint64_t evictions = 0;

 private:
  struct ENTRY {
    uint64_t bridge;
    uint64_t last;
    uint64_t used;
    bool b_changed;
  };
  ENTRY* find_or_add(uint64_t bridge, bool* added);
  ENTRY entries[ORIGINS_MAX] = {};
  size_t n = 0;
  uint64_t tick = 0;
};

// Stream entry ids "MS-SEQ". 0 with ms and seq set, -1 when malformed.
int stream_id_parse(const char* s, size_t len, uint64_t& ms, uint64_t& seq);
// Writes "MS-SEQ" into out (at least 44 bytes); returns its length.
size_t stream_id_format(char* out, uint64_t ms, uint64_t seq);
// 16 lower-case hex digits into a value. 0, or -1 when not exactly that.
int hex64_parse(const char* s, size_t len, uint64_t& out);

// ---- the opening handshake ---------------------------------------------------

// Results of ws_check_response.
enum WS_RESPONSE_E : int {
  WS_RESPONSE_OK = 0,
  WS_RESPONSE_STATUS = -1,   // not "HTTP/1.x 101"
  WS_RESPONSE_UPGRADE = -2,  // no "Upgrade: websocket"
  WS_RESPONSE_ACCEPT = -3,   // Sec-WebSocket-Accept missing or wrong
};

constexpr size_t WS_KEY_SIZE = 25;     // 24 characters and a zero byte
constexpr size_t WS_ACCEPT_SIZE = 29;  // 28 characters and a zero byte

// A fresh Sec-WebSocket-Key: base64 of 16 random bytes. 0, or -1 when no
// randomness could be had.
int ws_make_key(char key[WS_KEY_SIZE]);
// base64(SHA-1(key + GUID)). 0, or -1 when the digest failed.
int ws_accept_value(const char* key, char out[WS_ACCEPT_SIZE]);
// The upgrade request for host:port with key. Its length, or -1 when it
// does not fit in cap bytes.
int ws_build_request(char* out, size_t cap, const char* host, uint16_t port, const char* key);
// Judges a response head (len bytes, up to and including the empty line).
int ws_check_response(const char* head, size_t len, const char* key);

// What a hub announces in its 101 answer (an older hub: nothing). A bit
// set for each line present and well-formed: WS_ANNOUNCE_INSTANCE with
// instance set (X-Relayhub-Instance), WS_ANNOUNCE_MAX with message_max set
// (X-Relayhub-Message-Max); 0 for neither.
enum WS_ANNOUNCE_E : int { WS_ANNOUNCE_INSTANCE = 1, WS_ANNOUNCE_MAX = 2 };
int ws_hub_announcement(const char* head, size_t len, uint64_t& instance, uint64_t& message_max);

// ---- frames ------------------------------------------------------------------

enum WS_OP_E : uint8_t {
  WS_OP_CONTINUATION = 0,
  WS_OP_TEXT = 1,
  WS_OP_BINARY = 2,
  WS_OP_CLOSE = 8,
  WS_OP_PING = 9,
  WS_OP_PONG = 10,
};

constexpr size_t WS_CLIENT_HEADER_MAX = 14;  // 10 bytes of header, 4 of mask
constexpr uint16_t WS_CLOSE_GOING_AWAY = 1001;

// Size of the header (mask included) of a client frame with len bytes.
size_t ws_client_header_size(uint64_t len);
// Writes one whole masked client frame (FIN set) into out, which must hold
// ws_client_header_size(len) + len bytes. Returns the frame's size.
size_t ws_client_frame(char* out, uint8_t opcode, const char* payload, size_t len, const uint8_t mask[4]);

// Decodes the hub's frames from a byte stream and joins fragmented
// messages into the message buffer given to init.
// Threading: one instance per connection, used by its thread only.
class G_WS_READER {
 public:
  enum : int {
    WSR_MORE = 0,       // everything given was used: feed more
    WSR_MESSAGE = 1,    // a whole message: msg_buf[0..msg_len), msg_opcode
    WSR_PING = 2,       // a ping: answer with a pong carrying ctl[0..ctl_len)
    WSR_CLOSE = 3,      // a close frame: close_code (0 = none given)
    WSR_TOO_LARGE = 4,  // a message larger than the buffer was skipped
    WSR_PROTOCOL = -1,  // not a valid server frame: drop the connection
  };
  static constexpr size_t CONTROL_MAX = 125;

  // Messages are assembled into buf (cap bytes); a longer one is skipped.
  void init(char* buf, size_t cap);
  // Forgets any partial frame or message (a new connection).
  void reset();
  // Decodes from data (n bytes) until a result other than WSR_MORE, or the
  // end. used says how many bytes were taken; feed the rest again.
  int feed(const char* data, size_t n, size_t& used);

  char* msg_buf = nullptr;
  size_t msg_cap = 0;
  size_t msg_len = 0;
  uint8_t msg_opcode = 0;
  char ctl[CONTROL_MAX] = {};
  size_t ctl_len = 0;
  uint16_t close_code = 0;

 private:
  // Bytes the header takes, as far as what was read of it tells.
  size_t header_size() const;
  // Header bytes from p[used..n): WSR_MORE (b_in_payload set once the
  // header is whole), or WSR_PROTOCOL.
  int take_header(const uint8_t* p, size_t n, size_t& used);
  // The frame whose header is whole: WSR_MORE (b_in_payload set), or
  // WSR_PROTOCOL.
  int start_frame();
  // Payload bytes from p[used..n) into the message or the control buffer.
  void take_payload(const uint8_t* p, size_t n, size_t& used);
  // The frame's payload is whole: what it completes (WSR_MORE: nothing).
  int frame_done();

  uint8_t hdr[10] = {};
  size_t hdr_have = 0;
  bool b_in_payload = false;
  uint64_t left = 0;  // payload bytes of the current frame still to come
  uint8_t frame_op = 0;
  bool b_fin = false;
  uint8_t open_op = 0;  // opcode of the message being joined, 0 = none
  bool b_skip = false;  // the message being joined is too large
};
