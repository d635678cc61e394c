#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dde/ExecuteCommand.h"
#include "support/GuardedBytes.h"
#include "text/AnsiCodec.h"

namespace varnix {
namespace {

using Commands = std::vector<SendCommand>;

// A readable form of a parse, for the failure messages: ASCII as is, the
// rest (and CR, LF, TAB, '"', '\') escaped.
std::string Show(std::u16string_view s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (char16_t c : s) {
    if (c == u'\r') {
      out += "\\r";
    } else if (c == u'\n') {
      out += "\\n";
    } else if (c == u'\t') {
      out += "\\t";
    } else if (c == u'"' || c == u'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += hex[(c >> shift) & 15];
    }
  }
  return out + "\"";
}

std::string Show(ExecuteKind kind, const Commands& commands) {
  std::string out = kind == ExecuteKind::kSend    ? "send"
                    : kind == ExecuteKind::kOther ? "other"
                                                  : "malformed";
  for (const SendCommand& c : commands) out += " (" + Show(c.number) + ", " + Show(c.text) + ")";
  return out;
}

std::string Show(const ParsedExecute& p) {
  return Show(p.kind, p.commands);
}

struct Case {
  std::u16string_view input;
  ExecuteKind kind;
  Commands commands;
};

void Check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    // Where a read past the input faults: "[Se" must not look for the "nd".
    const testing::GuardedBytes input(c.input.data(), c.input.size() * sizeof(char16_t));
    EXPECT_EQ(Show(ParseExecute({input.As<char16_t>(), c.input.size()})), Show(c.kind, c.commands))
        << "input " << Show(c.input);
  }
}

constexpr ExecuteKind kSend = ExecuteKind::kSend;
constexpr ExecuteKind kOther = ExecuteKind::kOther;
constexpr ExecuteKind kMalformed = ExecuteKind::kMalformed;

TEST(ExecuteCommand, WellFormedSends) {
  using namespace std::literals;
  Check({
      {u"[Send(\"13800138000\",\"hello\")]", kSend, {{u"13800138000", u"hello"}}},
      {u"[send(\"1\",\"a\")]", kSend, {{u"1", u"a"}}},
      {u"[SEND(\"1\",\"a\")]", kSend, {{u"1", u"a"}}},
      {u"[sEnD(\"+861\",\"a\")]", kSend, {{u"+861", u"a"}}},
      // Blanks everywhere they may stand, line breaks before and after.
      {u" \t\r\n[ \tSend \t( \t\"1\" \t, \t\"a b\" \t) \t] \t\r\n", kSend, {{u"1", u"a b"}}},
      // Several, in order, with blanks and line breaks between them.
      {u"[Send(\"1\",\"a\")][Send(\"2\",\"b\")]", kSend, {{u"1", u"a"}, {u"2", u"b"}}},
      {u"[Send(\"1\",\"a\")]\r\n \t[send (\"2\", \"b\")]\n\r[SEND(\"3\",\"c\")]\r\n",
       kSend,
       {{u"1", u"a"}, {u"2", u"b"}, {u"3", u"c"}}},
      // "" is one quote, in either string; the brackets, parentheses and
      // commas inside a string are text.
      {u"[Send(\"1\",\"say \"\"hi\"\"\")]", kSend, {{u"1", u"say \"hi\""}}},
      {u"[Send(\"1\",\"\"\"\"\"\")]", kSend, {{u"1", u"\"\""}}},
      {u"[Send(\"+1\"\"2\",\"a\")]", kSend, {{u"+1\"2", u"a"}}},
      {u"[Send(\"1\",\"a)],[Send(\"\"b\")]", kSend, {{u"1", u"a)],[Send(\"b"}}},
      // Line breaks in the text become LF; the number is kept as written.
      {u"[Send(\"1\",\"a\r\nb\rc\nd\")]", kSend, {{u"1", u"a\nb\nc\nd"}}},
      {u"[Send(\"1\",\"\r\r\n\n\r\")]", kSend, {{u"1", u"\n\n\n\n"}}},
      {u"[Send(\" 1\r\n2\r\",\"a\")]", kSend, {{u" 1\r\n2\r", u"a"}}},
      // Chinese, an emoji (a surrogate pair) and even a lone surrogate pass
      // untouched.
      {u"[Send(\"1\",\"\u4F60\u597D\U0001F600!\")]", kSend, {{u"1", u"\u4F60\u597D\U0001F600!"}}},
      {u"[Send(\"1\",\"a\xD83D"
       u"b\")]",
       kSend,
       {{u"1",
         u"a\xD83D"
         u"b"}}},
      // Empty strings parse: refusing them is the caller's business.
      {u"[Send(\"\",\"\")]", kSend, {{u"", u""}}},
      // The string ends at its first NUL.
      {u"[Send(\"1\",\"a\")]\0junk"sv, kSend, {{u"1", u"a"}}},
      {u"[Send(\"1\",\"a\")]\0[Send(\"2\",\"b\")]"sv, kSend, {{u"1", u"a"}}},
  });
}

