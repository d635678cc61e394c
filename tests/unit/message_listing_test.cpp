// The answer to "AT+CMGL=4": its entries, what does not parse, and the
// bound; read through the line reader in virtual time.
#include "modem/MessageListing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/PromptBench.h"

namespace varnix {
namespace {

using testing::PromptModem;

TEST(MessageListing, EntriesOfAnAnswer) {
  struct Case {
    std::string name;
    std::vector<std::string> lines;
    std::vector<ListedPdu> entries;
    std::size_t skipped;
  };
  const std::vector<Case> cases = {
      {"empty alpha", {"+CMGL: 1,0,,23", "07AB", "+CMGL: 12,1,,5", "0CD"},
       {{1, 0, 23, "07AB"}, {12, 1, 5, "0CD"}}, 0},
      {"an alpha with commas, blanks around fields",
       {"+CMGL: 3, 1, \"Doe, John\", 40", "  0011  "}, {{3, 1, 40, "0011"}}, 0},
      {"no alpha field at all", {"+CMGL: 4,0,17", "AA"}, {{4, 0, 17, "AA"}}, 0},
      {"the largest index and length", {"+CMGL: 99999,1,,255", "AB"}, {{99999, 1, 255, "AB"}}, 0},
      {"stored outgoing kept, but not received", {"+CMGL: 5,2,,10", "BB", "+CMGL: 6,3,,10", "CC"},
       {{5, 2, 10, "BB"}, {6, 3, 10, "CC"}}, 0},
      {"a PDU line lost before the next header",
       {"+CMGL: 7,0,,10", "+CMGL: 8,0,,10", "DD", "+CMGL: 9,1,,10"},
       {{7, 0, 10, ""}, {8, 0, 10, "DD"}, {9, 1, 10, ""}}, 0},
      {"headers that do not parse go with their PDU line",
       {"+CMGL: x,0,,10", "EE", "+CMGL: 1,0", "FF", "+CMGL: 2,0,,-3", "11", "+CMGL: 100000,0,,3",
        "22", "+CMGL: 3,0,,256", "33", "+CMGL: 10,1,,1", "44"},
       {{10, 1, 1, "44"}}, 5},
      {"lines outside any entry", {"stray", "+CMGL: 2,1,,3", "55", "66"}, {{2, 1, 3, "55"}}, 2},
      {"an index listed twice: the first counts",
       {"+CMGL: 2,1,,3", "55", "+CMGL: 2,0,,4", "77"}, {{2, 1, 3, "55"}}, 1},
  };
  for (const Case& c : cases) {
    const MessageListing listing = ParseMessageListing(c.lines);
    EXPECT_EQ(listing.entries, c.entries) << c.name;
    EXPECT_EQ(listing.skipped, c.skipped) << c.name;
  }
  EXPECT_TRUE((ListedPdu{1, 0, 3, "x"}.Received()));
  EXPECT_TRUE((ListedPdu{1, 1, 3, "x"}.Received()));
  EXPECT_FALSE((ListedPdu{1, 2, 3, "x"}.Received()));
  EXPECT_FALSE((ListedPdu{1, 3, 3, "x"}.Received()));

  std::vector<std::string> many;
  for (int i = 0; i < 5; ++i) many.insert(many.end(), {"+CMGL: " + std::to_string(i) + ",0,,1", "00"});
  const MessageListing bounded = ParseMessageListing(many, 3);
  ASSERT_EQ(bounded.entries.size(), 3u);
  EXPECT_EQ(bounded.entries.back().index, 2);
  EXPECT_EQ(bounded.skipped, 2u);
}

struct ReaderBench {
  testing::Deadline deadline{"the listing in virtual time"};
  std::vector<testing::Event> log;
  testing::VirtualClock clock{log};
  PromptModem modem{clock, log};
  testing::VirtualReaderClock readerClock{clock};
  ModemLineReader reader{modem, readerClock};
};

std::string Listing(int entries) {
  std::string out = "\r\n";
  for (int i = 1; i <= entries; ++i)
    out += "+CMGL: " + std::to_string(i) + ",1,,3\r\n0000" + std::to_string(i % 10) + "1\r\n";
  return out + "\r\nOK\r\n";
}

TEST(MessageListing, AListingThroughTheReaderKeepsFarMoreThanSixteenLinesButStaysBounded) {
  for (int stored : {20, 300, 301, 400}) {
    ReaderBench b;
    b.modem.edit = [&](const std::string&, int, std::vector<PromptModem::Chunk>& a) {
      a = {{30, Listing(stored)}};
    };
    const MessageListing listing = ListStoredMessages(b.reader);
    EXPECT_EQ(b.log.front().what, "send:AT+CMGL=4\r");
    EXPECT_TRUE(listing.complete);
    const std::size_t kept = std::min<std::size_t>(stored, kMaxListedEntries);
    ASSERT_EQ(listing.entries.size(), kept) << stored;
    EXPECT_EQ(listing.entries.back(), (ListedPdu{static_cast<int>(kept), 1, 3,
                                                 "0000" + std::to_string(kept % 10) + "1"}));
    // What the reader still kept beyond the bound is counted.
    EXPECT_EQ(listing.skipped, stored > 300 ? 1u : 0u) << stored;
  }
}

TEST(MessageListing, NothingOfAnAnswerThatFailedOrCameTooLateCounts) {
  struct Case {
    std::string name;
    std::vector<PromptModem::Chunk> answer;
    ModemResult result;
    long elapsed;
  };
  const std::string two = "+CMGL: 1,0,,3\r\nAABBCC\r\n+CMGL: 2,0,,3\r\nAABBCC\r\n";
  const std::vector<Case> cases = {
      {"text mode", {{20, "\r\nERROR\r\n"}}, ModemResult::kError, 20},
      {"store error", {{20, "\r\n+CMS ERROR: 321\r\n"}}, ModemResult::kCmsError, 20},
      {"silent", {}, ModemResult::kTimeout, kListingTimeout.count()},
      {"OK after the time-out", {{10, two}, {kListingTimeout.count() + 1, "\r\nOK\r\n"}},
       ModemResult::kTimeout, kListingTimeout.count()},
  };
  for (const Case& c : cases) {
    ReaderBench b;
    b.modem.edit = [&](const std::string&, int, std::vector<PromptModem::Chunk>& a) {
      a = c.answer;
    };
    const MessageListing listing = ListStoredMessages(b.reader);
    EXPECT_FALSE(listing.complete) << c.name;
    EXPECT_TRUE(listing.entries.empty()) << c.name;
    EXPECT_EQ(listing.result, c.result) << c.name;
    EXPECT_EQ(b.clock.now, c.elapsed) << c.name;
  }
}

TEST(MessageListing, DeletingWaitsForOkAtMostFiveSeconds) {
  struct Case {
    std::vector<PromptModem::Chunk> answer;
    bool deleted;
    long elapsed;
  };
  for (const Case& c : {Case{{{15, "\r\nOK\r\n"}}, true, 15},
                        Case{{{15, "\r\n+CMS ERROR: 321\r\n"}}, false, 15},
                        Case{{}, false, 5000}, Case{{{5001, "\r\nOK\r\n"}}, false, 5000}}) {
    ReaderBench b;
    b.modem.edit = [&](const std::string&, int, std::vector<PromptModem::Chunk>& a) {
      a = c.answer;
    };
    EXPECT_EQ(DeleteStoredMessage(b.reader, 17), c.deleted);
    EXPECT_EQ(b.clock.now, c.elapsed);
    EXPECT_EQ(b.log.front().what, "send:AT+CMGD=17\r");
  }
}

}  // namespace
}  // namespace varnix
