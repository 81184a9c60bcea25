#pragma once
// The XOR mask of RFC 6455 client frames: payload byte i is XORed with
// key[i mod 4]. One routine for every side that masks or unmasks (the hub's
// frame decoder, the bridge's client frames, the benchmark's load).
// A pure function: any thread.

#include <cstddef>
#include <cstdint>
#include <cstring>

// XORs n bytes of src with the key into dst; the mask is its own inverse,
// so this both masks and unmasks. dst may be src itself (in place), but
// must not overlap it otherwise. key_pos is the payload offset of src[0],
// for a payload handled in pieces. Eight bytes per step, with the key laid
// out twice in one word; memcpy keeps the unaligned accesses defined and
// compiles to plain loads and stores.
inline void g_mask(void* dst, const void* src, size_t n, const uint8_t key[4], uint64_t key_pos = 0) {
  uint8_t k[8];
  for (int i = 0; i < 8; ++i)
    k[i] = key[(key_pos + (uint64_t)i) & 3];
  uint64_t k8;
  memcpy(&k8, k, 8);
  uint8_t* d = static_cast<uint8_t*>(dst);
  const uint8_t* s = static_cast<const uint8_t*>(src);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    memcpy(&w, s + i, 8);
    w ^= k8;
    memcpy(d + i, &w, 8);
  }
  for (; i < n; ++i)
    d[i] = (uint8_t)(s[i] ^ k[i & 7]);
}
