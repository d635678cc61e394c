// Stands in for the Inbox line's text and the time stamp's format until the
// decoder's own implementation is part of this tree; it is then removed.
#include <cstdio>

#include "uMain/InboxText.h"

namespace varnix {

std::string FormatSmsTime(const SmsTime& t, bool withZone) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  std::string out = buffer;
  if (withZone) {
    const int q = t.zoneQuarters < 0 ? -t.zoneQuarters : t.zoneQuarters;
    std::snprintf(buffer, sizeof buffer, "%c%02d:%02d", t.zoneQuarters < 0 ? '-' : '+', q / 4,
                  (q % 4) * 15);
    out += buffer;
  }
  return out;
}

std::u16string EscapeInboxField(std::u16string_view field) {
  std::u16string out;
  for (const char16_t c : field) {
    switch (c) {
      case u'\\': out += u"\\\\"; break;
      case u'\t': out += u"\\t"; break;
      case u'\r': out += u"\\r"; break;
      case u'\n': out += u"\\n"; break;
      default: out += c < 0x20 ? u' ' : c;
    }
  }
  return out;
}

std::u16string InboxLine(std::uint64_t id, const ReceivedMessage& message) {
  std::u16string line;
  for (const char c : std::to_string(id)) line += static_cast<char16_t>(c);
  line += u'\t';
  line += EscapeInboxField(message.sender);
  line += u'\t';
  for (const char c : FormatSmsTime(message.time, true)) line += static_cast<char16_t>(c);
  line += u'\t';
  line += EscapeInboxField(message.text);
  return line;
}

std::string Utf8Of(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace varnix
