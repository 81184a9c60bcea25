// Fuzzes the text utilities of support/g_text: the four UTF conversions,
// their capacity rule, and the round trips that hold; the line-end folding
// and the sorted-table search on the side.
//
// Input: byte 0 picks an output capacity for the capacity rule, the rest is
// read as UTF-8, as UTF-16 units and as UTF-32 units in turn.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "support/g_text.hpp"
#include "support/g_utf8.hpp"
#include "tests/fuzz/fuzz_check.hpp"

namespace {

// Output buffers are exactly `cap` units on the heap, so that ASan sees a
// write past the capacity.
template <class T>
struct out_buf {
  T* p;
  explicit out_buf(size_t cap) : p((T*)malloc(sizeof(T) * (cap ? cap : 1))) {}
  ~out_buf() { free(p); }
};

template <class T>
size_t units(const T* s) {
  size_t n = 0;
  while (s[n] != 0)
    ++n;
  return n;
}

// The capacity rule: with room for the whole text and its terminator the
// conversion gives the whole text; with less it gives 0 and leaves a
// terminated prefix of at most cap - 1 units.
template <class O, class I, class F>
void check_capacity(F convert, const I* in, const O* full, size_t full_n, size_t cap) {
  out_buf<O> o(cap);
  const size_t r = convert(o.p, cap, in);
  if (cap == 0) {
    check(r == 0);
    return;
  }
  if (cap >= full_n + 1) {
    check(r == full_n && memcmp(o.p, full, sizeof(O) * (full_n + 1)) == 0);
    return;
  }
  check(r == 0);
  const size_t k = std::find(o.p, o.p + cap, (O)0) - o.p;
  check(k < cap && memcmp(o.p, full, sizeof(O) * k) == 0);
}

// Converts with a buffer large enough for any input of n units (4 output
// units per input unit at most) and checks that the result is terminated.
// Only UTF-16 output may hold a zero unit of its own (from 0xC0 0x80).
template <class O, class I, class F>
std::basic_string<O> convert_all(F convert, const I* in, size_t n) {
  const size_t cap = 4 * n + 1;
  out_buf<O> o(cap);
  const size_t r = convert(o.p, cap, in);
  check(r < cap && o.p[r] == 0);
  if (sizeof(O) != sizeof(char16_t)) check(units(o.p) == r);
  return std::basic_string<O>(o.p, r);
}

bool well_formed_utf16(const std::u16string& s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t u = s[i];
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

void utf8_side(const std::string& in, size_t cap) {
  const std::u16string u16 = convert_all<char16_t>(char_to_uchar, in.c_str(), in.size());
  const std::wstring u32 = convert_all<wchar_t>(char_to_wchar, in.c_str(), in.size());
  check_capacity(char_to_uchar, in.c_str(), u16.c_str(), u16.size(), cap);
  check_capacity(char_to_wchar, in.c_str(), u32.c_str(), u32.size(), cap);
  // Whatever the input, the UTF-16 text is well-formed, and its UTF-8 form
  // (up to a zero unit, which ends it as text) decodes back to it.
  check(well_formed_utf16(u16));
  const std::u16string text16 = u16.substr(0, u16.find(char16_t(0)));
  const std::string back16 = convert_all<char>(uchar_to_char, text16.c_str(), text16.size());
  check(convert_all<char16_t>(char_to_uchar, back16.c_str(), back16.size()) == text16);

  // Well-formed UTF-8 (in the strict sense) survives both round trips
  // byte for byte, and both decoders agree on its code points.
  if (!utf8_well_formed((const unsigned char*)in.data(), in.size())) return;
  check(back16 == in);
  check(convert_all<char>(wchar_to_char, u32.c_str(), u32.size()) == in);
  std::u16string from32;
  for (wchar_t c : u32) {
    const uint32_t v = (uint32_t)c;
    if (v >= 0x10000) {
      from32 += (char16_t)(0xD800 + ((v - 0x10000) >> 10));
      from32 += (char16_t)(0xDC00 + ((v - 0x10000) & 0x3FF));
    } else {
      from32 += (char16_t)v;
    }
  }
  check(from32 == u16);
}

void utf16_side(const std::u16string& in, size_t cap) {
  const std::string u8 = convert_all<char>(uchar_to_char, in.c_str(), in.size());
  check_capacity(uchar_to_char, in.c_str(), u8.c_str(), u8.size(), cap);
  if (well_formed_utf16(in)) check(convert_all<char16_t>(char_to_uchar, u8.c_str(), u8.size()) == in);
  // Byte order: swapping twice restores the text.
  std::u16string t = in;
  char16_to_endian(t.data(), TXT_ENCODING_SWAPPED);
  for (size_t i = 0; i < t.size(); ++i)
    check(t[i] == char16_to_endian(in[i], TXT_ENCODING_SWAPPED));
  char16_to_endian(t.data(), TXT_ENCODING_SWAPPED);
  check(t == in);
}

void utf32_side(const std::wstring& in, size_t cap) {
  const std::string u8 = convert_all<char>(wchar_to_char, in.c_str(), in.size());
  check_capacity(wchar_to_char, in.c_str(), u8.c_str(), u8.size(), cap);
  // Every value up to 0x1FFFFF has a form that decodes back to it.
  bool in_range = true;
  for (wchar_t c : in)
    in_range = in_range && (uint32_t)c <= 0x1FFFFF;
  if (in_range) check(convert_all<wchar_t>(char_to_wchar, u8.c_str(), u8.size()) == in);
}

void line_feeds(const std::string& in) {
  std::string t = in;
  const size_t n = to_line_feed(t.data());
  check(n == strlen(t.c_str()) && memchr(t.data(), '\r', n) == nullptr);
  // Each CR LF and each lone CR becomes one LF, other bytes stay.
  size_t lf = 0, crlf = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '\n') ++lf;
    if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n') ++crlf;
  }
  const size_t cr = std::count(in.begin(), in.end(), '\r');
  check((size_t)std::count(t.begin(), t.begin() + (long)n, '\n') == lf + cr - crlf);
  check(n == in.size() - crlf);
}

