#include "inbox/InboxText.h"

#include "text/Utf.h"

namespace varnix {
namespace {

void AppendAscii(std::u16string& out, std::string_view s) {
  for (char c : s) out.push_back(static_cast<char16_t>(c));
}

void AppendHex(std::u16string& out, unsigned value, int digits) {
  static const char d[] = "0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
    out.push_back(static_cast<char16_t>(d[(value >> shift) & 15]));
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
    } else {
      const char32_t cp = CodePointAt(field, i);
      AppendUtf16(out, IsSurrogate(cp) ? 0xFFFD : cp);
      if (cp >= 0x10000) ++i;
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

}  // namespace varnix
