#include "support/g_text.hpp"
#include "support/g_utf8.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Canary-filled buffers show exactly what a conversion wrote and that it
// stayed within its capacity.
template <class T>
std::vector<T> canary(size_t n) {
  return std::vector<T>(n, static_cast<T>(0x5A));
}

std::u16string u16_until_nul(const std::vector<char16_t>& v) {
  return std::u16string(v.data());
}

}  // namespace

TEST(TextSearch, NarrowTable) {
  const char* const bits[] = {"256", "384", "448", "521"};
  EXPECT_EQ(g_bin_search_string(bits, 4, "256"), 0);
  EXPECT_EQ(g_bin_search_string(bits, 4, "384"), 1);
  EXPECT_EQ(g_bin_search_string(bits, 4, "448"), 2);
  EXPECT_EQ(g_bin_search_string(bits, 4, "521"), 3);
  for (const char* missing : {"600", "100", "300", "400", "500", "", "2560"})
    EXPECT_EQ(g_bin_search_string(bits, 4, missing), -1) << missing;

  const char* const one[] = {"x"};
  EXPECT_EQ(g_bin_search_string(one, 1, "x"), 0);
  EXPECT_EQ(g_bin_search_string(one, 1, "a"), -1);
  EXPECT_EQ(g_bin_search_string(one, 1, "z"), -1);
  // No entry to probe: not found rather than a read before the table.
  EXPECT_EQ(g_bin_search_string(one, 0, "x"), -1);
}

TEST(TextSearch, EveryEntryFoundInTablesOfEachSize) {
  const char* const words[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i"};
  const char* const gaps[] = {"0", "aa", "bb", "cc", "dd", "ee", "ff", "gg", "hh", "zz"};
  for (uint64_t n = 1; n <= 9; ++n) {
    for (uint64_t i = 0; i < n; ++i)
      EXPECT_EQ(g_bin_search_string(words, n, words[i]), static_cast<int64_t>(i)) << "n=" << n;
    for (const char* g : gaps)
      EXPECT_EQ(g_bin_search_string(words, n, g), -1) << "n=" << n << " key=" << g;
  }
}

TEST(TextSearch, WideTables) {
  // Code-unit order: surrogate units sort below 0xE000..0xFFFF.
  const char16_t* const t16[] = {u"abc", u"abd", u"\xD800", u"\xE000", u"\xFFFF"};
  EXPECT_EQ(g_bin_search_string(t16, 5, u"abd"), 1);
  EXPECT_EQ(g_bin_search_string(t16, 5, u"\xD800"), 2);
  EXPECT_EQ(g_bin_search_string(t16, 5, u"\xFFFF"), 4);
  EXPECT_EQ(g_bin_search_string(t16, 5, u"ab"), -1);

  const wchar_t* const t32[] = {L"256", L"384", L"448", L"521"};
  EXPECT_EQ(g_bin_search_string(t32, 4, L"448"), 2);
  EXPECT_EQ(g_bin_search_string(t32, 4, L"256"), 0);
  EXPECT_EQ(g_bin_search_string(t32, 4, L"600"), -1);
}

TEST(TextCompare, Char16Cmp) {
  EXPECT_EQ(char16_cmp(u"ab", u"abc"), -0x63);
  EXPECT_EQ(char16_cmp(u"abc", u"ab"), 0x63);
  EXPECT_EQ(char16_cmp(u"b", u"a"), 1);
  EXPECT_EQ(char16_cmp(u"", u""), 0);
  EXPECT_EQ(char16_cmp(u"same", u"same"), 0);
  // Unsigned units: 0xFFFF is above 'a', a surrogate below 0xE000.
  EXPECT_EQ(char16_cmp(u"\xFFFF", u"a"), 0xFFFF - 0x61);
  EXPECT_LT(char16_cmp(u"\xD800", u"\xE000"), 0);
}

TEST(TextConvert, CapacityRules) {
  auto b = canary<char16_t>(4);
  EXPECT_EQ(char_to_uchar(b.data(), 3, "ab"), 2u);
  EXPECT_EQ(u16_until_nul(b), u"ab");
  EXPECT_EQ(b[3], 0x5A);

  b = canary<char16_t>(4);
  EXPECT_EQ(char_to_uchar(b.data(), 2, "ab"), 0u);
  EXPECT_EQ(u16_until_nul(b), u"a");
  EXPECT_EQ(b[2], 0x5A);

  b = canary<char16_t>(4);
  EXPECT_EQ(char_to_uchar(b.data(), 1, "ab"), 0u);
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[1], 0x5A);

  // Failures write nothing.
  b = canary<char16_t>(4);
  EXPECT_EQ(char_to_uchar(b.data(), 0, "ab"), 0u);
  EXPECT_EQ(char_to_uchar(nullptr, 3, "ab"), 0u);
  EXPECT_EQ(char_to_uchar(b.data(), 3, nullptr), 0u);
  EXPECT_EQ(b[0], 0x5A);

  // Empty input: terminator only, result 0.
  EXPECT_EQ(char_to_uchar(b.data(), 4, ""), 0u);
  EXPECT_EQ(b[0], 0);

  auto c = canary<char>(8);
  EXPECT_EQ(uchar_to_char(c.data(), 4, u"abc"), 3u);
  EXPECT_STREQ(c.data(), "abc");
  c = canary<char>(8);
  EXPECT_EQ(uchar_to_char(c.data(), 3, u"abc"), 0u);
  EXPECT_STREQ(c.data(), "ab");
  EXPECT_EQ(c[3], 0x5A);

  auto w = canary<wchar_t>(8);
  EXPECT_EQ(char_to_wchar(w.data(), 4, "abc"), 3u);
  EXPECT_EQ(std::wstring(w.data()), L"abc");
  w = canary<wchar_t>(8);
  EXPECT_EQ(char_to_wchar(w.data(), 3, "abc"), 0u);
  EXPECT_EQ(std::wstring(w.data()), L"ab");
  EXPECT_EQ(char_to_wchar(w.data(), 0, "abc"), 0u);

  c = canary<char>(8);
  EXPECT_EQ(wchar_to_char(c.data(), 4, L"abc"), 3u);
  EXPECT_STREQ(c.data(), "abc");
  EXPECT_EQ(wchar_to_char(c.data(), 3, L"abc"), 0u);
  EXPECT_STREQ(c.data(), "ab");
  EXPECT_EQ(wchar_to_char(nullptr, 3, L"abc"), 0u);
}

