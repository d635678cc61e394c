// ANSI code pages for the native build, through iconv. Used by the native
// tests so that GBK text is encoded exactly as Windows would convert it.
#include <iconv.h>

#include <cerrno>
#include <string>
#include <vector>

#include "text/AnsiCodec.h"

namespace varnix {
namespace {

class IconvCodec final : public AnsiCodec {
 public:
  explicit IconvCodec(std::string charset) : charset_(std::move(charset)) {}

  std::u16string ToUtf16(std::string_view ansi) const override {
    std::u16string out;
    if (ansi.empty()) return out;
    // UTF-16LE on purpose: "UTF-16" would prepend a byte-order mark.
    iconv_t cd = iconv_open("UTF-16LE", charset_.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return out;
    std::vector<char> in(ansi.begin(), ansi.end());
    char* inPtr = in.data();
    size_t inLeft = in.size();
    std::vector<char> buf(in.size() * 4 + 8);
    while (inLeft > 0) {
      char* outPtr = buf.data();
      size_t outLeft = buf.size();
      size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
      Append(out, buf.data(), buf.size() - outLeft);
      if (r == static_cast<size_t>(-1) && errno != E2BIG) {
        // An invalid or truncated sequence: one replacement character for
        // the offending byte, then carry on, as MultiByteToWideChar does.
        out.push_back(u'\uFFFD');
        ++inPtr;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
      }
    }
    iconv_close(cd);
    return out;
  }

 private:
  static void Append(std::u16string& out, const char* bytes, size_t n) {
    for (size_t i = 0; i + 1 < n; i += 2) {
      out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                          (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
  }

  std::string charset_;
};

}  // namespace

std::unique_ptr<AnsiCodec> MakeCodePageCodec(int codePage) {
  return std::make_unique<IconvCodec>("CP" + std::to_string(codePage));
}

std::unique_ptr<AnsiCodec> MakeSystemAnsiCodec() { return MakeCodePageCodec(1252); }

}  // namespace varnix
