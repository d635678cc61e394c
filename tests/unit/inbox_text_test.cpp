#include "inbox/InboxText.h"
#include "text/Utf.h"

#include <gtest/gtest.h>

#include <string>

namespace varnix {
namespace {

TEST(InboxText, EscapesEverythingThatCouldBreakALineOrAField) {
  struct Case {
    std::u16string field;
    std::u16string escaped;
  };
  const Case cases[] = {
      {u"", u""},
      {u"plain 你好 \U0001F600 €", u"plain 你好 \U0001F600 €"},
      {u"a\tb", u"a\\tb"},
      {u"line1\r\nline2\n", u"line1\\r\\nline2\\n"},
      {u"C:\\path\\n", u"C:\\\\path\\\\n"},  // a backslash before an n stays two characters
      {u"\\t", u"\\\\t"},
      {std::u16string(u"nul\0end", 7), u"nul\\x00end"},
      {u"\x01\x1B\x1F\x7F", u"\\x01\\x1B\\x1F\\x7F"},
      {u"\f\v", u"\\x0C\\x0B"},
      {u"\u0085\u009F\u00A0", u"\\x85\\x9F\u00A0"},  // C1 controls; NBSP is text
      {u"a\u2028b\u2029c", u"a\\u2028b\\u2029c"},
      {u"x\xD83Dy", u"x\uFFFDy"},  // lone high half
      {u"\xDE00z\xD83D", u"\uFFFDz\uFFFD"},  // lone low half, high half at the end
      {u"\uFFFD\uFEFF", u"\uFFFD\uFEFF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf8Of(c.field));
    const std::u16string e = EscapeInboxField(c.field);
    EXPECT_EQ(e, c.escaped);
    // Whatever came in: no control character and no lone half is left.
    for (std::size_t i = 0; i < e.size(); ++i) {
      EXPECT_FALSE(e[i] < 0x20 || (e[i] >= 0x7F && e[i] <= 0x9F) || e[i] == 0x2028 ||
                   e[i] == 0x2029);
    }
  }
}

TEST(InboxText, LineHasFourFieldsAndTheZone) {
  ReceivedMessage m;
  m.sender = u"+8613800138000";
  m.time = SmsTime{2026, 12, 8, 12, 34, 56, 32};
  m.text = u"你好\tworld\r\n[…]";
  EXPECT_EQ(InboxLine(1, m), u"1\t+8613800138000\t2026-12-08 12:34:56+08:00\t你好\\tworld\\r\\n[…]");

  m.sender = u"Var\tnix\n";  // an alphanumeric sender is outside text as well
  m.time.zoneQuarters = -14;
  m.text = u"";
  EXPECT_EQ(InboxLine(18446744073709551615u, m),
            u"18446744073709551615\tVar\\tnix\\n\t2026-12-08 12:34:56-03:30\t");

  // However hostile sender and text are, the line is one line of four fields.
  std::u16string hostile;
  for (char16_t u = 0; u < 0x100; ++u) hostile.push_back(u);
  hostile += u"\u2028\u2029\xD800";
  m.sender = hostile;
  m.text = hostile + hostile;
  const std::u16string line = InboxLine(7, m);
  int tabs = 0;
  for (char16_t u : line) {
    EXPECT_NE(u, u'\n');
    EXPECT_NE(u, u'\r');
    tabs += u == u'\t';
  }
  EXPECT_EQ(tabs, 3);
}

TEST(InboxText, Utf8OfEveryLength) {
  EXPECT_EQ(Utf8Of(u""), "");
  EXPECT_EQ(Utf8Of(u"A\u007F"), "A\x7F");
  EXPECT_EQ(Utf8Of(u"\u0080\u07FF"), "\xC2\x80\xDF\xBF");
  EXPECT_EQ(Utf8Of(u"\u0800你\uFFFF"), "\xE0\xA0\x80\xE4\xBD\xA0\xEF\xBF\xBF");
  EXPECT_EQ(Utf8Of(u"\U00010000\U0001F600\U0010FFFF"),
            "\xF0\x90\x80\x80\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(Utf8Of(std::u16string(u"\0", 1)), std::string("\0", 1));
  // Lone halves, in every place: U+FFFD each.
  EXPECT_EQ(Utf8Of(u"\xD83D"), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8Of(u"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(Utf8Of(u"\xD83D\xD83D\xDE00"), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

}  // namespace
}  // namespace varnix