void search(const std::string& in) {
  // A table of the input's blank-separated words, sorted and unique.
  std::vector<std::string> words;
  size_t s = 0;
  for (size_t i = 0; i <= in.size(); ++i) {
    if (i == in.size() || in[i] == ' ') {
      if (i > s) words.push_back(in.substr(s, i - s));
      s = i + 1;
    }
  }
  std::sort(words.begin(), words.end(),
            [](const std::string& a, const std::string& b) { return strcmp(a.c_str(), b.c_str()) < 0; });
  words.erase(std::unique(words.begin(), words.end()), words.end());
  if (words.empty()) return;
  std::vector<const char*> table;
  for (const std::string& w : words)
    table.push_back(w.c_str());
  for (size_t i = 0; i < table.size(); ++i)
    check(g_bin_search_string(table.data(), table.size(), table[i]) == (int64_t)i);
  const std::string missing = words.back() + "~~";
  check(g_bin_search_string(table.data(), table.size(), missing.c_str()) == -1);
  check(g_bin_search_string(table.data(), table.size(), "") == -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t cap = data[0];
  ++data;
  --size;

  // Zero units end each text; they are dropped so that the whole input counts.
  std::string u8;
  for (size_t i = 0; i < size; ++i)
    if (data[i] != 0) u8 += (char)data[i];
  std::u16string u16;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t u = (char16_t)(data[i] | (data[i + 1] << 8));
    if (u != 0) u16 += u;
  }
  std::wstring u32;
  for (size_t i = 0; i + 3 < size; i += 4) {
    // Mostly code points and just beyond; the top byte rarely counts.
    uint32_t v = (uint32_t)data[i] | ((uint32_t)data[i + 1] << 8) | ((uint32_t)data[i + 2] << 16);
    if (data[i + 3] == 0xFF) v |= 0x7F000000u;
    if (v != 0) u32 += (wchar_t)v;
  }

  utf8_side(u8, cap);
  utf16_side(u16, cap);
  utf32_side(u32, cap);
  line_feeds(u8);
  search(u8);
  return 0;
}