TEST(TextConvert, MultiUnitCharacterAtTheEdge) {
  const char* grin = "\xF0\x9F\x98\x80";  // U+1F600

  auto b = canary<char16_t>(4);
  EXPECT_EQ(char_to_uchar(b.data(), 3, grin), 2u);
  EXPECT_EQ(b[0], 0xD83D);
  EXPECT_EQ(b[1], 0xDE00);
  EXPECT_EQ(b[2], 0);

  b = canary<char16_t>(4);
  EXPECT_EQ(char_to_uchar(b.data(), 2, grin), 0u);
  EXPECT_EQ(b[0], 0xD83D);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[2], 0x5A);

  b = canary<char16_t>(4);
  EXPECT_EQ(char_to_uchar(b.data(), 1, grin), 0u);
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[1], 0x5A);

  auto w = canary<wchar_t>(4);
  EXPECT_EQ(char_to_wchar(w.data(), 2, grin), 1u);
  EXPECT_EQ(w[0], 0x1F600);
  EXPECT_EQ(w[1], 0);

  // A 3-byte character that does not fit is not split: "a" stays.
  auto c = canary<char>(8);
  EXPECT_EQ(uchar_to_char(c.data(), 3, u"a\xFFFD"), 0u);
  EXPECT_STREQ(c.data(), "a");
  EXPECT_EQ(c[2], 0x5A);
  c = canary<char>(8);
  EXPECT_EQ(uchar_to_char(c.data(), 5, u"a\xFFFD"), 4u);
  EXPECT_STREQ(c.data(), "a\xEF\xBF\xBD");
}

