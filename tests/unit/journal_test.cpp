// The outbox journal over an in-memory file: the exact lines it writes, what
// it recovers from a file cut or corrupted anywhere, compaction, and the
// rule that a part that may have reached the modem is never sent again.
#include "outbox/Journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/JournalText.h"
#include "support/MemoryJournalStore.h"

namespace varnix {
namespace {

using testing::Ansi;
using testing::Describe;
using testing::Frame;
using testing::Lines;
using testing::MemoryJournalStore;
using testing::Same;
using testing::Uni;

const std::string kHeader = "H Varnix-journal 1 18 28f775e4\n";

TEST(Journal, Crc32KnownAnswers) {
  EXPECT_EQ(Crc32(""), 0u);
  EXPECT_EQ(Crc32("123456789"), 0xCBF43926u);
  EXPECT_EQ(Crc32("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

// Each call and the line it adds; CRCs by zlib.crc32.
TEST(Journal, WritesTheseLines) {
  struct Case {
    std::function<bool(Journal&)> call;
    std::string line;
  };
  const std::u16string emoji = u"\xD83Dx\U0001F600\x7F";  // a lone high surrogate first
  const std::vector<Case> cases = {
      {[](Journal& j) { return j.Accepted(Ansi(1, "10086,Hello world")); },
       "A 1 a 10086,Hello%20world - 27 de07726f\n"},
      {[](Journal& j) { return j.Accepted(Uni(2, "13800138000,", u"\u4F60\u597D 50%")); },
       "A 2 u 13800138000, \xe4\xbd\xa0\xe5\xa5\xbd%2050%25 33 825745a9\n"},
      {[](Journal& j) { return j.Accepted(Ansi(3, "10010,\xC4\xE3\n\tx")); },
       "A 3 a 10010,%C4%E3%0A%09x - 27 4c0d88a0\n"},
      {[&](Journal& j) { return j.Accepted(Uni(4, "10010,", emoji)); },
       "A 4 u 10010, %uD83Dx\xf0\x9f\x98\x80%7F 27 35283224\n"},
      {[](Journal& j) { return j.Accepted(ClientMessage{5, "", false, u"-"}); },
       "A 5 a - %2D 11 bf85c0c7\n"},
      {[](Journal& j) { return j.Accepted(Uni(6, "1,", u"\u07FF\u0800")); },
       "A 6 u 1, \xdf\xbf\xe0\xa0\x80 14 b355a8e9\n"},
      {[](Journal& j) { return j.PartGoingOut(2, 1); }, "G 2 1 5 6f76c91c\n"},
      {[](Journal& j) { return j.AttemptFailed(2, 1); }, "F 2 1 5 5216e0ac\n"},
      {[](Journal& j) { return j.PartSent(1, 1, 42); }, "S 1 1 42 8 7cf6928f\n"},
      {[](Journal& j) { return j.PartSent(3, 2, -1); }, "S 3 2 -1 8 218264c8\n"},
      {[](Journal& j) { return j.Finished(1, MessageState::kSent, "42"); },
       "E 1 sent 42 11 4fafff79\n"},
      {[](Journal& j) { return j.Finished(4, MessageState::kFailed, "part 2: +CMS ERROR: 500"); },
       "E 4 failed part%202:%20+CMS%20ERROR:%20500 42 3388997d\n"},
  };
  MemoryJournalStore store;
  Journal journal(store);
  EXPECT_EQ(Describe(journal.Load()), "last=0");
  std::string expected = kHeader;
  EXPECT_EQ(store.bytes, expected);
  for (const Case& c : cases) {
    EXPECT_TRUE(c.call(journal)) << c.line;
    expected += c.line;
    EXPECT_EQ(store.bytes, expected);
  }
  // And read back exactly as accepted.
  Journal again(store);
  const Recovery r = again.Load();
  EXPECT_EQ(Describe(r), "last=6 2[] 3[2:-1] 5[] 6[]");
  ASSERT_EQ(r.messages.size(), 4u);
  EXPECT_TRUE(Same(r.messages[0].message, Uni(2, "13800138000,", u"\u4F60\u597D 50%")));
  EXPECT_TRUE(Same(r.messages[1].message, Ansi(3, "10010,\xC4\xE3\n\tx")));
  EXPECT_TRUE(Same(r.messages[2].message, ClientMessage{5, "", false, u"-"}));
  EXPECT_TRUE(Same(r.messages[3].message, Uni(6, "1,", u"\u07FF\u0800")));
  EXPECT_EQ(r.bytesCut, 0u);
}

TEST(Journal, RefusesWhatDoesNotFit) {
  MemoryJournalStore store;
  Journal journal(store);
  EXPECT_FALSE(journal.Accepted(Ansi(1, "1,x"))) << "before Load";
  journal.Load();
  EXPECT_FALSE(journal.Accepted(Ansi(0, "1,x"))) << "no id";
  EXPECT_TRUE(journal.Accepted(Ansi(3, "1,x")));
  EXPECT_FALSE(journal.Accepted(Ansi(3, "1,y"))) << "the same id";
  EXPECT_FALSE(journal.Accepted(Ansi(2, "1,y"))) << "a lower id";
  EXPECT_FALSE(journal.PartGoingOut(9, 1)) << "unknown id";
  EXPECT_FALSE(journal.PartGoingOut(3, 0));
  EXPECT_FALSE(journal.PartGoingOut(3, 256));
  EXPECT_TRUE(journal.PartGoingOut(3, 1));
  EXPECT_FALSE(journal.PartGoingOut(3, 2)) << "part 1 has no verdict yet";
  EXPECT_FALSE(journal.PartSent(3, 2, 5)) << "part 1 has no verdict yet";
  EXPECT_TRUE(journal.PartSent(3, 1, 5));
  EXPECT_FALSE(journal.PartSent(3, 1, 6)) << "sent twice";
  EXPECT_FALSE(journal.PartGoingOut(3, 1)) << "sent already";
  EXPECT_FALSE(journal.Finished(3, MessageState::kRetry, "10 no prompt"));
  EXPECT_FALSE(journal.Finished(3, MessageState::kQueued, ""));
  EXPECT_TRUE(journal.Finished(3, MessageState::kSent, "5"));
  EXPECT_FALSE(journal.Finished(3, MessageState::kSent, "5")) << "over already";
  EXPECT_FALSE(journal.PartSent(3, 2, 5)) << "over already";
  EXPECT_EQ(Lines(store.bytes).size(), 5u);  // H A G S E: nothing refused was written
}

// The sample: ANSI and unicode messages, several parts, every kind of
// record; after each step, what a restart must find.
struct SampleStep {
  std::function<bool(Journal&)> call;
  const char* after;
};
const std::vector<SampleStep>& Sample() {
  static const std::vector<SampleStep> steps = {
      {[](Journal& j) { return j.Accepted(Ansi(1, "10086,Hello world")); }, "last=1 1[]"},
      {[](Journal& j) { return j.Accepted(Uni(2, "13800138000,", u"\u4F60\u597D")); },
       "last=2 1[] 2[]"},
      {[](Journal& j) { return j.PartGoingOut(1, 1); }, "last=2 1[]! 2[]"},
      {[](Journal& j) { return j.PartSent(1, 1, 42); }, "last=2 1[1:42] 2[]"},
      {[](Journal& j) { return j.Finished(1, MessageState::kSent, "42"); }, "last=2 2[]"},
      {[](Journal& j) { return j.Accepted(Ansi(3, "10010," + std::string(200, 'y'))); },
       "last=3 2[] 3[]"},
      {[](Journal& j) { return j.PartGoingOut(2, 1); }, "last=3 2[]! 3[]"},
      {[](Journal& j) { return j.AttemptFailed(2, 1); }, "last=3 2[] 3[]"},
      {[](Journal& j) { return j.PartGoingOut(3, 1); }, "last=3 2[] 3[]!"},
      {[](Journal& j) { return j.PartSent(3, 1, 7); }, "last=3 2[] 3[1:7]"},
      {[](Journal& j) { return j.PartGoingOut(3, 2); }, "last=3 2[] 3[1:7]!"},
      {[](Journal& j) { return j.PartSent(3, 2, -1); }, "last=3 2[] 3[1:7,2:-1]"},
      {[](Journal& j) { return j.Accepted(Ansi(4, "10000,x")); }, "last=4 2[] 3[1:7,2:-1] 4[]"},
      {[](Journal& j) { return j.Finished(2, MessageState::kFailed, "+CMS ERROR: 500"); },
       "last=4 3[1:7,2:-1] 4[]"},
      {[](Journal& j) { return j.PartGoingOut(3, 3); }, "last=4 3[1:7,2:-1]! 4[]"},
      {[](Journal& j) { return j.Accepted(Uni(5, "10000,", u"\xDE00 ok")); },
       "last=5 3[1:7,2:-1]! 4[] 5[]"},
  };
  return steps;
}

// What a restart finds after `lines` whole lines of the sample survived.
std::string SampleAfter(std::size_t lines) {
  return lines <= 1 ? "last=0" : Sample()[lines - 2].after;
}

std::string WriteSample() {
  MemoryJournalStore store;
  Journal journal(store);
  journal.Load();
  for (const SampleStep& s : Sample()) EXPECT_TRUE(s.call(journal)) << s.after;
  return store.bytes;
}

TEST(Journal, RecoversFromEveryCutPoint) {
  const std::string full = WriteSample();
  const std::vector<std::string> lines = Lines(full);
  ASSERT_EQ(lines.size(), Sample().size() + 1);
  std::size_t whole = 0, intact = 0;  // lines and bytes before the cut
  for (std::size_t cut = 0; cut <= full.size(); ++cut) {
    if (whole < lines.size() && intact + lines[whole].size() == cut) intact += lines[whole++].size();
    SCOPED_TRACE("cut at byte " + std::to_string(cut));
    MemoryJournalStore store;
    store.bytes = full.substr(0, cut);
    Journal journal(store);
    const Recovery r = journal.Load();
    ASSERT_EQ(Describe(r), SampleAfter(whole));
    EXPECT_EQ(r.bytesCut, cut - intact);
    // Cut back to the last whole record, so that the next one follows it.
    EXPECT_EQ(store.bytes, whole == 0 ? kHeader : full.substr(0, intact));
    for (const RecoveredMessage& m : r.messages) {
      if (m.message.id == 3) {
        EXPECT_EQ(m.message.entry, "10010," + std::string(200, 'y'));
      }
      if (m.message.id == 5) {
        EXPECT_EQ(m.message.text16, u"\xDE00 ok");
      }
    }
    ASSERT_TRUE(journal.Accepted(Ansi(r.lastId + 1, "1,next")));
    Journal again(store);
    const std::string before = SampleAfter(whole);  // "last=<n> <messages>"
    const std::string next = std::to_string(r.lastId + 1);
    EXPECT_EQ(Describe(again.Load()), "last=" + next +
                                          before.substr(std::min(before.find(' '), before.size())) +
                                          ' ' + next + "[]");
  }
}

TEST(Journal, ACorruptByteCutsFromItsRecord) {
  const std::string full = WriteSample();
  const std::vector<std::string> lines = Lines(full);
  std::size_t line = 0, lineStart = 0;
  for (std::size_t at = 0; at < full.size(); ++at) {
    if (at == lineStart + lines[line].size()) lineStart += lines[line++].size();
    SCOPED_TRACE("byte " + std::to_string(at) + " of line " + std::to_string(line));
    MemoryJournalStore store;
    store.bytes = full;
    store.CorruptByte(at);
    Journal journal(store);
    const Recovery r = journal.Load();
    ASSERT_EQ(Describe(r), SampleAfter(line));
    EXPECT_EQ(r.bytesCut, full.size() - lineStart);
  }
}

// Lines that are whole and pass their check but say something that cannot
// be: each cuts the journal from there.
TEST(Journal, ARecordThatDoesNotFitCutsFromThere) {
  const std::vector<std::pair<std::vector<std::string>, const char*>> cases = {
      {{"A 1 a 1,x -", "G 2 1"}, "last=1 1[]"},
      {{"A 1 a 1,x -", "A 1 a 1,y -"}, "last=1 1[]"},
      {{"A 2 a 1,x -", "A 1 a 1,y -"}, "last=2 2[]"},
      {{"A 1 a 1,x -", "S 1 1 4", "S 1 1 5"}, "last=1 1[1:4]"},
      {{"A 1 a 1,x -", "G 1 1", "G 1 2"}, "last=1 1[]!"},
      {{"A 1 a 1,x -", "E 1 sent 4", "S 1 1 4"}, "last=1"},
      {{"A 1 a 1,x -", "L 5", "A 3 a 1,x -"}, "last=5 1[]"},
      {{"A 4 a 1,x -", "L 3"}, "last=4 4[]"},
      {{"A 1 a 1,x -", "E 1 retry 10%20x"}, "last=1 1[]"},
      {{"A 1 a 1,x -", "A 01 a 1,x -"}, "last=1 1[]"},
      {{"A 1 a 1,x -", "A 02 a 1,x -"}, "last=1 1[]"},
      {{"A 1 a 1,x -", "G 1 256"}, "last=1 1[]"},
      {{"A 1 a 1,x -", "S 1 1 -2"}, "last=1 1[]"},
      {{"A 1 a 1,x%2 -"}, "last=0"},
      {{"A 1 a 1,x%e9 -"}, "last=0"},
      {{"A 1 a 1,\xC4 -"}, "last=0"},
      {{"A 1 u 1, %80"}, "last=0"},
      {{"A 1 u 1, \xC0\x80"}, "last=0"},
      {{"A 1 u 1, \xED\xA0\x80"}, "last=0"},
      {{"A 1 u 1, \xED\xB0\x80"}, "last=0"},
      {{"A 1 u 1, \xE0\x82\x80"}, "last=0"},
      {{"A 1 a 1,x"}, "last=0"},
      {{"A 1 a 1,x - -"}, "last=0"},
      {{"H Varnix-journal 1"}, "last=0"},
      {{"Q 1"}, "last=0"},
  };
  for (const auto& [payloads, expected] : cases) {
    std::string bytes = kHeader;
    for (const std::string& p : payloads) bytes += Frame(p);
    SCOPED_TRACE(payloads.back());
    MemoryJournalStore store;
    store.bytes = bytes;
    Journal journal(store);
    const Recovery r = journal.Load();
    EXPECT_EQ(Describe(r), expected);
    EXPECT_EQ(r.bytesCut, Frame(payloads.back()).size());
  }
  // A journal that does not begin with the header is not one.
  MemoryJournalStore store;
  store.bytes = Frame("A 1 a 1,x -");
  Journal journal(store);
  EXPECT_EQ(Describe(journal.Load()), "last=0");
  EXPECT_EQ(store.bytes, kHeader);
}

}  // namespace
}  // namespace varnix
