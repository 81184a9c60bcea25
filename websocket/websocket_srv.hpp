// Per-connection WebSocket state: the server side of the opening handshake
// (RFC 6455 and the older Key1/Key2 form) and the two framings
// (RFC 6455 frames, and the older 0x00 <payload> 0xFF frames).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "support/g_crypt.hpp"
#include "support/g_event_sem.hpp"
#include "support/g_text.hpp"
#include "transport/g_tls.hpp"
#include "web/http_request.hpp"
#include "websocket/ws_parser.hpp"

// Results of decrypt (one frame).
enum WS_DECODE_E : int {
  WS_DECODE_PROTOCOL = -1,  // not a valid client frame (RSV bits, reserved
                            // opcode, no mask, bad control frame; old
                            // framing: neither 0x00 ... 0xFF nor 0xFF 0x00)
  WS_DECODE_CLOSED = -8,    // no framing on this connection (version 0), or
                            // a close frame, answered: version 0 from then on
};

// Results of client_handshake.
enum WS_HANDSHAKE_E : int {
  WS_HANDSHAKE_OK = 0,         // the connection now speaks WebSocket
  WS_HANDSHAKE_NONE = -1,      // not a WebSocket client: it stays a byte stream
  WS_HANDSHAKE_ANSWERED = -3,  // answered over HTTP (refusal or page): close it
};

// Threading: everything that decodes (decrypt and its results, the frame
// walk rx, close_with with c_reply and close_code) belongs to the
// connection's own receive thread, as does the handshake. encode_msg runs on
// the other connections' receive threads, serialised by this connection's
// send lock (its slot's e_send_done); it reads version, frame_type_fixed and
// nothing it writes is shared. b_websocket and version are atomics read by
// those threads. send_msg callers are serialised by sem_send.
class WEBSOCKET_SRV {
 public:
  static constexpr size_t HEADER_SERVER_SIZE = 2048;
  static constexpr size_t MESSAGE_SLACK = WS_PARSER::MESSAGE_SLACK;
  static constexpr size_t CONTROL_MAX = WS_PARSER::CONTROL_MAX;
  // Origin, Host and key-digit fields of the Key1/Key2 form: 127 bytes and a
  // zero byte. Longer values are cut to the field.
  static constexpr size_t FIELD_SIZE = 128;
  // RFC 6455 GUID appended to the client's key.
  static constexpr const char (&c_key_magic)[sizeof G_WS_KEY_MAGIC] = G_WS_KEY_MAGIC;
  static constexpr char c_header_server_template[] =
      "HTTP/1.1 101 Switching Protocols\r\n"
      "Upgrade: WebSocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Accept: %s\r\n"
      "\r\n";
  // Key1/Key2 form: the Origin value; the location's scheme ("ws" or
  // "wss"), Host value and request target. A protocol line is added only
  // when the client asked for one: a client of this form compares location
  // and protocol with what it opened and asked for, and fails on any
  // difference.
  static constexpr char c_header_server_template_old[] =
      "HTTP/1.1 101 WebSocket Protocol Handshake\r\n"
      "Upgrade: WebSocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Origin: %s\r\n"
      "Sec-WebSocket-Location: %s://%s%.*s\r\n"
      "\r\n";
  static constexpr char protocol[] = "Sec-WebSocket-Protocol:";
  static constexpr char c_bad_request[] =
      "HTTP/1.1 400 Bad Request\r\n"
      "Connection: close\r\n"
      "Content-Length: 0\r\n"
      "\r\n";
  static constexpr char c_upgrade_required[] =
      "HTTP/1.1 426 Upgrade Required\r\n"
      "Sec-WebSocket-Version: 13\r\n"
      "Connection: close\r\n"
      "Content-Length: 0\r\n"
      "\r\n";