TEST(ExecuteCommand, NotASend) {
  using namespace std::literals;
  Check({
      {u"", kOther, {}},
      {u" \t\r\n", kOther, {}},
      {u"hello", kOther, {}},
      {u"[Open(x)]", kOther, {}},
      {u"[Open(\"1\",\"a\")][Send(\"1\",\"a\")]", kOther, {}},
      {u"Send(\"1\",\"a\")", kOther, {}},
      {u"x[Send(\"1\",\"a\")]", kOther, {}},
      {u"[Sendx(\"1\",\"a\")]", kOther, {}},
      {u"[Se nd(\"1\",\"a\")]", kOther, {}},
      {u"[Se", kOther, {}},
      {u"[Sen", kOther, {}},
      {u"[Send", kOther, {}},
      {u"[Send]", kOther, {}},
      {u"[Send \"1\"]", kOther, {}},
      // Line breaks may not stand inside the opening.
      {u"[\r\nSend(\"1\",\"a\")]", kOther, {}},
      {u"[Send\n(\"1\",\"a\")]", kOther, {}},
      // A look-alike of 'S' (U+0405) is not the name.
      {u"[\u0405end(\"1\",\"a\")]", kOther, {}},
      {u"\0[Send(\"1\",\"a\")]"sv, kOther, {}},
      {u" [Se\0nd(\"1\",\"a\")]"sv, kOther, {}},
  });
}

TEST(ExecuteCommand, MalformedSends) {
  using namespace std::literals;
  Check({
      {u"  [ send (", kMalformed, {}},
      {u"[Send(", kMalformed, {}},
      // Unclosed quotes.
      {u"[Send(\"1\",\"abc)]", kMalformed, {}},
      {u"[Send(\"1,\"abc)]", kMalformed, {}},
      {u"[Send(\"1\",\"a\"\")]", kMalformed, {}},
      {u"[Send(\"1\",\"a\0\")]"sv, kMalformed, {}},
      // A missing argument, a third one, unquoted ones.
      {u"[Send()]", kMalformed, {}},
      {u"[Send(\"1\")]", kMalformed, {}},
      {u"[Send(\"1\",)]", kMalformed, {}},
      {u"[Send(,\"a\")]", kMalformed, {}},
      {u"[Send(\"1\",\"a\",\"b\")]", kMalformed, {}},
      {u"[Send(1,\"a\")]", kMalformed, {}},
      {u"[Send(\"1\",a)]", kMalformed, {}},
      {u"[Send(\"1\" \"2\",\"a\")]", kMalformed, {}},
      {u"[Send(\"1\" \"a\")]", kMalformed, {}},
      {u"[Send(\"1\",\"a\"b)]", kMalformed, {}},
      // A missing or extra closing.
      {u"[Send(\"1\",\"a\"]", kMalformed, {}},
      {u"[Send(\"1\",\"a\")", kMalformed, {}},
      {u"[Send(\"1\",\"a\"))]", kMalformed, {}},
      {u"[Send(\"1\",\"a\")]]", kMalformed, {}},
      // Line breaks only between commands, not inside one.
      {u"[Send(\"1\",\r\n\"a\")]", kMalformed, {}},
      {u"[Send(\"1\",\"a\")\n]", kMalformed, {}},
      // A later command that is not a well-formed Send spoils them all.
      {u"[Send(\"1\",\"a\")][Open(\"x\")]", kMalformed, {}},
      {u"[Send(\"1\",\"a\")][Sendx(\"2\",\"b\")]", kMalformed, {}},
      {u"[Send(\"1\",\"a\")][Send(\"2\",\"b\"", kMalformed, {}},
      {u"[Send(\"1\",\"a\")][Send(\"2\")]", kMalformed, {}},
      {u"[Send(\"1\",\"a\")][", kMalformed, {}},
      // Junk after the last command.
      {u"[Send(\"1\",\"a\")]x", kMalformed, {}},
      {u"[Send(\"1\",\"a\")] ;", kMalformed, {}},
      {u"[Send(\"1\",\"a\")]\r\n.", kMalformed, {}},
      {u"[Send(\"1\",\"a\")]\u3000", kMalformed, {}},
  });
}

