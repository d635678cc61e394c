// UTF-8 and UTF-16 by hand, the same on every platform: the journal, the
// inbox log and the decoder must agree byte for byte on what a text is,
// whatever the system's converters would substitute. Portable.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace varnix {

constexpr bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
constexpr bool IsSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDFFF; }

// The code point at text[i]: a surrogate pair as one scalar value (two
// units: the value is 0x10000 or more), anything else as the unit itself,
// a lone half included. Callers decide what a lone half becomes.
char32_t CodePointAt(std::u16string_view text, std::size_t i);

// `cp` in one to four bytes. A surrogate would come out as three bytes that
// no strict reader takes back: callers replace it first.
void AppendUtf8(std::string& out, char32_t cp);
// `cp` as one unit, or as a surrogate pair from 0x10000 on.
void AppendUtf16(std::u16string& out, char32_t cp);

// The scalar value whose UTF-8 starts at s[i], read strictly: nothing for a
// byte that cannot start one, a sequence cut short, an overlong form
// (C0 80, E0 82 80), an encoded surrogate (ED A0 80, ED B0 80) or a value
// above U+10FFFF. Its length in bytes is Utf8Length of the value.
std::optional<char32_t> Utf8At(std::string_view s, std::size_t i);
constexpr std::size_t Utf8Length(char32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// UTF-16 as UTF-8; a lone surrogate half becomes U+FFFD.
std::string Utf8Of(std::u16string_view text);

}  // namespace varnix