  // Identity of this hub process, announced in every RFC 6455 answer as
  // "X-Relayhub-Instance" (16 hex digits), with the largest message the
  // connection takes as "X-Relayhub-Message-Max": a client that links hubs
  // (relayhub-bridge) can then tell a second link to the same hub from a
  // link to another hub, and size its messages. Random, set once at
  // start-up before any connection; 0 = not announced.
  static uint64_t hub_instance;

  G_CRYPT crypt;
  // Lock of send_msg: auto-reset, created signalled.
  g_event_sem sem_send;
  bool b_verbose_handshake = false;
  bool b_verbose_send = false;
  // Read by the other connections' threads while they forward to this one.
  std::atomic<bool> b_websocket{false};
  // Results of the last decrypt: the data ends inside the frame; more bytes
  // follow the frame; the frame itself.
  bool b_frame_incomplete = false;
  bool b_more_frames = false;
  ws_frame_t frame;
  // Opcode forced onto every outgoing frame; 0 = by the message.
  uint32_t frame_type_fixed = 0;
  // 13 = RFC 6455 framing, 1..12 = old framing (the Key1/Key2 handshake sets
  // 8), 0 = no framing (no handshake yet, or the connection is closing).
  // Read by the threads that frame for this connection, hence atomic.
  std::atomic<uint32_t> version{0};
  size_t send_buf_size = 0;
  char* send_buf = nullptr;  // not owned
  g_tls_t tls;

  // Response of the last handshake.
  char c_header_server[HEADER_SERVER_SIZE] = {};
  size_t c_header_server_size = 0;

  // The frame walk over the connection's reads (receive thread only).
  WS_PARSER rx;

  // The close frame of the last close_with, and its status code (0 = none).
  char c_reply[2 + CONTROL_MAX] = {};
  size_t c_reply_size = 0;
  uint16_t close_code = 0;

  WEBSOCKET_SRV();
  ~WEBSOCKET_SRV();
  WEBSOCKET_SRV(const WEBSOCKET_SRV&) = delete;
  WEBSOCKET_SRV& operator=(const WEBSOCKET_SRV&) = delete;

  // ---- handshake (websocket_handshake.cpp) ----

  // Offers the opening handshake once on a freshly attached connection.
  // pRAM/size: where the request is read (size >= 256; at most size - 1
  // bytes are read). The first bytes are peeked through the transport (plain
  // or TLS): unless they can start an HTTP/1.x request line, nothing is
  // consumed and the result is WS_HANDSHAKE_NONE at once. Otherwise the
  // request head is read to its empty line across reads, bounded by the
  // buffer and the transport's set-up budget, and:
  //   WS_HANDSHAKE_OK        an RFC 6455 or Key1/Key2 upgrade was answered
  //                          with 101: the connection speaks WebSocket;
  //   WS_HANDSHAKE_ANSWERED  an HTTP answer was sent (the page, 404, 405,
  //                          400, 426, 431): the caller closes the connection;
  //   WS_HANDSHAKE_NONE      not a request (or only the start of one when
  //                          the client went quiet): a plain stream.
  // In every case the bytes read that belong to the stream (a plain stream's
  // first bytes, frames sent right behind an upgrade) are left at
  // pRAM + handshake_rest_off, handshake_rest_len bytes; http_status is the
  // status sent (101, an HTTP status) or 0.
  int client_handshake(char* pRAM, size_t size);
  size_t handshake_rest_off = 0;
  size_t handshake_rest_len = 0;
  int http_status = 0;
  // The answer refused a WebSocket upgrade (400 or 426).
  bool http_refused_upgrade = false;
  // With WS_HANDSHAKE_NONE: the client had sent nothing at all by the time
  // the look timed out (a browser's spare connection, a listener): its
  // first bytes, whenever they come, may still be a request.
  bool handshake_silent = false;
  // Pages of the program's own besides the chat page (/metrics, /healthz):
  // offered every parsed request that is no upgrade; returns the status it
  // sent, or 0 when the request is not for one of them. Set once before any
  // connection; null = none.
  static int (*dynamic_page)(WEBSOCKET_SRV& ws, const http_request_t& req);
  // The largest message this connection takes, announced in the RFC 6455
  // answer; set by the slot before the handshake.
  size_t message_limit = 0;