TEST(TextConvert, DecodingMalformedUtf8) {
  // An encoded surrogate is dropped in UTF-16 but kept in UTF-32.
  auto b = canary<char16_t>(8);
  EXPECT_EQ(char_to_uchar(b.data(), 8, "a\xED\xA0\x80z"), 2u);
  EXPECT_EQ(u16_until_nul(b), u"az");
  auto w = canary<wchar_t>(8);
  EXPECT_EQ(char_to_wchar(w.data(), 8, "\xED\xA0\x80"), 1u);
  EXPECT_EQ(w[0], 0xD800);

  // Stray continuation bytes and leads 0xF8..0xFF vanish.
  b = canary<char16_t>(8);
  EXPECT_EQ(char_to_uchar(b.data(), 8,
                          "a\x80\xF8\xF9\xFC\xFE\xFF"
                          "b"),
            2u);
  EXPECT_EQ(u16_until_nul(b), u"ab");
  w = canary<wchar_t>(8);
  EXPECT_EQ(char_to_wchar(w.data(), 8,
                          "\xBF"
                          "a\xFF"),
            1u);
  EXPECT_EQ(std::wstring(w.data()), L"a");

  // A sequence cut short keeps zero low bits; the breaking byte is decoded next.
  b = canary<char16_t>(8);
  EXPECT_EQ(char_to_uchar(b.data(), 8,
                          "\xE4"
                          "A"),
            2u);
  EXPECT_EQ(b[0], 0x4000);
  EXPECT_EQ(b[1], u'A');

  // Above U+10FFFF: dropped in UTF-16, kept in UTF-32 (up to 0x1FFFFF).
  b = canary<char16_t>(8);
  EXPECT_EQ(char_to_uchar(b.data(), 8, "x\xF4\x90\x80\x80\xF7\xBF\xBF\xBFy"), 2u);
  EXPECT_EQ(u16_until_nul(b), u"xy");
  w = canary<wchar_t>(8);
  EXPECT_EQ(char_to_wchar(w.data(), 8, "\xF4\x90\x80\x80\xF7\xBF\xBF\xBF"), 2u);
  EXPECT_EQ(w[0], 0x110000);
  EXPECT_EQ(w[1], 0x1FFFFF);

  // Overlong forms are taken as computed.
  w = canary<wchar_t>(8);
  EXPECT_EQ(char_to_wchar(w.data(), 8, "\xC1\x81"), 1u);
  EXPECT_EQ(w[0], L'A');
}

TEST(TextConvert, DecodedZero) {
  // From a 2-byte lead: a 0 unit inside the UTF-16 text, the end in UTF-32.
  auto b = canary<char16_t>(8);
  EXPECT_EQ(char_to_uchar(b.data(), 8,
                          "a\xC0\x80"
                          "b"),
            3u);
  EXPECT_EQ(b[0], u'a');
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[2], u'b');
  EXPECT_EQ(b[3], 0);
  auto w = canary<wchar_t>(8);
  EXPECT_EQ(char_to_wchar(w.data(), 8,
                          "a\xC0\x80"
                          "b"),
            1u);
  EXPECT_EQ(w[1], 0);
  EXPECT_EQ(w[2], 0x5A);

  // From a 3-byte lead: the end in both.
  b = canary<char16_t>(8);
  EXPECT_EQ(char_to_uchar(b.data(), 8,
                          "a\xE0\x80\x80"
                          "b"),
            1u);
  EXPECT_EQ(b[1], 0);
  EXPECT_EQ(b[2], 0x5A);
}

TEST(TextConvert, InputEndingInsideASequenceIsTerminated) {
  // Lead byte cut by the input's end: value kept, output terminated.
  auto b = canary<char16_t>(8);
  EXPECT_EQ(char_to_uchar(b.data(), 8, "a\xE4"), 2u);
  EXPECT_EQ(b[1], 0x4000);
  EXPECT_EQ(b[2], 0);

  // A zero value from a 4-byte lead ends the text; terminated as well.
  b = canary<char16_t>(8);
  EXPECT_EQ(char_to_uchar(b.data(), 8, "ab\xF0"), 2u);
  EXPECT_EQ(b[2], 0);

  auto w = canary<wchar_t>(8);
  EXPECT_EQ(char_to_wchar(w.data(), 8, "a\xF1\x80"), 2u);
  EXPECT_EQ(w[1], 0x40000);
  EXPECT_EQ(w[2], 0);

  // High surrogate followed by the end: dropped, output terminated.
  auto c = canary<char>(8);
  EXPECT_EQ(uchar_to_char(c.data(), 8, u"ab\xD83D"), 2u);
  EXPECT_EQ(c[2], 0);
  EXPECT_STREQ(c.data(), "ab");

  // Cut-short value that fills the buffer: still a terminated prefix.
  b = canary<char16_t>(8);
  EXPECT_EQ(char_to_uchar(b.data(), 2, "a\xE4"), 0u);
  EXPECT_EQ(b[0], u'a');
  EXPECT_EQ(b[1], 0);
}

