#include "text/Utf.h"

namespace varnix {

char32_t CodePointAt(std::u16string_view text, std::size_t i) {
  const char16_t u = text[i];
  if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
    return 0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00);
  }
  return u;
}

void AppendUtf8(std::string& out, char32_t cp) {
  const std::size_t n = Utf8Length(cp);
  if (n == 1) {
    out += static_cast<char>(cp);
    return;
  }
  static constexpr unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  out += static_cast<char>(kLead[n] | (cp >> (6 * (n - 1))));
  for (std::size_t k = n - 1; k-- > 0;) out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
    return;
  }
  out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
  out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
}

std::optional<char32_t> Utf8At(std::string_view s, std::size_t i) {
  const unsigned char lead = static_cast<unsigned char>(s[i]);
  std::size_t extra = 0;
  char32_t cp = 0;
  if (lead < 0x80) {
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, cp = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (s.size() - i <= extra) return std::nullopt;
  for (std::size_t k = 1; k <= extra; ++k) {
    const unsigned char c = static_cast<unsigned char>(s[i + k]);
    if ((c & 0xC0) != 0x80) return std::nullopt;
    cp = (cp << 6) | (c & 0x3F);
  }
  // The shortest form only: the length the value needs is the length read.
  if (Utf8Length(cp) != extra + 1 || cp > 0x10FFFF || IsSurrogate(cp)) return std::nullopt;
  return cp;
}

std::string Utf8Of(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t cp = CodePointAt(text, i);
    if (cp >= 0x10000) ++i;
    AppendUtf8(out, IsSurrogate(cp) ? 0xFFFD : cp);
  }
  return out;
}

}  // namespace varnix
