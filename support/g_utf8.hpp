#pragma once
// Incremental UTF-8 validation: all of Unicode, no overlong forms, no
// surrogates, nothing above U+10FFFF. Used wherever a text must be
// well-formed (WebSocket text frames, the text/binary choice for plain
// senders, close reasons). Pure functions: any thread.

#include <cstddef>
#include <cstdint>

// Validator states: UTF8_ACCEPT between characters (and to begin),
// UTF8_REJECT after an error (it stays there); any other value is inside a
// character.
inline constexpr uint32_t UTF8_ACCEPT = 0;
inline constexpr uint32_t UTF8_REJECT = 0xFFFFFFFFu;

// Feeds n bytes to a validator in state s; returns its new state,
// UTF8_REJECT at the first byte that cannot continue a well-formed text. A
// text is whole when it ends in UTF8_ACCEPT; a character may be split
// between two steps.
uint32_t utf8_step(uint32_t s, const unsigned char* data, size_t n);

// True when the len bytes at data are well-formed UTF-8 on their own.
bool utf8_well_formed(const unsigned char* data, size_t len);