  // Builds the response to the zero-terminated request str (str_len bytes,
  // str[str_len] == 0) in buf. Returns its length (> 0), or <= 0 when the
  // request is not a supported handshake. Falls back to the Key1/Key2 form
  // when there is no "Sec-WebSocket-Key:". secure: the connection is TLS
  // (the Key1/Key2 answer's location is then wss://).
  long calc_web_socket_header(char* str, size_t str_len, char* buf, size_t size, bool secure);
  // The Key1/Key2 answer: the template, the 16 digest bytes of the challenge
  // (k1, k2 and the last 8 bytes of str) behind it, and a zero byte. Returns
  // its length without the zero byte, or 0 when the request is incomplete
  // (a header missing, a key without a blank), its target is not an
  // origin-form path, or the answer does not fit size bytes.
  long calc_web_socket_header_old(char* str, size_t str_len, char* buf, size_t size, bool secure);

  // base64(SHA-1(key + GUID)) into out (28 characters and a zero byte).
  // Returns 28, or 0 when the digest could not be computed.
  long calc_web_socket_key(const unsigned char* key, size_t len, char* out);
  // MD5 of data into out (16 bytes and a zero byte). 0, or -1 on failure.
  int calc_web_socket_md5(const unsigned char* data, size_t len, unsigned char* out);

  // Base64 of the handshake answers: ::b64_encode and ::b64_table
  // (support/g_text.hpp) under the names the handshake code knows.
  static long b64_encode(unsigned char* data, long n, char* out) { return ::b64_encode(data, n, out); }
  static char b64_table(unsigned char v) { return ::b64_table(v); }

  // Start of the value of header `name` (colon included) in the first len
  // bytes of str. Header names are case-insensitive and stand at the start
  // of a line; the value starts after the colon and any blanks or tabs, and
  // ends at the first control byte (the line's CR LF). A value start at the
  // end of its line means an empty value. Null when no line carries the name.
  static char* header_get_key(char* str, size_t len, const char* name);
  // Length of the value at p: up to the first byte below 0x21 or above 0x7E,
  // or end.
  static size_t header_token_length(const char* p, const char* end);

  // ---- framing (websocket_framing.cpp) ----

  // Decodes the one frame at data (len bytes available) with
  // WS_PARSER::decode in this connection's framing. The payload is
  // unmasked in place, cursor is set to it, and frame describes the frame.
  // Sets b_frame_incomplete and b_more_frames. Results:
  //   >= 0     a data, ping or pong frame: its payload length (the frame
  //            occupies frame.size bytes; old framing: 0x00 0xFF is an
  //            empty message).
  //   len      with b_frame_incomplete set: the data ends inside the frame;
  //            nothing was changed. Call again from the same byte with more.
  //   WS_DECODE_PROTOCOL  not a valid client frame (nothing is sent).
  //   WS_DECODE_CLOSED    version is 0; or a close frame (old framing: 0xFF
  //            0x00), which is answered at once through tls with the close
  //            the frame walk gives (close_with), so version is 0 after it.
  // The relay's receive loop walks its reads with rx instead.
  int64_t decrypt(char* data, size_t len, char*& cursor);

  // Frames payload (len bytes; 0 is an empty message) inside buf for this
  // connection. opcode is the sender's (text or binary) or WS_OPCODE_AUTO,
  // which makes well-formed UTF-8 text and anything else binary. A payload
  // already at offset 10..16 of buf stays in place; any other is moved to
  // offset 10 (old framing: 1), or right behind its own header when offset
  // 10 leaves too little room. Returns the frame start inside buf and sets
  // len to the frame length, or null (len unchanged) when there is nothing
  // to frame, version is 0 or the frame does not fit. The old framing
  // cannot carry a 0xFF byte: such a message gives null (an empty message
  // is 0x00 0xFF there).
  char* encode_msg(char* buf, size_t buf_size, char* payload, size_t& len, uint32_t opcode = WS_OPCODE_AUTO);

