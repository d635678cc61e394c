#include "dde/DdeModel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace varnix {
namespace {

std::vector<std::string> Split(const std::string& bytes) {
  return SplitPokeText(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

using Lines = std::vector<std::string>;

TEST(DdeModel, PokedTextIsSplitIntoLines) {
  const struct {
    std::string poked;
    Lines lines;
  } cases[] = {
      {"1", {"1"}},
      {"1\r\n", {"1"}},
      {"1\n", {"1"}},
      {"1\r", {"1"}},
      {"\r\n", {""}},
      {"\n", {""}},
      {"\r", {""}},
      {"", {}},
      {"a\r\nb", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\rb\nc", {"a", "b", "c"}},
      {"a\n\rb", {"a", "", "b"}},
      {"a\r\n\r\nb", {"a", "", "b"}},
      {"a\r\r\n", {"a", ""}},
      {"a\r\n\r\n", {"a", ""}},
      {" 1 ", {" 1 "}},
      {std::string("ab\0cd", 5), {"ab"}},
      {std::string("\0x", 2), {}},
      {std::string("1\r\n\0\r\nzz", 8), {"1"}},
      {"\xd6\xd0\xce\xc4", {"\xd6\xd0\xce\xc4"}},  // GBK bytes pass through
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Split(c.poked), c.lines) << "poked: [" << c.poked << "]";
  }
}

TEST(DdeModel, PokeNeverReadsPastTheDataSize) {
  // No NUL inside the given size: the text ends at the size.
  const std::string buffer = "12345";
  EXPECT_EQ(SplitPokeText(reinterpret_cast<const std::uint8_t*>(buffer.data()), 3), Lines{"123"});
  EXPECT_EQ(SplitPokeText(reinterpret_cast<const std::uint8_t*>(buffer.data()), 0), Lines{});
  EXPECT_EQ(SplitPokeText(nullptr, 0), Lines{});
  // A CR as the last byte of the size must not peek at the byte after it.
  const std::string crlf = "a\r\n";
  EXPECT_EQ(SplitPokeText(reinterpret_cast<const std::uint8_t*>(crlf.data()), 2), Lines{"a"});
}

TEST(DdeModel, PokeEndingInCrAtTheEndOfItsBlockIsReadNoFurther) {
  // A std::string keeps a NUL after its size, so a look-ahead for the LF of
  // a CR LF one byte too far goes unseen there. Here the data ends exactly
  // where its heap block does, as a poke's handle data can: AddressSanitizer
  // reports any read past it.
  const struct {
    std::string poked;
    Lines lines;
  } cases[] = {
      {"\r", {""}},
      {"1\r", {"1"}},
      {"a\r\nb\r", {"a", "b"}},
      {"a\r\r", {"a", ""}},
      {"a\n\r", {"a", ""}},
      {"13800138000", {"13800138000"}},
  };
  for (const auto& c : cases) {
    auto block = std::make_unique<std::uint8_t[]>(c.poked.size());
    std::memcpy(block.get(), c.poked.data(), c.poked.size());
    EXPECT_EQ(SplitPokeText(block.get(), c.poked.size()), c.lines)
        << ::testing::PrintToString(c.poked);
  }
}

TEST(DdeModel, ServedDataIsLinesWithCrLfThenNul) {
  const struct {
    Lines lines;
    std::string served;
  } cases[] = {
      {{}, std::string("\0", 1)},
      {{""}, std::string("\r\n\0", 3)},
      {{"1"}, std::string("1\r\n\0", 4)},
      {{"a", "b"}, std::string("a\r\nb\r\n\0", 7)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JoinServedData(c.lines), c.served);
  }
}

class RecordingSink : public AdviseSink {
 public:
  void ItemChanged(const TDdeServerItem& item) override {
    seen.emplace_back(item.Name, item.ServedData());
  }
  std::vector<std::pair<std::string, std::string>> seen;
};

TEST(DdeModel, ItemTextWritesAndPokesNotifyEveryTime) {
  TDdeServerConv conv("SMS0");
  RecordingSink sink;
  conv.SetAdviseSink(&sink);
  TDdeServerItem item;
  item.Name = "Status";
  item.SetServerConv(&conv);

  EXPECT_EQ(item.Text(), "");
  EXPECT_TRUE(item.Lines().empty());
  EXPECT_EQ(item.ServedData(), std::string("\0", 1));
  EXPECT_TRUE(sink.seen.empty());

  item.SetText("1");
  item.SetText("1");  // unchanged value: still told
  item.SetText("");   // one empty line, not "no lines"
  ASSERT_EQ(sink.seen.size(), 3u);
  EXPECT_EQ(sink.seen[0].second, std::string("1\r\n\0", 4));
  EXPECT_EQ(sink.seen[1].second, std::string("1\r\n\0", 4));
  EXPECT_EQ(sink.seen[2].second, std::string("\r\n\0", 3));
  EXPECT_EQ(item.Lines(), Lines{""});

  // A poke notifies with the new lines before OnPokeData runs.
  std::vector<std::string> order;
  item.OnPokeData = [&](TDdeServerItem& sender) {
    EXPECT_EQ(&sender, &item);
    order.push_back("poke:" + std::to_string(sink.seen.size()));
  };
  const std::string poked = "x\r\ny\r\n";
  item.StorePoke(reinterpret_cast<const std::uint8_t*>(poked.data()), poked.size());
  ASSERT_EQ(sink.seen.size(), 4u);
  EXPECT_EQ(sink.seen[3].second, std::string("x\r\ny\r\n\0", 7));
  EXPECT_EQ(order, std::vector<std::string>{"poke:4"});
  EXPECT_EQ(item.Text(), "x");

  // SetText turns several lines into exactly one.
  item.SetText("z");
  EXPECT_EQ(item.Lines(), Lines{"z"});
}

TEST(DdeModel, UnicodeItemsServeTheirUtf16LinesAndCfTextThroughTheCodePage) {
  TDdeServerConv conv("SMS0");
  RecordingSink sink;
  conv.SetAdviseSink(&sink);
  TDdeServerItem item;
  item.Name = "Inbox";
  item.Unicode = true;
  item.SetServerConv(&conv);

  // Without the transport's code page: ASCII, "?" for anything else, one
  // "?" for a surrogate pair.
  const struct {
    std::vector<std::u16string> lines;
    std::string text;
    std::u16string unicode;
  } cases[] = {
      {{}, std::string("\0", 1), std::u16string(u"\0", 1)},
      {{u""}, std::string("\r\n\0", 3), std::u16string(u"\r\n\0", 3)},
      {{u"1\tab"}, std::string("1\tab\r\n\0", 7), std::u16string(u"1\tab\r\n\0", 7)},
      {{u"\u4F60\u597D", u"x\U0001F600y"},
       std::string("??\r\nx?y\r\n\0", 10),
       std::u16string(u"\u4F60\u597D\r\nx\U0001F600y\r\n\0", 11)},
      // A lone surrogate is one unit, one "?".
      {{std::u16string{char16_t(0xD800), u'a'}},
       std::string("?a\r\n\0", 5),
       std::u16string{char16_t(0xD800), u'a', u'\r', u'\n', u'\0'}},
  };
  for (const auto& c : cases) {
    item.SetWideLines(c.lines);
    EXPECT_EQ(item.ServedData(), c.text);
    EXPECT_EQ(item.ServedUnicode(), c.unicode);
    EXPECT_EQ(item.WideLines(), c.lines);
  }
  EXPECT_EQ(sink.seen.size(), std::size(cases));  // every write is told
  EXPECT_EQ(sink.seen.back().second, std::string("?a\r\n\0", 5));

  // With the transport's code page: CF_TEXT is narrowed by it when served,
  // so a value set before the code page was known is served right.
  item.SetWideLines({u"\u00E9\u4F60"});
  conv.Narrow = [](std::u16string_view text) {
    std::string out;
    for (char16_t c : text) out += c == u'\u00E9' ? '\xE9' : '?';
    return out;
  };
  EXPECT_EQ(item.ServedData(), std::string("\xE9?\r\n\0", 5));
  EXPECT_EQ(item.Text(), "??");  // Text() is what the write saw

  // SetText and a poke drop the UTF-16 lines: CF_UNICODETEXT widens the
  // ANSI text through the code page then.
  conv.Widen = [](std::string_view text) {
    std::u16string out;
    for (char c : text) out += c == '\xE9' ? u'\u00E9' : static_cast<char16_t>(c);
    return out;
  };
  item.SetText("\xE9z");
  EXPECT_TRUE(item.WideLines().empty());
  EXPECT_EQ(item.ServedUnicode(), std::u16string(u"\u00E9z\r\n\0", 5));
  const std::string poked = "a\r\nb";
  item.StorePoke(reinterpret_cast<const std::uint8_t*>(poked.data()), poked.size());
  EXPECT_EQ(item.ServedUnicode(), std::u16string(u"a\r\nb\r\n\0", 7));

  // A per-conversation item is widened from what it gives that conversation.
  TDdeServerItem id;
  id.Name = "Id";
  id.Unicode = true;
  id.SetServerConv(&conv);
  id.LinesFor = [](ClientKey to) {
    return to == 7 ? std::vector<std::string>{"12"} : std::vector<std::string>{};
  };
  EXPECT_EQ(id.ServedUnicode(7), std::u16string(u"12\r\n\0", 5));
  EXPECT_EQ(id.ServedUnicode(8), std::u16string(u"\0", 1));
  EXPECT_EQ(JoinServedData(std::vector<std::u16string>{u"a", u""}),
            std::u16string(u"a\r\n\r\n\0", 6));
}

TEST(DdeModel, ItemsAreFoundByExactNameOnTheirConversation) {
  TDdeServerConv conv("SMS0");
  TDdeServerItem a, b, unnamed;
  a.Name = "Send";
  b.Name = "SMS";
  a.SetServerConv(&conv);
  b.SetServerConv(&conv);
  unnamed.SetServerConv(&conv);
  EXPECT_EQ(conv.FindItem("Send"), &a);
  EXPECT_EQ(conv.FindItem("SMS"), &b);
  EXPECT_EQ(conv.FindItem("send"), nullptr);
  EXPECT_EQ(conv.FindItem("sms"), nullptr);
  EXPECT_EQ(conv.FindItem("Status"), nullptr);
  EXPECT_EQ(conv.Items().size(), 3u);
  {
    TDdeServerItem gone;
    gone.Name = "Gone";
    gone.SetServerConv(&conv);
    EXPECT_EQ(conv.FindItem("Gone"), &gone);
  }
  EXPECT_EQ(conv.FindItem("Gone"), nullptr);
  EXPECT_EQ(conv.Items().size(), 3u);
  // An item without a conversation has nobody to tell, and must not crash.
  TDdeServerItem loose;
  loose.SetText("1");
  EXPECT_EQ(loose.Text(), "1");
}

TEST(DdeModel, ServiceNameIsTheFileNameCutAtTheFirstDot) {
  const struct {
    const char* path;
    const char* service;
  } cases[] = {
      {"C:\\Program Files\\Varnix\\Varnix.exe", "Varnix"},
      {"C:\\tools\\Varnix.2.00.exe", "Varnix"},
      {"C:\\a.b\\Gateway", "Gateway"},
      {"/home/user/.wine/drive_c/Varnix.exe", "Varnix"},
      {"C:\\mixed/sep\\dde_host.exe", "dde_host"},
      {"Varnix.exe", "Varnix"},
      {"Varnix", "Varnix"},
      {"C:\\dir\\.hidden.exe", ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ServiceNameFromPath(c.path), c.service) << c.path;
  }
}

TEST(DdeModel, TopicsCompareWithoutCaseAndConnectsFollowTheRule) {
  EXPECT_TRUE(SameTopicName("SMS0", "sms0"));
  EXPECT_TRUE(SameTopicName("SmS0", "SMS0"));
  EXPECT_FALSE(SameTopicName("SMS0", "SMS1"));
  EXPECT_FALSE(SameTopicName("SMS0", "SMS0 "));
  EXPECT_FALSE(SameTopicName("SMS", "SMS0"));

  const auto caption = [](std::string_view topic) { return SameTopicName(topic, "Main Window"); };
  const struct {
    bool serviceGiven, serviceMatches;
    const char* topic;
    const char* convName;
    bool accepted;
  } cases[] = {
      {true, true, "SMS0", "SMS0", true},
      {true, true, "sms0", "SMS0", true},
      {false, false, "SMS0", "SMS0", true},   // no service named
      {true, false, "SMS0", "SMS0", false},   // someone else's service
      {true, true, "SMS1", "SMS0", false},
      {true, true, "main window", "SMS0", true},
      {false, false, "MAIN WINDOW", "SMS0", true},
      {true, false, "Main Window", "SMS0", false},
      {true, true, "SMS0", "", false},        // topic not created yet
      {true, true, "", "", false},
      {true, true, "", "SMS0", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AcceptsConnect({c.serviceGiven, c.serviceMatches, c.topic}, c.convName, caption),
              c.accepted)
        << c.topic << " given=" << c.serviceGiven << " match=" << c.serviceMatches;
  }
  EXPECT_FALSE(AcceptsConnect({true, true, "Main Window"}, "SMS0", nullptr));
}

TEST(DdeModel, InitialisationErrorTexts) {
  EXPECT_EQ(DdeInitErrorText(0x4007), "Error occurred when DDE ran out of memory ($04007)");
  EXPECT_EQ(DdeInitErrorText(0x4008), "Error occurred when DDE ran out of memory ($04008)");
  EXPECT_EQ(DdeInitErrorText(0x400A), "DDE Error - conversation not established ($0400a)");
  EXPECT_EQ(DdeInitErrorText(0x4006), "An error returned from DDE  ($04006)");
  EXPECT_EQ(DdeInitErrorText(0x4009), "An error returned from DDE  ($04009)");
  EXPECT_EQ(DdeInitErrorText(0), "An error returned from DDE  ($00)");
}

}  // namespace
}  // namespace varnix
