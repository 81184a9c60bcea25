#pragma once
// Text utilities for zero-terminated text in 8-bit (UTF-8), 16-bit (UTF-16)
// and 32-bit (wchar_t, UTF-32) code units: sorted-table search, conversion
// into caller buffers, 16-bit compare and byte swap, line-end folding;
// base64. Nothing here allocates or keeps state: any thread.

#include <cstddef>
#include <cstdint>

// Byte order handling for char16_to_endian: only TXT_ENCODING_NATIVE leaves
// the text unchanged, every other value swaps the two bytes of each unit.
enum TXT_ENCODING {
  TXT_ENCODING_SWAPPED = 1,
  TXT_ENCODING_NATIVE = 2,
};

// Binary search in a table of n strings sorted by the overload's comparison
// (strcmp, char16_cmp, wcscmp). Returns the index of an equal entry or -1.
int64_t g_bin_search_string(const char* const* table, uint64_t n, const char* key);
int64_t g_bin_search_string(const char16_t* const* table, uint64_t n, const char16_t* key);
int64_t g_bin_search_string(const wchar_t* const* table, uint64_t n, const wchar_t* key);

// Compares by unsigned 16-bit code unit: 0 when equal, else the difference of
// the first differing units (a shorter string counts as a 0 unit).
int char16_cmp(const char16_t* a, const char16_t* b);

// Conversions. `capacity` counts output units including the terminator.
// The result is the number of units before the terminator; 0 means failure
// (null pointer, zero capacity, output too small) or empty input. The output
// is always terminated within capacity when capacity is not 0.
size_t char_to_uchar(char16_t* out, size_t capacity, const char* in);
size_t uchar_to_char(char* out, size_t capacity, const char16_t* in);
size_t char_to_wchar(wchar_t* out, size_t capacity, const char* in);
size_t wchar_to_char(char* out, size_t capacity, const wchar_t* in);

// Byte-swaps every unit of text in place unless encoding is TXT_ENCODING_NATIVE.
void char16_to_endian(char16_t* text, TXT_ENCODING encoding);
// Returns unit, byte-swapped unless encoding is TXT_ENCODING_NATIVE.
char16_t char16_to_endian(char16_t unit, TXT_ENCODING encoding);

// Turns CR LF and lone CR into LF in place; returns the new length.
size_t to_line_feed(char* text);
size_t to_line_feed(char16_t* text);

// RFC 4648 base64 with the standard alphabet and padding; out (room for 4
// characters per started group of 3 bytes and a zero byte) is
// zero-terminated. Returns the character count, 0 for n <= 0 or no data.
long b64_encode(const unsigned char* data, long n, char* out);
// Base64 alphabet character of a 6-bit value; 63 and above give '/'.
char b64_table(unsigned char v);
