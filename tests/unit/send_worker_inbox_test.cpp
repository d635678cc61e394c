// The worker's look into the modem's store in virtual time: when it lists,
// what it hands on and deletes, the reports it matches, and that sending
// always comes first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/InboxBench.h"
#include "sms/SubmitParts.h"

namespace varnix {
namespace {

using testing::DeliverPdu;
using testing::InboxBench;
using testing::StatusReportPdu;
using Strings = std::vector<std::string>;

const std::string kAlice = "+8613800138000";
const std::string kGarbled = "0891683108200005F0040D91683108";  // cut in the sender

// No write to the store may come while a message is under way: from its
// "at+cmgf=0" to its post.
void ExpectNoListingInASend(const InboxBench& b) {
  bool sending = false;
  for (const testing::Event& e : b.log) {
    if (e.what == "send:at+cmgf=0\r") sending = true;
    if (e.what.rfind("post:", 0) == 0) sending = false;
    if (e.what.rfind("send:AT+CMG", 0) == 0) {
      EXPECT_FALSE(sending) << e.at << " " << e.what;
    }
  }
}

TEST(SendWorkerInbox, WithReceiveAndReportOffNotOneByteMoreGoesToTheModem) {
  for (int dialogue : {0, 1}) {
    InboxBench quiet(0, 0, 0, dialogue);
    InboxBench stocked(0, 0, 0, dialogue);
    // The second has a sink, a full store and unsolicited notices.
    stocked.Store(DeliverPdu(kAlice, "hello"));
    stocked.Store(StatusReportPdu(1, kAlice, 0));
    for (InboxBench* b : {&quiet, &stocked}) {
      b->Accept("13800138000,first");
      b->At(65000, [b] { b->Accept("13800138000,second"); });
      b->modem.At(1000, "\r\n+CMTI: \"SM\",3\r\n");
      b->RunUntil(130000);
    }
    EXPECT_EQ(stocked.log, quiet.log) << dialogue;
    EXPECT_TRUE(stocked.sink.offered.empty());
    EXPECT_EQ(stocked.store.size(), 2u);
    EXPECT_TRUE(stocked.TimesOf("AT+CMG").empty());
    // No status report asked for: first octet 11, as always.
    const std::vector<SubmitPdu> pdu = BuildSubmitParts("13800138000", u"first", {});
    EXPECT_EQ(stocked.Kinds("send:" + pdu[0].pdu).size(), 1u) << dialogue;
    EXPECT_EQ(pdu[0].pdu.substr(2, 2), "11");
  }
}

TEST(SendWorkerInbox, ListsEveryReceiveSecondsAndDeletesOnlyOnceTheSinkTookIt) {
  InboxBench b(5, 0);
  b.Store(DeliverPdu(kAlice, "hello"));
  int refusals = 1;
  b.sink.accept = [&](const ReceivedMessage&) { return refusals-- <= 0; };
  b.RunUntil(16000);
  const std::vector<long> listings = b.TimesOf("AT+CMGL=4");
  ASSERT_EQ(listings.size(), 3u);
  EXPECT_EQ(listings[0], 5000);
  for (std::size_t i = 1; i < listings.size(); ++i) {
    EXPECT_GE(listings[i] - listings[i - 1], 5000);
    EXPECT_LE(listings[i] - listings[i - 1], 5100);
  }
  // Refused: it stays. Taken: deleted right after, and never offered again.
  EXPECT_EQ(b.Story(), (Strings{"AT+CMGL=4", "deliver:hello", "AT+CMGL=4", "deliver:hello",
                                "AT+CMGD=1", "AT+CMGL=4"}));
  ASSERT_EQ(b.sink.offered.size(), 2u);
  EXPECT_EQ(b.sink.offered[0].sender, u"+8613800138000");
  EXPECT_EQ(b.sink.offered[0].text, u"hello");
  EXPECT_EQ(FormatSmsTime(b.sink.offered[0].time, true), "2026-12-08 12:00:00+08:00");
  EXPECT_TRUE(b.store.empty());

  // A Receive below the least allowed counts as 5 s.
  InboxBench hasty(2, 0);
  hasty.RunUntil(11000);
  EXPECT_EQ(hasty.TimesOf("AT+CMGL=4"), (std::vector<long>{5000, 10020}));
}

TEST(SendWorkerInbox, SendingComesFirstAndANoticeBringsTheListingForward) {
  // A message queued during the idle wait goes before the listing that is
  // due; one queued while messages are handed on goes before the rest.
  InboxBench b(5, 0);
  for (const char* text : {"one", "two", "three"}) b.Store(DeliverPdu(kAlice, text));
  b.At(5000, [&] { b.Accept("13800138000,x"); });
  b.sink.onDeliver = [&, inner = b.sink.onDeliver](const ReceivedMessage& m) {
    inner(m);
    if (m.text == u"one") b.Accept("13800138000,y");
  };
  b.RunUntil(8000);
  EXPECT_EQ(b.Story(),
            (Strings{"at+cmgf=0", "pdu", "post:1", "AT+CMGL=4", "deliver:one", "AT+CMGD=1",
                     "at+cmgf=0", "pdu", "post:1", "AT+CMGL=4", "deliver:two", "AT+CMGD=2",
                     "deliver:three", "AT+CMGD=3"}));
  ExpectNoListingInASend(b);

  // "+CMTI" during a send: the listing follows the post at once instead
  // of at 5 s.
  for (bool notice : {false, true}) {
    InboxBench n(5, 0);
    n.At(2000, [&] {
      n.Accept("13800138000,x");
      n.Store(DeliverPdu(kAlice, "new"));
      if (notice) n.modem.At(2500, "\r\n+CMTI: \"SM\",1\r\n");
    });
    n.RunUntil(5500);
    ASSERT_EQ(n.TimesOf("AT+CMGL=4").size(), 1u);
    long posted = -1;
    for (const testing::Event& e : n.log)
      if (e.what == "post:1") posted = e.at;
    EXPECT_EQ(n.TimesOf("AT+CMGL=4")[0], notice ? posted : 5000) << notice;
    EXPECT_EQ(n.sink.offered.size(), 1u);
    ExpectNoListingInASend(n);
  }
}

TEST(SendWorkerInbox, AQueueThatNeverEmptiesStillLetsTheListingInBetweenMessages) {
  // Every outcome queues the next message until 40 s, so the worker is
  // never idle: the store is still read once sending kept the turn waiting
  // a whole interval, between two messages, and read to its end although
  // messages wait.
  InboxBench b(5, 0);
  for (const char* text : {"one", "two", "three"}) b.Store(DeliverPdu(kAlice, text));
  b.At(16000, [&] { b.Store(DeliverPdu(kAlice, "four")); });
  b.worker.SetOnOutcome([&](const MessageOutcome&) {
    if (b.clock.now < 40000) b.Accept("13800138000,more");
  });
  b.Accept("13800138000,first");
  b.RunUntil(40000);
  const std::vector<long> listings = b.TimesOf("AT+CMGL=4");
  ASSERT_GE(listings.size(), 3u);
  EXPECT_GE(listings[0], 10000);
  // At most one message of this modem (some 1.5 s) late.
  EXPECT_LE(listings[0], 12000);
  for (std::size_t i = 1; i + 1 < listings.size(); ++i) {
    EXPECT_GE(listings[i] - listings[i - 1], 10000) << i;
    EXPECT_LE(listings[i] - listings[i - 1], 12000) << i;
  }
  EXPECT_EQ(b.Kinds("deliver:"),
            (Strings{"deliver:one", "deliver:two", "deliver:three", "deliver:four"}));
  EXPECT_TRUE(b.store.empty());
  ExpectNoListingInASend(b);
  // Messages went on around the turns: some before the first, many after.
  EXPECT_GT(b.Kinds("post:1").size(), 20u);
  long lastPost = 0;
  for (const testing::Event& e : b.log)
    if (e.what == "post:1") lastPost = e.at;
  EXPECT_GT(lastPost, listings[1]);
}

TEST(SendWorkerInbox, ARetryThatFallsDueDuringATurnGoesBeforeItsRest) {
  InboxBench b(5, 0);
  b.ext.Retries = 1;
  for (const char* text : {"one", "two"}) b.Store(DeliverPdu(kAlice, text));
  b.Accept("13800138000,x");
  int pdus = 0;
  b.modem.edit = [&, inner = b.modem.edit](const std::string& sent, int i,
                                           std::vector<testing::PromptModem::Chunk>& a) {
    inner(sent, i, a);
    if (!sent.empty() && sent.back() == '\x1a' && ++pdus == 1)
      a = {{100, "\r\n+CMS ERROR: 331\r\n"}};
  };
  // The sink takes its time: by the end of the first message the retry
  // (10 s after the failure at 170 ms) is due.
  b.sink.onDeliver = [&, inner = b.sink.onDeliver](const ReceivedMessage& m) {
    inner(m);
    b.clock.now += 6000;
  };
  b.RunUntil(13000);
  EXPECT_EQ(b.Story(), (Strings{"at+cmgf=0", "pdu", "AT+CMGL=4", "deliver:one", "AT+CMGD=1",
                                "at+cmgf=0", "pdu", "post:1", "AT+CMGL=4", "deliver:two",
                                "AT+CMGD=2"}));
}

TEST(SendWorkerInbox, AGarbledPduIsDeletedAndTheOthersStillComeThrough) {
  InboxBench b(5, 0);
  b.Store(DeliverPdu(kAlice, "first"));
  b.Store(kGarbled);
  std::string badHex = DeliverPdu(kAlice, "bad hex");
  badHex[40] = 'Z';
  b.Store(badHex);
  b.Store(DeliverPdu(kAlice, "third"));
  b.Store(kGarbled, 2);                         // a stored outgoing one: not ours
  b.Store(StatusReportPdu(1, kAlice, 0x00));    // a report, with Report 0
  b.RunUntil(6000);
  EXPECT_EQ(b.Story(), (Strings{"AT+CMGL=4", "AT+CMGD=2", "AT+CMGD=3", "deliver:first",
                                "AT+CMGD=1", "deliver:third", "AT+CMGD=4"}));
  EXPECT_EQ(b.store.size(), 2u);
  EXPECT_TRUE(b.store.count(5) && b.store.count(6));
}

TEST(SendWorkerInbox, ThreePartsArrivingThreeOneTwoAreDeliveredOnce) {
  InboxBench b(5, 0);
  b.Store(DeliverPdu(kAlice, "C", {7, 3, 3}));
  b.At(6000, [&] { b.Store(DeliverPdu(kAlice, "A", {7, 3, 1})); });
  b.At(11000, [&] { b.Store(DeliverPdu(kAlice, "B", {7, 3, 2})); });
  b.RunUntil(31000);
  ASSERT_EQ(b.sink.offered.size(), 1u);
  EXPECT_EQ(b.sink.offered[0].text, u"ABC");
  EXPECT_EQ(b.sink.offered[0].parts, 3);
  EXPECT_EQ(b.sink.offered[0].missingParts, 0);
  EXPECT_EQ(b.Kinds("send:AT+CMGD"),
            (Strings{"send:AT+CMGD=1\r", "send:AT+CMGD=2\r", "send:AT+CMGD=3\r"}));
  EXPECT_TRUE(b.store.empty());
  EXPECT_EQ(b.TimesOf("AT+CMGL=4").size(), 6u);
}

TEST(SendWorkerInbox, AnIncompleteMessageGoesOutTenMinutesAfterItsFirstPartWasSeen) {
  InboxBench b(5, 0);
  b.Store(DeliverPdu(kAlice, "start ", {300, 2, 1}));
  b.RunUntil(5000 + 600000 + 5000);
  ASSERT_EQ(b.sink.offered.size(), 1u);
  EXPECT_EQ(b.sink.offered[0].text, u"start [\u2026]");
  EXPECT_EQ(b.sink.offered[0].missingParts, 1);
  // First seen by the listing at 5 s: handed on at the first one 10 minutes
  // after it, not before.
  long at = -1;
  for (const testing::Event& e : b.log)
    if (e.what.rfind("deliver:", 0) == 0) at = e.at;
  EXPECT_GE(at, 5000 + 600000);
  EXPECT_LT(at, 5000 + 600000 + 5100);
  EXPECT_TRUE(b.store.empty());
}

TEST(SendWorkerInbox, ATwoPartMessageIsDeliveredOnlyOnceBothReportsSaySo) {
  // Receive 0 and Report 1: the store is read every 30 s for the reports
  // alone; messages stay in the modem.
  InboxBench b(0, 1, 2);
  const std::string text(100, 'r');  // two parts in UCS-2
  b.Accept(kAlice + "," + text);
  const int message = b.Store(DeliverPdu(kAlice, "stays"));
  b.Store(kGarbled);
  b.At(10000, [&] { b.Store(StatusReportPdu(1, "13800138000", 0x00, 31, 5)); });
  b.At(40000, [&] { b.Store(StatusReportPdu(2, kAlice, 0x21)); });   // still trying
  b.At(70000, [&] { b.Store(StatusReportPdu(2, kAlice, 0x00, 33, 9)); });
  b.RunUntil(95000);
  // Both parts asked for a report (TP-SRR with a header: 71).
  const std::vector<SubmitPdu> parts =
      BuildSubmitParts(kAlice, std::u16string(100, u'r'), {.parts = 2, .statusReport = true});
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].pdu.substr(2, 2), "71");
  EXPECT_EQ(b.Kinds("send:" + parts[0].pdu).size(), 1u);
  EXPECT_EQ(b.Kinds("send:" + parts[1].pdu).size(), 1u);
  EXPECT_EQ(b.TimesOf("AT+CMGL=4").size(), 3u);  // at 30, 60 and 90 s
  EXPECT_EQ(b.Lines(), (Strings{"1\tqueued\t", "1\tsent\t1 2", "1\tdelivered\t2026-12-08 12:33:09"}));
  EXPECT_EQ(b.resultsPosted, 1);
  EXPECT_EQ(b.Kinds("send:AT+CMGD"),
            (Strings{"send:AT+CMGD=3\r", "send:AT+CMGD=4\r", "send:AT+CMGD=5\r"}));
  EXPECT_TRUE(b.sink.offered.empty());
  EXPECT_EQ(b.store.size(), 2u);
  EXPECT_TRUE(b.store.count(message));
  EXPECT_EQ(b.worker.ReportsAwaited(), 0u);
}

