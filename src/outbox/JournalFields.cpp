#include "outbox/JournalFields.h"

#include <cstddef>

#include "text/Utf.h"

namespace varnix {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool Literal(unsigned char c) { return c > 0x20 && c < 0x7F && c != '%'; }

void PutEscaped(std::string& out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

std::string Finish(std::string field) {
  if (field.empty()) return "-";
  if (field == "-") return "%2D";
  return field;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// %XX at s[i] (i at the '%'); -1 when malformed.
int EscapedByte(std::string_view s, std::size_t i) {
  if (s.size() < i + 3) return -1;
  const int hi = HexValue(s[i + 1]);
  const int lo = HexValue(s[i + 2]);
  return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

}  // namespace

std::string EncodeBytes(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (Literal(c)) {
      out += static_cast<char>(c);
    } else {
      PutEscaped(out, c);
    }
  }
  return Finish(std::move(out));
}

std::string EncodeText16(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u < 0x80) {
      if (Literal(static_cast<unsigned char>(u))) {
        out += static_cast<char>(u);
      } else {
        PutEscaped(out, static_cast<unsigned char>(u));
      }
    } else if (const char32_t cp = CodePointAt(text, i); IsSurrogate(cp)) {
      out += "%u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(u >> shift) & 15];
    } else {
      AppendUtf8(out, cp);
      if (cp >= 0x10000) ++i;
    }
  }
  return Finish(std::move(out));
}

std::optional<std::string> DecodeBytes(std::string_view field) {
  if (field == "-") return std::string();
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(field[i]);
    if (c == '%') {
      const int b = EscapedByte(field, i);
      if (b < 0) return std::nullopt;
      out += static_cast<char>(b);
      i += 2;
    } else if (Literal(c)) {
      out += static_cast<char>(c);
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::optional<std::u16string> DecodeText16(std::string_view field) {
  if (field == "-") return std::u16string();
  std::u16string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(field[i]);
    if (c == '%' && i + 1 < field.size() && field[i + 1] == 'u') {
      if (field.size() - i < 6) return std::nullopt;
      char16_t u = 0;
      for (std::size_t k = 2; k < 6; ++k) {
        const int h = HexValue(field[i + k]);
        if (h < 0) return std::nullopt;
        u = static_cast<char16_t>(u * 16 + h);
      }
      out += u;
      i += 5;
    } else if (c == '%') {
      const int b = EscapedByte(field, i);
      if (b < 0 || b >= 0x80) return std::nullopt;
      out += static_cast<char16_t>(b);
      i += 2;
    } else if (Literal(c)) {
      out += static_cast<char16_t>(c);
    } else {
      // Below 0x80 only the literals and the escapes are written.
      const auto cp = c >= 0x80 ? Utf8At(field, i) : std::nullopt;
      if (!cp) return std::nullopt;
      AppendUtf16(out, *cp);
      i += Utf8Length(*cp) - 1;
    }
  }
  return out;
}

}  // namespace varnix
