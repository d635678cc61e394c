// Conversion of 8-bit text in an ANSI code page to UTF-16. The send engine
// gets it injected: Windows uses MultiByteToWideChar, the native tests iconv.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace varnix {

class AnsiCodec {
 public:
  virtual ~AnsiCodec() = default;
  // Bytes that are not valid in the code page become U+FFFD or whatever the
  // platform substitutes; conversion never fails as a whole.
  virtual std::u16string ToUtf16(std::string_view ansi) const = 0;
};

// Implemented per platform (platform/win32, platform/posix).
// The system ANSI code page (CP_ACP on Windows; 1252 natively).
std::unique_ptr<AnsiCodec> MakeSystemAnsiCodec();
// A named Windows code page number, e.g. 936 (GBK) or 1252.
std::unique_ptr<AnsiCodec> MakeCodePageCodec(int codePage);

}  // namespace varnix
