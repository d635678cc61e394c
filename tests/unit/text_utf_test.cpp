// The one UTF-8 / UTF-16 conversion: each length boundary both ways, and
// every form a strict reader refuses.
#include "text/Utf.h"

#include <gtest/gtest.h>

#include <string>

namespace varnix {
namespace {

TEST(TextUtf, EachBoundaryBothWays) {
  struct Case {
    char32_t cp;
    std::string utf8;
    std::u16string utf16;
  };
  const Case cases[] = {
      {0x00, std::string(1, '\0'), std::u16string(1, u'\0')},
      {0x7F, "\x7F", u"\x7F"},
      {0x80, "\xC2\x80", u"\x80"},
      {0x7FF, "\xDF\xBF", u"\u07FF"},
      {0x800, "\xE0\xA0\x80", u"\u0800"},
      {0xD7FF, "\xED\x9F\xBF", u"\uD7FF"},
      {0xE000, "\xEE\x80\x80", u"\uE000"},
      {0xFFFF, "\xEF\xBF\xBF", u"\uFFFF"},
      {0x10000, "\xF0\x90\x80\x80", u"\U00010000"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<unsigned>(c.cp));
    std::string utf8;
    AppendUtf8(utf8, c.cp);
    EXPECT_EQ(utf8, c.utf8);
    std::u16string utf16;
    AppendUtf16(utf16, c.cp);
    EXPECT_EQ(utf16, c.utf16);
    EXPECT_EQ(CodePointAt(c.utf16, 0), c.cp);
    EXPECT_EQ(Utf8Of(c.utf16), c.utf8);
    EXPECT_EQ(Utf8At(c.utf8, 0), c.cp);
    EXPECT_EQ(Utf8Length(c.cp), c.utf8.size());
    // Cut short, it is refused: the bytes behind the view would complete it.
    for (std::size_t n = 1; n < c.utf8.size(); ++n)
      EXPECT_EQ(Utf8At(std::string_view(c.utf8).substr(0, n), 0), std::nullopt) << n;
  }
  for (const char* bad : {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xE0\x82\x80", "\xE0\x9F\xBF",
                          "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xB0\x80", "\xED\xBF\xBF",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xC2\x41", "\xE0\xA0\xC0"})
    EXPECT_EQ(Utf8At(bad, 0), std::nullopt) << ::testing::PrintToString(std::string(bad));
  // A lone half is itself, also where the view ends before its low half.
  const std::u16string pair = u"\U0001F600";
  EXPECT_EQ(CodePointAt(pair, 0), 0x1F600u);
  EXPECT_EQ(CodePointAt(pair, 1), 0xDE00u);
  EXPECT_EQ(CodePointAt(std::u16string_view(pair).substr(0, 1), 0), 0xD83Du);
  EXPECT_EQ(Utf8Of(u"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace varnix