TEST(SendWorkerInbox, AFailedReportMakesItUndeliveredAndStrayReportsAreCleared) {
  InboxBench b(5, 1);
  b.Accept("13800138000,x");
  b.At(3000, [&] {
    b.Store(StatusReportPdu(99, kAlice, 0x00));  // no such part
    b.Store(StatusReportPdu(1, "+8613900139000", 0x00));  // another number
    b.Store(StatusReportPdu(1, kAlice, 0x46));
  });
  b.RunUntil(6000);
  EXPECT_EQ(b.Lines(), (Strings{"1\tqueued\t", "1\tsent\t1", "1\tundelivered\tTP-ST 46"}));
  EXPECT_EQ(b.Kinds("send:AT+CMGD").size(), 3u);
  EXPECT_TRUE(b.store.empty());
  const std::vector<SubmitPdu> pdu =
      BuildSubmitParts("13800138000", u"x", {.statusReport = true});
  EXPECT_EQ(pdu[0].pdu.substr(2, 2), "31");
  EXPECT_EQ(b.Kinds("send:" + pdu[0].pdu).size(), 1u);
}

TEST(SendWorkerInbox, AModemInTextModeIsPutInPduModeAndAFailedDeleteIsTriedAgain) {
  InboxBench b(5, 0);
  b.listingErrors = 1;
  b.Store(DeliverPdu(kAlice, "hello"));
  b.failDeletes[1] = 1;
  b.RunUntil(11000);
  // Handed on once: the failed delete is repeated at the next turn, but
  // the message is not offered again.
  EXPECT_EQ(b.Story(), (Strings{"AT+CMGL=4", "at+cmgf=0", "AT+CMGL=4", "deliver:hello",
                                "AT+CMGD=1", "AT+CMGL=4", "AT+CMGD=1"}));
  EXPECT_TRUE(b.store.empty());
}

TEST(SendWorkerInbox, TheClassicDialogueListsBetweenItsMessagesToo) {
  InboxBench b(5, 0, 0, 0);
  b.Store(DeliverPdu(kAlice, "hello"));
  b.Accept("13800138000,x");
  b.At(5000, [&] { b.Accept("13800138000,y"); });
  b.RunUntil(12000);
  EXPECT_EQ(b.sink.offered.size(), 1u);
  EXPECT_TRUE(b.store.empty());
  EXPECT_EQ(b.Kinds("post:"), (Strings{"post:1", "post:1"}));
  ExpectNoListingInASend(b);
  // A sink that is not there leaves everything in the modem.
  InboxBench none(5, 0);
  none.worker.SetInboxSink(nullptr);
  none.Store(DeliverPdu(kAlice, "hello"));
  none.RunUntil(6000);
  EXPECT_EQ(none.Story(), (Strings{"AT+CMGL=4"}));
}

}  // namespace
}  // namespace varnix
