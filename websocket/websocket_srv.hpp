// Per-connection WebSocket state: the server side of the opening handshake
// (RFC 6455 and the older Key1/Key2 form) and the two framings
// (RFC 6455 frames, and the older 0x00 <payload> 0xFF frames).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "support/g_crypt.hpp"
#include "support/g_event_sem.hpp"
#include "transport/g_tls.hpp"

class WEBSOCKET_SRV {
 public:
  static constexpr size_t HEADER_SERVER_SIZE = 2048;
  // Origin, Host and key-digit fields of the Key1/Key2 form: 127 bytes and a
  // zero byte. Longer values are cut to the field.
  static constexpr size_t FIELD_SIZE = 128;

  // RFC 6455 GUID appended to the client's key.
  static constexpr char c_key_magic[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  static constexpr char c_header_server_template[] =
      "HTTP/1.1 101 Switching Protocols\r\n"
      "Upgrade: WebSocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Accept: %s\r\n"
      "\r\n";
  // Key1/Key2 form: Origin value, Host value.
  static constexpr char c_header_server_template_old[] =
      "HTTP/1.1 101 WebSocket Protocol Handshake\r\n"
      "Upgrade: WebSocket\r\n"
      "Connection: Upgrade\r\n"
      "Sec-WebSocket-Origin: %s\r\n"
      "Sec-WebSocket-Location: ws://%s/\r\n"
      "Sec-WebSocket-Protocol: dumb-increment-protocol\r\n"
      "\r\n";
  static constexpr char protocol[] = "Sec-WebSocket-Protocol:";

  G_CRYPT crypt;
  // First byte of the next frame, overwritten by the zero byte that
  // terminates the previous payload (RFC 6455 framing only).
  char saved_byte = 0;
  // Lock of send_msg: auto-reset, created signalled.
  g_event_sem sem_send;
  bool b_verbose_handshake = false;
  bool b_verbose_send = false;
  // Read by the other connections' threads while they forward to this one.
  std::atomic<bool> b_websocket{false};
  bool b_frame_incomplete = false;
  bool b_more_frames = false;
  bool b_continuation = false;
  uint32_t frame_type_fixed = 0;
  uint32_t frame_type = 1;
  int32_t utf8_pending = 3;
  int32_t utf8_start = 1;
  // 13 = RFC 6455 framing, 1..12 = old framing (the Key1/Key2 handshake sets
  // 8), 0 = no framing (no handshake yet, or a close was received). A close
  // on the receive thread clears it while other threads frame for this
  // connection, hence atomic.
  std::atomic<uint32_t> version{0};
  size_t send_buf_size = 0;
  char* send_buf = nullptr;  // not owned
  g_tls_t tls;

  // Response of the last handshake.
  char c_header_server[HEADER_SERVER_SIZE] = {};
  size_t c_header_server_size = 0;

  WEBSOCKET_SRV();
  ~WEBSOCKET_SRV();
  WEBSOCKET_SRV(const WEBSOCKET_SRV&) = delete;
  WEBSOCKET_SRV& operator=(const WEBSOCKET_SRV&) = delete;

  // ---- handshake (websocket_handshake.cpp) ----

  // Offers the opening handshake once on a freshly attached connection.
  // pRAM/size: the receive buffer (size >= 256); one read of at most size - 1
  // bytes, zero-terminated. On a plain connection the first four bytes are
  // peeked first and must be "GET ", otherwise nothing is consumed.
  // 0 = the connection now speaks WebSocket, -1 = it does not.
  // 0 = WebSocket connection, -1 = a byte stream, HANDSHAKE_HTTP = a plain
  // HTTP request that has been answered; the caller closes the connection.
  static constexpr int HANDSHAKE_HTTP = -2;
  int client_handshake(char* pRAM, size_t size);

  // Builds the response to the zero-terminated request str (str_len bytes,
  // str[str_len] == 0) in buf. Returns its length (> 0), or <= 0 when the
  // request is not a supported handshake. Falls back to the Key1/Key2 form
  // when there is no "Sec-WebSocket-Key:".
  long calc_web_socket_header(char* str, size_t str_len, char* buf, size_t size);
  long calc_web_socket_header_old(char* str, size_t str_len, char* buf, size_t size);

  // base64(SHA-1(key + GUID)) into out (28 characters and a zero byte).
  // Returns 28, or 0 when the digest could not be computed.
  long calc_web_socket_key(const unsigned char* key, size_t len, char* out);
  // MD5 of data into out (16 bytes and a zero byte). 0, or -1 on failure.
  int calc_web_socket_md5(const unsigned char* data, size_t len, unsigned char* out);

  // RFC 4648 base64 with padding; out is zero-terminated. Returns the
  // character count (4 per started group of 3 bytes), 0 for n <= 0.
  static long b64_encode(unsigned char* data, long n, char* out);
  // Base64 alphabet character of a 6-bit value; 63 and above give '/'.
  static char b64_table(unsigned char v);

  // Start of the value of header `name` (colon included) in the first len
  // bytes of str: the first byte in 0x21..0x7F after the name's colon,
  // skipping blanks, control bytes, line breaks and bytes >= 0x80; str + len
  // when there is none. The name is searched case-sensitively anywhere before
  // the first zero byte. Null when the name does not occur.
  static char* header_get_key(char* str, size_t len, const char* name);

  // ---- framing (websocket_framing.cpp) ----

  // Decodes the frame at data (len bytes available; data[len] must be
  // writable). The payload is unmasked in place, cursor is set to it and a
  // zero byte is stored right after it.
  //
  // RFC 6455 framing (version >= 13):
  //   > 0 / 0  payload length; the frame occupies (cursor - data) + result
  //            bytes. 0 = empty data frame, or an opcode above 2 (ping, pong,
  //            reserved; cursor not set, nothing consumed).
  //   len      with b_frame_incomplete set: the data ends inside the frame;
  //            nothing was changed. Call again from the same byte with more.
  //   -8       version 0, len 0, or a close frame (answered with
  //            0x88 0x02 0x03 0xE8; version becomes 0).
  //   -1       an RSV bit is set.  -2  continuation without a started message.
  //
  // Old framing (version 1..12):
  //   result   = payload length + 1: the payload lies at cursor == data + 1
  //            and is result - 1 bytes long; the byte at cursor + result - 1
  //            (the frame's 0xFF) is now the terminating zero. The frame
  //            occupies result + 1 bytes from data, so a complete frame
  //            always has result + 1 <= len. Hand on result - 1 bytes.
  //   len      with b_frame_incomplete set: no 0xFF yet (or only the 0x00).
  //   -8       version 0, len 0, or the empty frame 0x00 0xFF (version
  //            becomes 0).   -1  the first byte is not 0x00.
  //
  // Both framings: b_more_frames set = more bytes follow the frame; the next
  // frame starts at cursor + result and decrypt is called there with the
  // remaining bytes (RFC 6455: decrypt restores that frame's first byte).
  int64_t decrypt(char* data, size_t len, char*& cursor);

  // Frames payload (len bytes) inside buf for this connection. A payload
  // already at offset 10..16 of buf stays in place; any other is moved to
  // offset 10 (old framing: 1). Returns the frame start inside buf and sets
  // len to the frame length, or null (len unchanged) when there is nothing
  // to frame, version is 0 or the frame does not fit.
  char* encode_msg(char* buf, size_t buf_size, char* payload, size_t& len);

  // Outgoing frame type (1 text, 2 binary, or frame_type_fixed), by the
  // per-connection UTF-8 scanner that carries its state across messages.
  uint32_t get_frame_type(const char* data, size_t len);

  // True when data is well-formed UTF-8 on its own (no sequence cut at
  // either end, no overlong forms, surrogates or code points above U+10FFFF).
  static bool utf8_well_formed(const unsigned char* data, size_t len);

  // Frames str in send_buf and sends it under sem_send. str_len 0 = measure
  // the zero-terminated string. Returns the send result, or -1.
  int64_t send_msg(char* str, size_t str_len);

 private:
  int64_t decrypt_old(char* data, size_t len, char*& cursor);
};
