// Text utilities: sorted string-table search, conversions between UTF-8,
// UTF-16 and UTF-32, and base64.
#include "support/g_text.hpp"

#include <cstring>
#include <cwchar>

namespace {

template <class T, class CMP>
int64_t bin_search(const T* const* table, uint64_t n, const T* key, CMP cmp) {
  // The first probe is entry n / 2: an empty table has nothing to probe.
  if (table == nullptr || n == 0 || key == nullptr) return -1;
  uint64_t base = 0;
  uint64_t count = n;
  for (;;) {
    const uint64_t mid = base + count / 2;
    const int c = cmp(key, table[mid]);
    if (c == 0) return static_cast<int64_t>(mid);
    if (mid == base) return -1;
    if (c < 0) {
      count = count / 2;
    } else {
      base = mid + 1;
      if (base >= n) return -1;
      count = count - count / 2 - 1;
    }
  }
}

// Output cursor shared by the conversions. Invariant between characters:
// pos < cap, so there is always room for a terminator at pos.
template <class T>
struct out_cursor {
  T* p;
  size_t cap;
  size_t pos;

  enum step { GO_ON, FAILED };

  // Writes the k units of one character if they all fit; fails otherwise,
  // or when they leave no room for the terminator. Either failure leaves a
  // terminated prefix.
  step put(const T* units, size_t k) {
    if (k > cap - pos) {
      p[pos] = 0;
      return FAILED;
    }
    for (size_t i = 0; i < k; ++i)
      p[pos++] = units[i];
    if (pos == cap) {
      p[pos - 1] = 0;
      return FAILED;
    }
    return GO_ON;
  }

