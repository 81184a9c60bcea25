// The receive side of a WebSocket connection as pure computation: the frames
// a connection's reads hold are decoded in the caller's buffer, fragmented
// messages are joined in place, pings answered and closes judged. No I/O,
// no locks, no allocation: the relay, the tests and the fuzzer drive the
// same object, each with bytes of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Opcodes of RFC 6455 frames as the relay passes them on.
enum WS_OPCODE_E : uint32_t {
  WS_OPCODE_AUTO = 0,  // decided per message by its bytes (plain senders)
  WS_OPCODE_TEXT = 1,
  WS_OPCODE_BINARY = 2,
  WS_OPCODE_CLOSE = 8,
  WS_OPCODE_PING = 9,
  WS_OPCODE_PONG = 10,
};

// Close status codes the hub sends.
enum WS_CLOSE_E : uint16_t {
  WS_CLOSE_NORMAL = 1000,
  WS_CLOSE_AWAY = 1001,  // going away: the hub stops
  WS_CLOSE_PROTOCOL = 1002,
  WS_CLOSE_INVALID_DATA = 1007,
  WS_CLOSE_TOO_BIG = 1009,
};

// Steps of the frame walk. WS_PARSER::consume and feed return the three
// that tell the receive loop what to do next: WS_WALK_MORE, WS_WALK_CLOSE
// and WS_WALK_END; the other two are handed to the handler on the way.
enum WS_WALK_E : int {
  WS_WALK_MORE = 0,     // everything held is parsed: read more into room()
  WS_WALK_MESSAGE = 1,  // a whole message (h.message)
  WS_WALK_REPLY = 2,    // a control frame to send (h.reply), then go on
  WS_WALK_CLOSE = 3,    // the connection closes with close_code (h.close)
  WS_WALK_END = 4,      // the walk had ended already: end without a reply
};

// One frame as WS_PARSER::decode found it.
struct ws_frame_t {
  // RFC 6455: the opcode and FIN bit, known once the first byte is in.
  // Old framing: WS_OPCODE_AUTO for 0x00 ... 0xFF (the bytes decide the
  // type), WS_OPCODE_CLOSE for the closing handshake 0xFF 0x00; fin is set.
  uint32_t opcode = 0;
  bool fin = false;
  // Where the payload starts, counted from the frame's first byte.
  size_t offset = 0;
  // Payload length, and the bytes of the whole frame (header, masking key
  // and payload); both 0 while the header is incomplete.
  uint64_t payload = 0;
  uint64_t size = 0;
};

// Result of WS_PARSER::decode for a frame that is not all there yet.
inline constexpr int64_t WS_FRAME_PARTIAL = 0;

// Server frames, the other direction of the same wire format (pure
// functions, any thread).
//
// RFC 6455 server frame header (FIN, the opcode, no mask) of a payload of
// len bytes: its size (2, 4 or 10), and the header itself written at `at`.
inline size_t ws_frame_header_size(size_t len) {
  return len <= 125 ? 2 : len <= 65535 ? 4 : 10;
}
size_t ws_frame_header(char* at, size_t len, uint32_t opcode);

// Results of ws_frame_append.
enum WS_APPEND_E : int { WS_APPEND_SKIPPED = -1, WS_APPEND_FULL = 0, WS_APPEND_DONE = 1 };
// Appends the frame of one message (len bytes, opcode resolved to text or
// binary) at buf + pos, behind frames already there, and advances pos:
// WS_APPEND_DONE; WS_APPEND_FULL when it does not fit in what is left of
// buf (nothing written); WS_APPEND_SKIPPED when the framing cannot carry it
// (old: the old framing, which has no way to carry a 0xFF byte).
int ws_frame_append(char* buf, size_t buf_size, size_t& pos, const char* payload, size_t len, uint32_t opcode,
                    bool old);

// Threading: one object belongs to one connection's receive thread; the
// static functions are pure and run on any thread.
class WS_PARSER {
 public:
  // Room kept in the receive buffer beyond the largest message: the header
  // and mask of the frame that carries it, and the header that frames it
  // for a receiver, whose half is as large as the receive buffer.
  static constexpr size_t MESSAGE_SLACK = 16;
  static constexpr size_t CONTROL_MAX = 125;

  // ---- one frame ----

  // Decodes the one frame at data, len bytes held from there. old: the
  // framing of the Key1/Key2 handshake (0x00, the payload without 0xFF,
  // 0xFF; the closing handshake 0xFF 0x00), else RFC 6455 client frames
  // (masked, no RSV bits, a defined opcode, control frames with FIN and at
  // most 125 bytes, a 64-bit length below 2^63). Results:
  //   > 0               the frame is whole and occupies that many bytes; f
  //                     describes it, and its payload at data + f.offset is
  //                     unmasked in place. Nothing beyond the frame is read
  //                     or written.
  //   WS_FRAME_PARTIAL  the data ends inside the frame; nothing is changed.
  //                     f tells what is known so far (opcode once the first
  //                     byte is in, size and payload once the length is).
  //                     Decode again from the same byte with more data.
  //   < 0               not a valid frame: minus the close code that
  //                     answers it (-WS_CLOSE_PROTOCOL), as early as the
  //                     first bytes show it.
  static int64_t decode(char* data, size_t len, bool old, ws_frame_t& f);

