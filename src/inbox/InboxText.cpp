#include "inbox/InboxText.h"

namespace varnix {
namespace {

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendAscii(std::u16string& out, std::string_view s) {
  for (char c : s) out.push_back(static_cast<char16_t>(c));
}

void AppendHex(std::u16string& out, unsigned value, int digits) {
  static const char d[] = "0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out.push_back(static_cast<char16_t>(d[(value >> shift) & 15]));
  }
}

void PutUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::u16string EscapeInboxField(std::u16string_view field) {
  std::u16string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    const char16_t u = field[i];
    switch (u) {
      case u'\\': AppendAscii(out, "\\\\"); continue;
      case u'\t': AppendAscii(out, "\\t"); continue;
      case u'\r': AppendAscii(out, "\\r"); continue;
      case u'\n': AppendAscii(out, "\\n"); continue;
      case u'\u2028':
      case u'\u2029':
        AppendAscii(out, "\\u");
        AppendHex(out, u, 4);
        continue;
      default: break;
    }
    if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
      AppendAscii(out, "\\x");
      AppendHex(out, u, 2);
    } else if (IsHigh(u) && i + 1 < field.size() && IsLow(field[i + 1])) {
      out.push_back(u);
      out.push_back(field[++i]);
    } else if (IsHigh(u) || IsLow(u)) {
      out.push_back(u'\uFFFD');
    } else {
      out.push_back(u);
    }
  }
  return out;
}

std::u16string InboxLine(std::uint64_t id, const ReceivedMessage& message) {
  std::u16string line;
  AppendAscii(line, std::to_string(id));
  line.push_back(u'\t');
  line += EscapeInboxField(message.sender);
  line.push_back(u'\t');
  AppendAscii(line, FormatSmsTime(message.time, true));
  line.push_back(u'\t');
  line += EscapeInboxField(message.text);
  return line;
}

std::string Utf8Of(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
      PutUtf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (IsHigh(u) || IsLow(u)) {
      PutUtf8(out, 0xFFFD);
    } else {
      PutUtf8(out, u);
    }
  }
  return out;
}

}  // namespace varnix
