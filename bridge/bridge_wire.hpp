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
//    2     1    format version, 1
//    3     1    type: 1 = text, 2 = binary (the WebSocket opcode)
//    4     8    instance id of the publishing bridge, random at its start
//   12     ..   payload, exactly as the hub relayed it
constexpr size_t FED_HEADER_SIZE = 12;
constexpr size_t FED_ID_SIZE = 8;
constexpr uint8_t FED_MAGIC_0 = 0x72;
constexpr uint8_t FED_MAGIC_1 = 0x68;
constexpr uint8_t FED_VERSION = 1;

enum FED_TYPE_E : uint8_t { FED_TYPE_TEXT = 1, FED_TYPE_BINARY = 2 };

// Results of fed_decode.
enum FED_DECODE_E : int {
  FED_OK = 0,           // another bridge's message: payload, length, type
  FED_OWN = 1,          // published by this bridge: never re-injected
  FED_FOREIGN = -1,     // not a bridge message (too short, magic, version)
  FED_BAD_TYPE = -2,    // a type other than text or binary
  FED_BAD_TEXT = -3,    // text that is not well-formed UTF-8: the hub would
                        // close the bridge for it
};

void fed_header_write(char* out, uint8_t type, const uint8_t id[FED_ID_SIZE]);
int fed_decode(const char* msg, size_t len, const uint8_t own_id[FED_ID_SIZE], uint8_t& type,
               const char*& payload, size_t& payload_len);

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
  int frame_done();

  uint8_t hdr[10] = {};
  size_t hdr_have = 0;
  bool b_in_payload = false;
  uint64_t left = 0;         // payload bytes of the current frame still to come
  uint8_t frame_op = 0;
  bool b_fin = false;
  uint8_t open_op = 0;       // opcode of the message being joined, 0 = none
  bool b_skip = false;       // the message being joined is too large
};