  // The code a close answer carries for a received close frame's payload
  // (n bytes, unmasked): the peer's code echoed, 1000 when it gave none,
  // 1002 when the payload is not a valid code and UTF-8 reason.
  static uint16_t close_answer(const char* payload, size_t n);
  // Writes the close frame with code at out (4 bytes of room): 0x88, 2 and
  // the code; the old framing's 0xFF 0x00 carries no code. Returns its size.
  static size_t close_frame(char* out, uint16_t code, bool old);

  // ---- the frame walk over a connection's reads ----
  //
  // The receive loop reads into the room that room() gives and hands the
  // bytes it read to consume, which parses everything whole that is held
  // and calls the handler back in stream order:
  //   h.message(char* payload, size_t len, uint32_t opcode)
  //       a whole message; opcode WS_OPCODE_TEXT (well-formed UTF-8) or
  //       WS_OPCODE_BINARY, WS_OPCODE_AUTO in the old framing. The payload
  //       lies in the buffer and stays there, unchanged, until the next
  //       room(), so that the messages of one read can be used together.
  //   h.reply(const char* frame, size_t len)
  //       a control frame to send at once (a pong); the walk goes on.
  //   h.close(uint16_t code, const char* frame, size_t len)
  //       the connection is to close: code is close_code, frame the close
  //       frame to send; consume then returns WS_WALK_CLOSE.
  // A fragmented message is joined in place; a frame that can no longer
  // fit, a protocol fault or text that is not UTF-8 closes with 1009, 1002
  // or 1007 as soon as it shows, before the rest of it is read.

  // Starts a connection over the receive buffer buf (cap bytes). version:
  // 13 and above RFC 6455, 1..12 the old framing, 0 none (nothing is
  // parsed: the walk has ended).
  void begin(char* buf, size_t cap, uint32_t version);
  // Largest message this connection can carry: the buffer less its slack.
  size_t message_max() const { return rx_cap > MESSAGE_SLACK ? rx_cap - MESSAGE_SLACK : 0; }
  // Moves what is still needed to the front and returns where the next read
  // goes, with its room in n (never 0 while the walk goes on).
  char* room(size_t& n);

  // Parses the n bytes just read into room(), as described above.
  // Returns WS_WALK_MORE (read more), WS_WALK_CLOSE or WS_WALK_END.
  template <class H>
  int consume(size_t n, H& h) {
    filled(n);
    for (;;) {
      char* payload = nullptr;
      size_t len = 0;
      uint32_t opcode = 0;
      switch (next(payload, len, opcode)) {
        case WS_WALK_MESSAGE:
          h.message(payload, len, opcode);
          break;
        case WS_WALK_REPLY:
          h.reply(reply, reply_size);
          break;
        case WS_WALK_MORE:
          return WS_WALK_MORE;
        case WS_WALK_CLOSE:
          h.close(close_code, reply, reply_size);
          return WS_WALK_CLOSE;
        default:
          return WS_WALK_END;
      }
    }
  }

  // Moves what fits of the n bytes at src into room() and consumes them;
  // taken tells how many were taken (fewer than n when the room was short:
  // feed the rest once the messages handed out are used). Results as for
  // consume; for bytes that arrive other than by a read into room(). src
  // may lie in the buffer itself (bytes read ahead of the walk).
  template <class H>
  int feed(const char* src, size_t n, size_t& taken, H& h) {
    size_t space = 0;
    char* at = room(space);
    taken = n < space ? n : space;
    if (taken != 0) memmove(at, src, taken);
    return consume(taken, h);
  }

  // Status code of the close the walk produced (received and echoed, or
  // the hub's own 1002/1007/1009), 0 for none.
  uint16_t close_code = 0;
  // Control frame of the last h.reply or h.close.
  char reply[2 + CONTROL_MAX] = {};
  size_t reply_size = 0;

 private:
  void filled(size_t n);
  // One step of the walk: WS_WALK_MORE, or a message, a reply, a close or
  // the end as consume hands them on.
  int next(char*& payload, size_t& len, uint32_t& opcode);
  // Ends the walk with the close frame with code in reply (close_code =
  // code); nothing more is parsed. Returns WS_WALK_CLOSE.
  int close_with(uint16_t code);
  int control(const char* payload, size_t n);
  // Checks the payload bytes of the incomplete text frame at data (avail
  // bytes held) that came since the last call, unmasked on the side: a text
  // that is already invalid fails before the rest of its frame arrives.
  bool partial_text_invalid(const char* data, size_t avail);

  // The framing (0 once the walk has ended), the buffer, the bytes held in
  // it, where the next frame starts, the frame being decoded, and the
  // fragmented message being joined (rx_msg_opcode 0 = none) with its
  // UTF-8 state.
  uint32_t rx_version = 0;
  char* rx_buf = nullptr;
  size_t rx_cap = 0;
  size_t rx_end = 0;
  size_t rx_next = 0;
  ws_frame_t rx_frame;
  size_t rx_msg = 0;
  size_t rx_msg_len = 0;
  uint32_t rx_msg_opcode = 0;
  uint32_t rx_utf8 = 0;
  // Payload bytes of the incomplete text frame at rx_next already checked,
  // and the UTF-8 state after them (0 checked: none).
  size_t rx_part_checked = 0;
  uint32_t rx_part_utf8 = 0;
};
