// The journal's text fields (the format is described in Journal.h): texts
// written without blanks or line breaks, readable where they are plain.
// Portable.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnix {

// 8-bit code page text: 0x21-0x7E but '%' as they are, any other byte %XX.
std::string EncodeBytes(std::string_view text);
// UTF-16 text as UTF-8 with the escapes of EncodeBytes below 0x80, and
// %uXXXX for a lone surrogate.
std::string EncodeText16(std::u16string_view text);
// Both give "-" for the empty text and "%2D" for "-". Decoding refuses
// (nullopt) anything the encoding would not write in that place: a byte
// that should have been escaped, a malformed escape, UTF-8 that is not the
// shortest form of a scalar value.
std::optional<std::string> DecodeBytes(std::string_view field);
std::optional<std::u16string> DecodeText16(std::string_view field);

}  // namespace varnix