// Many commands, and long strings of quotes: all of it parsed, none lost.
TEST(ExecuteCommand, LongExecutes) {
  std::u16string many;
  for (int i = 0; i < 5000; ++i) {
    many += u"[Send(\"" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10)) +
            u"\",\"x\"\"\")]\r\n";
  }
  const ParsedExecute p = ParseExecute(many);
  ASSERT_EQ(p.kind, kSend);
  ASSERT_EQ(p.commands.size(), 5000u);
  EXPECT_EQ(p.commands[4999].number, u"9");
  EXPECT_EQ(p.commands[4999].text, u"x\"");

  const std::u16string quotes(200000, u'"');
  const ParsedExecute q = ParseExecute(u"[Send(\"1\",\"" + quotes + u"\")]");
  ASSERT_EQ(q.kind, kSend);
  ASSERT_EQ(q.commands.size(), 1u);
  EXPECT_EQ(q.commands[0].text, std::u16string(100000, u'"'));
  // One quote more and the string never closes.
  EXPECT_EQ(ParseExecute(u"[Send(\"1\",\"" + quotes + u"\"\")]").kind, kMalformed);
}

std::u16string FromBytes(const std::vector<std::uint8_t>& bytes, const AnsiCodec& codec) {
  return ExecuteText(bytes.data(), bytes.size(), codec);
}

std::vector<std::uint8_t> Utf16Le(std::u16string_view s) {
  std::vector<std::uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c & 0xFF));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

std::vector<std::uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

TEST(ExecuteCommand, ExecuteTextFromUtf16OrTheAnsiCodePage) {
  using namespace std::literals;
  const auto gbk = MakeCodePageCodec(936);
  const std::u16string send = u"[Send(\"1\",\"\u4F60\u597D\U0001F600\")]";

  // UTF-16LE: up to the first NUL unit, surrogate pairs untouched, an odd
  // last byte dropped.
  EXPECT_EQ(Show(FromBytes(Utf16Le(send), *gbk)), Show(send));
  std::u16string terminated = send;
  terminated += u"\0\0junk"sv;
  std::vector<std::uint8_t> b = Utf16Le(terminated);
  EXPECT_EQ(Show(FromBytes(b, *gbk)), Show(send));
  b = Utf16Le(send);
  b.push_back(0x41);
  EXPECT_EQ(Show(FromBytes(b, *gbk)), Show(send));
  b = Utf16Le(u"[\u4F00");  // a zero high byte is no terminator: 00 4F
  EXPECT_EQ(Show(FromBytes(b, *gbk)), Show(u"[\u4F00"));
  // A first unit with a zero low byte does not have the shape: read as
  // ANSI, it ends at once. No command begins so.
  EXPECT_EQ(Show(FromBytes(Utf16Le(u"\u0100x"), *gbk)), Show(u""));
  EXPECT_EQ(Show(FromBytes({'x', 0}, *gbk)), Show(u"x"));
  EXPECT_EQ(Show(FromBytes({'x', 0, 'y'}, *gbk)), Show(u"x"));

  // ANSI: through the code page, up to the first NUL byte. "你好" in GBK.
  EXPECT_EQ(Show(FromBytes(Bytes("[Send(\"1\",\"\xC4\xE3\xBA\xC3\")]\0junk"sv), *gbk)),
            Show(u"[Send(\"1\",\"\u4F60\u597D\")]"));
  EXPECT_EQ(Show(FromBytes(Bytes("\xC4\xE3\xBA\xC3"), *gbk)), Show(u"\u4F60\u597D"));
  EXPECT_EQ(Show(FromBytes(Bytes("ab"), *gbk)), Show(u"ab"));
  EXPECT_EQ(Show(FromBytes(Bytes("["), *gbk)), Show(u"["));
  EXPECT_EQ(Show(FromBytes(Bytes("\0[Send"sv), *gbk)), Show(u""));
  EXPECT_EQ(Show(FromBytes({}, *gbk)), Show(u""));
  EXPECT_EQ(ExecuteText(nullptr, 0, *gbk), u"");

  // Both reach the parser as the same commands.
  const ParsedExecute fromAnsi =
      ParseExecute(FromBytes(Bytes("[Send(\"1\",\"\xC4\xE3\r\n\")]\0"sv), *gbk));
  EXPECT_EQ(Show(fromAnsi), Show(kSend, {{u"1", u"\u4F60\n"}}));
  const ParsedExecute fromUnicode =
      ParseExecute(FromBytes(Utf16Le(u"[Send(\"1\",\"\u4F60\r\n\")]\0"sv), *gbk));
  EXPECT_EQ(Show(fromUnicode), Show(kSend, {{u"1", u"\u4F60\n"}}));
}

}  // namespace
}  // namespace varnix