TEST(TextConvert, Utf16ToUtf8Surrogates) {
  auto c = canary<char>(16);
  EXPECT_EQ(uchar_to_char(c.data(), 16, u"\xD83D\xDE00"), 4u);
  EXPECT_STREQ(c.data(), "\xF0\x9F\x98\x80");

  c = canary<char>(16);
  EXPECT_EQ(uchar_to_char(c.data(), 16, u"x\xDE00y"), 2u);
  EXPECT_STREQ(c.data(), "xy");

  c = canary<char>(16);
  EXPECT_EQ(uchar_to_char(c.data(), 16,
                          u"\xD83D"
                          "A"),
            5u);
  EXPECT_STREQ(c.data(),
               "\xF0\x9F\x90\x80"
               "A");

  c = canary<char>(16);
  EXPECT_EQ(uchar_to_char(c.data(), 16, u"\x7F\x80\x7FF\x800\xD7FF\xE000"), 1u + 2 + 2 + 3 + 3 + 3);
  EXPECT_STREQ(c.data(), "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80");
}

TEST(TextConvert, Utf32ToUtf8) {
  auto c = canary<char>(16);
  EXPECT_EQ(wchar_to_char(c.data(), 16, L"\xFFFD"), 3u);
  EXPECT_STREQ(c.data(), "\xEF\xBF\xBD");

  const wchar_t beyond[] = {0x110000, 0};
  c = canary<char>(16);
  EXPECT_EQ(wchar_to_char(c.data(), 16, beyond), 4u);
  EXPECT_STREQ(c.data(), "\xF4\x90\x80\x80");

  // Surrogate values are encoded like any other; upper bits beyond 21 are lost.
  const wchar_t odd[] = {0xD800, static_cast<wchar_t>(0x20000041), 0};
  c = canary<char>(16);
  EXPECT_EQ(wchar_to_char(c.data(), 16, odd), 7u);
  EXPECT_STREQ(c.data(), "\xED\xA0\x80\xF0\x80\x81\x81");
}

TEST(TextEndian, Swap) {
  char16_t text[] = u"\x0102\xABCD";
  char16_to_endian(text, TXT_ENCODING_NATIVE);
  EXPECT_EQ(text[0], 0x0102);
  char16_to_endian(text, TXT_ENCODING_SWAPPED);
  EXPECT_EQ(text[0], 0x0201);
  EXPECT_EQ(text[1], 0xCDAB);
  EXPECT_EQ(text[2], 0);

  EXPECT_EQ(char16_to_endian(char16_t(0x12F0), TXT_ENCODING_NATIVE), 0x12F0);
  EXPECT_EQ(char16_to_endian(char16_t(0x12F0), TXT_ENCODING_SWAPPED), 0xF012);
  EXPECT_EQ(char16_to_endian(char16_t(0x12F0), static_cast<TXT_ENCODING>(0)), 0xF012);
}

TEST(TextLineFeed, Folding) {
  char a[] = "a\r\nb\rc";
  EXPECT_EQ(to_line_feed(a), 5u);
  EXPECT_STREQ(a, "a\nb\nc");

  char b[] = "\r\r\n\r";
  EXPECT_EQ(to_line_feed(b), 3u);
  EXPECT_STREQ(b, "\n\n\n");

  char e[] = "";
  EXPECT_EQ(to_line_feed(e), 0u);
  EXPECT_EQ(e[0], 0);

  char16_t w[] = u"x\r\n\r\ny\r";
  EXPECT_EQ(to_line_feed(w), 5u);
  EXPECT_EQ(std::u16string(w), u"x\n\ny\n");
}

TEST(TextUtf8, IncrementalValidation) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
  // Split at every offset: a character cut between two steps is accepted.
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    uint32_t s = utf8_step(UTF8_ACCEPT, (const unsigned char*)text.data(), cut);
    ASSERT_NE(UTF8_REJECT, s) << cut;
    s = utf8_step(s, (const unsigned char*)text.data() + cut, text.size() - cut);
    EXPECT_EQ(UTF8_ACCEPT, s) << cut;
  }
  // The error is found at its byte, not at the end.
  const unsigned char bad[] = {'a', 0xED, 0xA0};
  EXPECT_EQ(UTF8_REJECT, utf8_step(0, bad, 3));
  const unsigned char open[] = {0xF0, 0x9F};
  EXPECT_NE(UTF8_ACCEPT, utf8_step(0, open, 2));
}
