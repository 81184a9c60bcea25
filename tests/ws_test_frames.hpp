// Client frames for the WebSocket tests: masked as a client masks them, and
// held in buffers that end right behind the byte a decoder may touch.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

using bytes = std::vector<unsigned char>;

// A decode buffer of exactly len + 1 bytes, so that ASan sees any access
// beyond the byte after the frame; that byte is 0x5A, to show it unchanged.
struct frame_buf {
  std::unique_ptr<char[]> mem;
  size_t len;
  explicit frame_buf(const bytes& b) : mem(new char[b.size() + 1]), len(b.size()) {
    memcpy(mem.get(), b.data(), b.size());
    mem[b.size()] = 0x5A;
  }
  char* data() { return mem.get(); }
};

// A client frame: first byte, the shortest length form, the key and the
// masked payload (masked here byte by byte, apart from the code under test).
inline bytes mask_frame(uint8_t first, const bytes& payload, const uint8_t key[4]) {
  bytes f{first};
  size_t n = payload.size();
  if (n <= 125) {
    f.push_back((uint8_t)(0x80 | n));
  } else if (n <= 65535) {
    f.push_back(0x80 | 126);
    f.push_back((uint8_t)(n >> 8));
    f.push_back((uint8_t)n);
  } else {
    f.push_back(0x80 | 127);
    for (int i = 7; i >= 0; --i)
      f.push_back((uint8_t)((uint64_t)n >> (8 * i)));
  }
  f.insert(f.end(), key, key + 4);
  for (size_t i = 0; i < n; ++i)
    f.push_back(payload[i] ^ key[i % 4]);
  return f;
}
