#include "outbox/JournalFields.h"

#include <cstddef>

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


void PutUtf8(std::string& out, char32_t cp) {
  if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  }
  out += static_cast<char>(0x80 | (cp & 0x3F));
}

bool IsHigh(char16_t u) { return u >= 0xD800 && u < 0xDC00; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u < 0xE000; }


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


// One UTF-8 sequence at s[i]: the code point, or nullopt for anything that
// is not the shortest form of a scalar value.
std::optional<char32_t> Utf8At(std::string_view s, std::size_t& i) {
  const unsigned char lead = static_cast<unsigned char>(s[i]);
  int extra = 0;
  char32_t cp = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (s.size() - i <= static_cast<std::size_t>(extra)) return std::nullopt;
  for (int k = 1; k <= extra; ++k) {
    const unsigned char c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (c & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) return std::nullopt;
  i += static_cast<std::size_t>(extra);
  return cp;
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
    } else if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
      PutUtf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHigh(u) || IsLow(u)) {
      out += "%u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(u >> shift) & 15];
    } else {
      PutUtf8(out, u);
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
      const auto cp = Utf8At(field, i);
      if (!cp) return std::nullopt;
      if (*cp >= 0x10000) {
        out += static_cast<char16_t>(0xD800 + ((*cp - 0x10000) >> 10));
        out += static_cast<char16_t>(0xDC00 + ((*cp - 0x10000) & 0x3FF));
      } else {
        out += static_cast<char16_t>(*cp);
      }
    }
  }
  return out;
}

}  // namespace varnix
