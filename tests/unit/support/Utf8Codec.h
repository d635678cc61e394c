// A codec that reads its input as UTF-8: lets the encoder tests name any
// character, surrogate pairs included, whatever the host's code pages.
#pragma once

#include "text/AnsiCodec.h"

namespace varnix::testing {

class Utf8Codec final : public AnsiCodec {
 public:
  std::u16string ToUtf16(std::string_view s) const override {
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      char32_t cp;
      std::size_t len;
      if (c < 0x80) {
        cp = c, len = 1;
      } else if ((c >> 5) == 6) {
        cp = c & 0x1F, len = 2;
      } else if ((c >> 4) == 14) {
        cp = c & 0x0F, len = 3;
      } else {
        cp = c & 0x07, len = 4;
      }
      for (std::size_t k = 1; k < len && i + k < s.size(); ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
      i += len;
      if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
      } else {
        out.push_back(static_cast<char16_t>(cp));
      }
    }
    return out;
  }
};

}  // namespace varnix::testing