  size_t finish() {
    p[pos] = 0;
    return pos;
  }
};

// Decodes one UTF-8 character starting at *s (not the terminator). Advances
// s past the bytes consumed. Returns false for a byte that is skipped.
// *lead_len is the sequence length the lead byte announced.
bool decode_utf8(const unsigned char*& s, uint32_t* value, int* lead_len) {
  const unsigned char lead = *s++;
  int more;
  uint32_t v;
  if (lead < 0x80) {
    *value = lead;
    *lead_len = 1;
    return true;
  }
  if (lead < 0xC0 || lead >= 0xF8) return false;  // stray continuation byte or invalid lead
  if (lead < 0xE0) {
    v = lead & 0x1F;
    more = 1;
  } else if (lead < 0xF0) {
    v = lead & 0x0F;
    more = 2;
  } else {
    v = lead & 0x07;
    more = 3;
  }
  *lead_len = more + 1;
  bool cut = false;
  for (int i = 0; i < more; ++i) {
    // A missing continuation byte counts as zero bits; the byte that
    // broke the sequence is left for the next lead-byte decode.
    if (!cut && (*s & 0xC0) == 0x80) {
      v = (v << 6) | (*s & 0x3F);
      ++s;
    } else {
      cut = true;
      v <<= 6;
    }
  }
  *value = v;
  return true;
}

size_t encode_utf8(uint32_t cp, char* b) {
  if (cp <= 0x7F) {
    b[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp <= 0x7FF) {
    b[0] = static_cast<char>(0xC0 + (cp >> 6));
    b[1] = static_cast<char>(0x80 + (cp & 0x3F));
    return 2;
  }
  if (cp <= 0xFFFF) {
    b[0] = static_cast<char>(0xE0 + (cp >> 12));
    b[1] = static_cast<char>(0x80 + ((cp >> 6) & 0x3F));
    b[2] = static_cast<char>(0x80 + (cp & 0x3F));
    return 3;
  }
  // Four-byte form keeps only the low 21 bits.
  b[0] = static_cast<char>(0xF0 + ((cp >> 18) & 0x07));
  b[1] = static_cast<char>(0x80 + ((cp >> 12) & 0x3F));
  b[2] = static_cast<char>(0x80 + ((cp >> 6) & 0x3F));
  b[3] = static_cast<char>(0x80 + (cp & 0x3F));
  return 4;
}

char16_t swap16(char16_t u) {
  return static_cast<char16_t>(((u & 0xFF) << 8) | (u >> 8));
}

template <class T>
size_t fold_line_ends(T* text) {
  if (text == nullptr) return 0;
  size_t r = 0;
  size_t w = 0;
  while (text[r] != 0) {
    if (text[r] == 13) {
      text[w++] = 10;
      r += text[r + 1] == 10 ? 2 : 1;
    } else {
      text[w++] = text[r++];
    }
  }
  text[w] = 0;
  return w;
}

}  // namespace

int64_t g_bin_search_string(const char* const* table, uint64_t n, const char* key) {
  return bin_search(table, n, key, [](const char* a, const char* b) { return strcmp(a, b); });
}

int64_t g_bin_search_string(const char16_t* const* table, uint64_t n, const char16_t* key) {
  return bin_search(table, n, key, char16_cmp);
}

int64_t g_bin_search_string(const wchar_t* const* table, uint64_t n, const wchar_t* key) {
  return bin_search(table, n, key, [](const wchar_t* a, const wchar_t* b) { return wcscmp(a, b); });
}

int char16_cmp(const char16_t* a, const char16_t* b) {
  while (*a != 0 && *a == *b) {
    ++a;
    ++b;
  }
  return static_cast<int>(static_cast<uint16_t>(*a)) - static_cast<int>(static_cast<uint16_t>(*b));
}

size_t char_to_uchar(char16_t* out, size_t capacity, const char* in) {
  if (out == nullptr || in == nullptr || capacity == 0) return 0;
  out_cursor<char16_t> o{out, capacity, 0};
  const unsigned char* s = reinterpret_cast<const unsigned char*>(in);
  while (*s != 0) {
    uint32_t v;
    int len;
    if (!decode_utf8(s, &v, &len)) continue;
    char16_t u[2];
    size_t k;
    if (v == 0) {
      if (len != 2) return o.finish();  // a zero from a 3- or 4-byte lead ends the text
      u[0] = 0;                         // a zero from a 2-byte lead stays in the text
      k = 1;
    } else if ((v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) {
      continue;  // no UTF-16 form: dropped
    } else if (v >= 0x10000) {
      u[0] = static_cast<char16_t>(0xD800 + ((v - 0x10000) >> 10));
      u[1] = static_cast<char16_t>(0xDC00 + ((v - 0x10000) & 0x3FF));
      k = 2;
    } else {
      u[0] = static_cast<char16_t>(v);
      k = 1;
    }
    if (o.put(u, k) == o.FAILED) return 0;
  }
  return o.finish();
}

size_t char_to_wchar(wchar_t* out, size_t capacity, const char* in) {
  if (out == nullptr || in == nullptr || capacity == 0) return 0;
  out_cursor<wchar_t> o{out, capacity, 0};
  const unsigned char* s = reinterpret_cast<const unsigned char*>(in);
  while (*s != 0) {
    uint32_t v;
    int len;
    if (!decode_utf8(s, &v, &len)) continue;
    if (v == 0) return o.finish();  // a decoded zero is the end of the text
    const wchar_t u = static_cast<wchar_t>(v);
    if (o.put(&u, 1) == o.FAILED) return 0;
  }
  return o.finish();
}

size_t uchar_to_char(char* out, size_t capacity, const char16_t* in) {
  if (out == nullptr || in == nullptr || capacity == 0) return 0;
  out_cursor<char> o{out, capacity, 0};
  const char16_t* s = in;
  while (*s != 0) {
    const uint32_t u = *s++;
    uint32_t cp;
    if (u >= 0xDC00 && u <= 0xDFFF) {
      continue;  // low surrogate on its own
    } else if (u >= 0xD800 && u <= 0xDBFF) {
      const uint32_t next = *s;
      if (next == 0) break;  // high surrogate at the end: dropped
      if (next >= 0xDC00 && next <= 0xDFFF) {
        ++s;
        cp = 0x10000 + (((u & 0x3FF) << 10) | (next & 0x3FF));
      } else {
        cp = 0x10000 + ((u & 0x3FF) << 10);
      }
    } else {
      cp = u;
    }
    char b[4];
    const size_t k = encode_utf8(cp, b);
    if (o.put(b, k) == o.FAILED) return 0;
  }
  return o.finish();
}

size_t wchar_to_char(char* out, size_t capacity, const wchar_t* in) {
  if (out == nullptr || in == nullptr || capacity == 0) return 0;
  out_cursor<char> o{out, capacity, 0};
  for (const wchar_t* s = in; *s != 0; ++s) {
    char b[4];
    const size_t k = encode_utf8(static_cast<uint32_t>(*s), b);
    if (o.put(b, k) == o.FAILED) return 0;
  }
  return o.finish();
}

void char16_to_endian(char16_t* text, TXT_ENCODING encoding) {
  if (text == nullptr || encoding == TXT_ENCODING_NATIVE) return;
  for (; *text != 0; ++text)
    *text = swap16(*text);
}

char16_t char16_to_endian(char16_t unit, TXT_ENCODING encoding) {
  return encoding == TXT_ENCODING_NATIVE ? unit : swap16(unit);
}

size_t to_line_feed(char* text) {
  return fold_line_ends(text);
}

size_t to_line_feed(char16_t* text) {
  return fold_line_ends(text);
}

char b64_table(unsigned char v) {
  if (v < 26) return static_cast<char>('A' + v);
  if (v < 52) return static_cast<char>('a' + (v - 26));
  if (v < 62) return static_cast<char>('0' + (v - 52));
  if (v == 62) return '+';
  return '/';
}

long b64_encode(const unsigned char* data, long n, char* out) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  long o = 0;
  if (n <= 0 || data == nullptr) {
    if (out) out[0] = 0;
    return 0;
  }
  long i = 0;
  for (; i + 2 < n; i += 3) {
    const uint32_t g =
        (static_cast<uint32_t>(data[i]) << 16) | (static_cast<uint32_t>(data[i + 1]) << 8) | data[i + 2];
    out[o++] = alphabet[(g >> 18) & 0x3F];
    out[o++] = alphabet[(g >> 12) & 0x3F];
    out[o++] = alphabet[(g >> 6) & 0x3F];
    out[o++] = alphabet[g & 0x3F];
  }
  const long rest = n - i;
  if (rest == 1) {
    const uint32_t g = static_cast<uint32_t>(data[i]) << 16;
    out[o++] = alphabet[(g >> 18) & 0x3F];
    out[o++] = alphabet[(g >> 12) & 0x3F];
    out[o++] = '=';
    out[o++] = '=';
  } else if (rest == 2) {
    const uint32_t g = (static_cast<uint32_t>(data[i]) << 16) | (static_cast<uint32_t>(data[i + 1]) << 8);
    out[o++] = alphabet[(g >> 18) & 0x3F];
    out[o++] = alphabet[(g >> 12) & 0x3F];
    out[o++] = alphabet[(g >> 6) & 0x3F];
    out[o++] = '=';
  }
  out[o] = 0;
  return o;
}