  // Results of frame_append.
  enum : int {
    APPEND_SKIPPED = WS_APPEND_SKIPPED,
    APPEND_FULL = WS_APPEND_FULL,
    APPEND_DONE = WS_APPEND_DONE
  };
  // Appends the frame of one message at buf + pos, behind frames already
  // there, and advances pos: APPEND_DONE; APPEND_FULL when it does not fit
  // in what is left of buf (nothing written); APPEND_SKIPPED when this
  // connection cannot carry it at all (version 0, or what the old framing
  // cannot carry). opcode as for encode_msg, resolved already.
  int frame_append(char* buf, size_t buf_size, size_t& pos, const char* payload, size_t len, uint32_t opcode);

  // RFC 6455 server frame header (FIN, the opcode, no mask) of a payload of
  // len bytes: its size (2, 4 or 10), and the header itself written at `at`.
  static size_t frame_header_size(size_t len) { return ws_frame_header_size(len); }
  static size_t frame_header(char* at, size_t len, uint32_t opcode) {
    return ws_frame_header(at, len, opcode);
  }

  // Outgoing frame type of a message whose sender gave no opcode:
  // frame_type_fixed when set, else 1 (text) for well-formed UTF-8 and 2
  // (binary) for anything else. Decided per message.
  uint32_t get_frame_type(const char* data, size_t len) const;
  // The opcode a frame of this message goes out with on this connection:
  // frame_type_fixed when set (text only for well-formed UTF-8), else the
  // sender's text or binary, else get_frame_type.
  uint32_t send_type(const char* payload, size_t len, uint32_t opcode) const;

  // Frames str in send_buf and sends it under sem_send. str_len 0 = measure
  // the zero-terminated string. Returns the send result, or -1.
  int64_t send_msg(char* str, size_t str_len);

  // Puts a close frame with code into c_reply (close_code = code) and ends
  // the framing on this connection (version 0): nothing more is decoded or
  // framed for it. The old framing's close is 0xFF 0x00, without a code;
  // c_reply stays empty when the framing had ended already, so that of two
  // closes (the peer's and a stop's) only one frame goes out. Returns
  // WS_WALK_CLOSE.
  int close_with(uint16_t code);

 private:
  // The last read of the request timed out while the set-up budget still
  // runs: the client is only quiet for now.
  bool quiet_for_now();
  // The handshake's answers: an HTTP answer (status, or the page for a
  // parsed request when status is 200); a refused upgrade. Both return
  // WS_HANDSHAKE_ANSWERED.
  int answer_http(int status, const http_request_t* req);
  int refuse_upgrade(const char* refusal, size_t len, int status);
  // Reads the request head into pRAM (have bytes so far) across reads within
  // the set-up time; kind is the request line's last judgement. Returns what
  // http_parse_request gave last: the head's length, HTTP_PARSE_PARTIAL
  // (ended, quiet, or the buffer full) or HTTP_PARSE_ERROR (req says why).
  long read_head(char* pRAM, size_t size, http_request_t& req, size_t& have, int& kind);
  // The answers to an upgrade in c_header_server: > 0 its length, or
  // WS_HANDSHAKE_ANSWERED when the upgrade was refused in HTTP. The old form
  // reads its 8 key bytes first (have grows) and sets used to the head and
  // those bytes.
  long upgrade_rfc(char* pRAM, size_t head_len, const http_request_t& req);
  long upgrade_old(char* pRAM, size_t size, size_t head_len, size_t& have, size_t& used);
};
