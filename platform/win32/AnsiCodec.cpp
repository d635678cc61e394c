// ANSI code pages on Windows, through the program's one text conversion.
#include "text/AnsiCodec.h"

#include "win32/WinText.h"

namespace varnix {
namespace {

// wchar_t is UTF-16 on Windows: the units are copied as they are.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

class Win32Codec final : public AnsiCodec {
 public:
  explicit Win32Codec(UINT codePage) : codePage_(codePage) {}

  std::u16string ToUtf16(std::string_view ansi) const override {
    const std::wstring wide = win32::ToWide(codePage_, ansi);
    return std::u16string(wide.begin(), wide.end());
  }

 private:
  UINT codePage_;
};

}  // namespace

std::unique_ptr<AnsiCodec> MakeCodePageCodec(int codePage) {
  return std::make_unique<Win32Codec>(static_cast<UINT>(codePage));
}

std::unique_ptr<AnsiCodec> MakeSystemAnsiCodec() { return std::make_unique<Win32Codec>(CP_ACP); }

}  // namespace varnix
