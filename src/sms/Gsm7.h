// The GSM 7-bit default alphabet (3GPP TS 23.038) and its extension table:
// which UTF-16 characters an SMS can carry in septets, and how septets are
// packed into the user data of a PDU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace varnix {

constexpr std::uint8_t kGsm7Escape = 0x1B;  // the next septet is from the extension table

// Septets a character costs: 1 in the default alphabet, 2 (ESC and the
// character) in the extension table, 0 when it has no GSM 7-bit form.
// Surrogates and everything outside the two tables give 0.
int Gsm7Cost(char16_t unit);

// The septets of one character, ESC first for an extension character;
// appends nothing and returns false when the character does not fit.
bool AppendGsm7(char16_t unit, std::vector<std::uint8_t>& septets);

// The whole text as septets, or nullopt when any character does not fit.
std::optional<std::vector<std::uint8_t>> ToGsm7Septets(std::u16string_view text);

// Septets the whole text costs, or nullopt when any character does not fit.
std::optional<std::size_t> Gsm7SeptetCount(std::u16string_view text);

// Septets packed least significant bit first, as TS 23.038 lays them out,
// after `fillBits` zero bits (0 to 6): the fill that brings the septets to
// a septet boundary after a user-data header. Each septet's top bit is
// ignored. Returns ceil((fillBits + 7 * n) / 8) octets.
std::vector<std::uint8_t> PackSeptets(const std::vector<std::uint8_t>& septets, int fillBits = 0);

}  // namespace varnix
