// UTF-8 validation, with ASCII runs taken eight bytes at a time.
#include "support/g_utf8.hpp"

#include <cstring>

namespace {

// Validator state inside a character: the continuation bytes still
// expected (low byte) and the range allowed for the next one (lowest and
// highest byte above).
inline uint32_t utf8_state(uint32_t need, uint32_t lo, uint32_t hi) {
  return need | (lo << 8) | (hi << 16);
}

}  // namespace

uint32_t utf8_step(uint32_t s, const unsigned char* p, size_t n) {
  if (s == UTF8_REJECT) return s;
  uint32_t need = s & 0xFF;
  uint32_t lo = (s >> 8) & 0xFF;
  uint32_t hi = (s >> 16) & 0xFF;
  size_t i = 0;
  while (i < n) {
    if (need == 0) {
      // ASCII runs, 8 bytes per step.
      while (i + 8 <= n) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
      }
      if (i >= n) break;
      const unsigned char c = p[i++];
      if (c < 0x80) continue;
      lo = 0x80;
      hi = 0xBF;
      if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
      } else if (c == 0xE0) {
        need = 2;
        lo = 0xA0;  // overlong below U+0800
      } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
        need = 2;
      } else if (c == 0xED) {
        need = 2;
        hi = 0x9F;  // surrogates
      } else if (c == 0xF0) {
        need = 3;
        lo = 0x90;  // overlong below U+10000
      } else if (c >= 0xF1 && c <= 0xF3) {
        need = 3;
      } else if (c == 0xF4) {
        need = 3;
        hi = 0x8F;  // above U+10FFFF
      } else {
        return UTF8_REJECT;  // continuation byte, 0xC0, 0xC1, 0xF5..0xFF
      }
      continue;
    }
    const unsigned char c = p[i++];
    if (c < lo || c > hi) return UTF8_REJECT;
    lo = 0x80;
    hi = 0xBF;
    --need;
  }
  return need == 0 ? UTF8_ACCEPT : utf8_state(need, lo, hi);
}

bool utf8_well_formed(const unsigned char* s, size_t n) {
  return utf8_step(UTF8_ACCEPT, s, n) == UTF8_ACCEPT;
}
