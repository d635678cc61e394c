// ANSI code pages on Windows: MultiByteToWideChar.
#include <windows.h>

#include "uMeter/AnsiCodec.h"

namespace varnix {
namespace {

class Win32Codec final : public AnsiCodec {
 public:
  explicit Win32Codec(UINT codePage) : codePage_(codePage) {}

  std::u16string ToUtf16(std::string_view ansi) const override {
    std::u16string out;
    if (ansi.empty()) return out;
    const int inLen = static_cast<int>(ansi.size());
    int n = MultiByteToWideChar(codePage_, 0, ansi.data(), inLen, nullptr, 0);
    if (n <= 0) return out;
    out.resize(static_cast<size_t>(n));
    MultiByteToWideChar(codePage_, 0, ansi.data(), inLen, reinterpret_cast<wchar_t*>(out.data()),
                        n);
    return out;
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
