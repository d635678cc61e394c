// The worker and the send rule with the outbox, in virtual time: what is
// journaled as a message goes, what a restart brings back, and what is
// never sent twice.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/MemoryJournalStore.h"
#include "support/PromptBench.h"
#include "outbox/Journal.h"
#include "gateway/Outbox.h"
#include "dde/ResultItems.h"

namespace varnix {
namespace {

using testing::MemoryJournalStore;
using testing::PromptBench;
using testing::PromptModem;

// The record types of the journal's lines after the header, in order.
std::string Kinds(const std::string& journal) {
  std::string kinds;
  std::size_t at = 0;
  while (at < journal.size()) {
    if (journal[at] != 'H') kinds += journal[at];
    at = journal.find('\n', at);
    if (at == std::string::npos) break;
    ++at;
  }
  return kinds;
}

struct OutboxBench : PromptBench {
  explicit OutboxBench(int parts = 0) : PromptBench(parts) {
    journal.Load();
    state.journal = &journal;
  }
  MessageId Accept(const std::string& entry) {
    ClientMessage m;
    m.entry = entry;
    return AcceptMessage(state, std::move(m)).value_or(0);
  }
  void RunToTheEnd() {
    clock.onIdle = [this] {
      if (state.sendQueue.Count() == 0 && worker.RetriesWaiting() == 0) state.stopRequested = true;
    };
    worker.Execute();
  }
  std::vector<std::string> Pdus() const {
    std::vector<std::string> out;
    for (const std::string& s : Sends())
      if (!s.empty() && s.back() == '\x1a') out.push_back(s);
    return out;
  }

  MemoryJournalStore store;
  Journal journal{store};
};

TEST(SendWorkerOutbox, EveryStepIsJournaledAndAFinishedMessageDoesNotComeBack) {
  OutboxBench bench(/*parts=*/3);
  ASSERT_EQ(bench.Accept("13800138000,short"), 1u);
  ASSERT_EQ(bench.Accept("13800138000," + std::string(150, 'b')), 2u);
  bench.RunToTheEnd();
  // Accepted twice; the first: going out, sent, ended; the second's three
  // parts each going out and sent, then ended.
  EXPECT_EQ(Kinds(bench.store.bytes), "AAGSEGSGSGSE");

  MemoryJournalStore copy;
  copy.bytes = bench.store.bytes;
  Journal again(copy);
  const Recovery r = again.Load();
  EXPECT_TRUE(r.usable);
  EXPECT_TRUE(r.messages.empty());
  EXPECT_EQ(r.lastId, 2u);
}

TEST(SendWorkerOutbox, ARestartGoesOnWithThePartsNotYetSentAndTheSameReference) {
  // The first run sends part 1 of 3 and is killed while part 2 waits for
  // its prompt: nothing of part 2 went out. The journal as it stood at
  // that moment is what the restart finds.
  MemoryJournalStore store;
  std::string firstPdu;
  {
    OutboxBench first(/*parts=*/3);
    int cmgs = 0;
    first.modem.edit = [&](const std::string& sent, int, std::vector<PromptModem::Chunk>& a) {
      if (sent.rfind("at+cmgs=", 0) == 0 && ++cmgs == 2) {
        store.bytes = first.store.bytes;
        first.state.stopRequested = true;
        a.clear();
      }
    };
    ASSERT_EQ(first.Accept("13800138000," + std::string(150, 'c')), 1u);
    first.worker.Execute();
    ASSERT_EQ(first.Pdus().size(), 1u);
    firstPdu = first.Pdus()[0];
  }
  OutboxBench second(/*parts=*/3);
  second.store.bytes = store.bytes;
  Journal journal(second.store);
  const Recovery r = journal.Load();
  ASSERT_EQ(r.messages.size(), 1u);
  EXPECT_FALSE(r.messages[0].pduMayHaveGoneOut);
  Recovery recovered = r;
  EXPECT_EQ(RestoreFromOutbox(second.state, journal, recovered), 0);
  EXPECT_EQ(second.state.unfinished, 1u);
  EXPECT_EQ(second.state.sendQueue.Count(), 1u);
  // A new message after the restart takes the next id.
  EXPECT_EQ(second.Accept("10086,new"), 2u);
  second.RunToTheEnd();

  const std::vector<std::string> pdus = second.Pdus();
  ASSERT_EQ(pdus.size(), 3u);  // parts 2 and 3, then the new message
  // The concatenation header (UDH 05 00 03 <ref> <total> <part>) names the
  // same reference, the one of id 1, in every part of both runs.
  for (const std::string& pdu : {firstPdu, pdus[0], pdus[1]})
    EXPECT_NE(pdu.find("050003" "0103"), std::string::npos) << pdu;
  EXPECT_NE(pdus[0].find("05000301" "0302"), std::string::npos);
  EXPECT_NE(pdus[1].find("05000301" "0303"), std::string::npos);
  std::vector<std::string> lines;
  for (const StateChange& c : second.state.results.TakeAll()) lines.push_back(ResultLine(c));
  EXPECT_EQ(lines, (std::vector<std::string>{"2\tqueued\t", "1\tsent\t1 1 2", "2\tsent\t3"}));
}

TEST(SendWorkerOutbox, NothingGoesToTheModemThatTheJournalCouldNotRecord) {
  OutboxBench bench;
  ASSERT_EQ(bench.Accept("13800138000,x"), 1u);
  // The disk fails from here on: the part cannot be marked as going out.
  bench.store.failAppends = true;
  bench.store.failReplaces = true;
  bench.RunToTheEnd();
  EXPECT_TRUE(bench.Pdus().empty());
  EXPECT_EQ(bench.Sends().back(), "\x1b") << "the modem waiting at its prompt is let go";
  std::vector<std::string> lines;
  for (const StateChange& c : bench.state.results.TakeAll()) lines.push_back(ResultLine(c));
  EXPECT_EQ(lines, (std::vector<std::string>{"1\tqueued\t", "1\tfailed\toutbox write failed"}));
  // And no message is accepted that the journal cannot hold.
  EXPECT_EQ(bench.Accept("13800138000,y"), 0u);
  EXPECT_EQ(bench.state.sendQueue.Count(), 0u);
  EXPECT_EQ(bench.state.lastId, 1u);
}

TEST(SendWorkerOutbox, WhatWaitsAtTheEndStaysJournaledInsteadOfClosing) {
  OutboxBench bench;
  bench.ext.Retries = 3;
  bench.modem.edit = [](const std::string& sent, int, std::vector<PromptModem::Chunk>& a) {
    if (!sent.empty() && sent.back() == '\x1a') a = {{100, "\r\n+CMS ERROR: 332\r\n"}};
  };
  bench.Accept("13800138000,retried");
  bench.Accept("13800138000,waiting");
  // The program closes at the first idle moment, with the first message
  // waiting for its retry and the second one refused for now too.
  bench.clock.onIdle = [&] { bench.state.stopRequested = true; };
  bench.worker.Execute();
  FailWaiting(bench.state, bench.state.sendQueue.Release());
  std::vector<std::string> lines;
  for (const StateChange& c : bench.state.results.TakeAll()) lines.push_back(ResultLine(c));
  for (const std::string& line : lines) EXPECT_EQ(line.find("closed"), std::string::npos) << line;
  MemoryJournalStore copy;
  copy.bytes = bench.store.bytes;
  Journal again(copy);
  const Recovery r = again.Load();
  ASSERT_EQ(r.messages.size(), 2u);
  EXPECT_FALSE(r.messages[0].pduMayHaveGoneOut);
}

TEST(SendWorkerOutbox, AMessageThatMayHaveReachedTheModemEndsUnknownAtTheRestart) {
  // Killed right after the PDU went out, before the modem answered.
  MemoryJournalStore store;
  {
    OutboxBench first;
    first.modem.edit = [&](const std::string& sent, int, std::vector<PromptModem::Chunk>& a) {
      if (!sent.empty() && sent.back() == '\x1a') {
        store.bytes = first.store.bytes;
        first.state.stopRequested = true;
        a.clear();
      }
    };
    first.Accept("13800138000,maybe");
    first.Accept("13800138000,waiting");
    first.worker.Execute();
  }
  OutboxBench second;
  second.store.bytes = store.bytes;
  Journal journal(second.store);
  Recovery r = journal.Load();
  ASSERT_EQ(r.messages.size(), 2u);
  EXPECT_EQ(RestoreFromOutbox(second.state, journal, r), 1);
  EXPECT_EQ(second.state.statusText.Get(), "0");
  second.RunToTheEnd();
  // Only the waiting one went out; the other is unknown for good.
  ASSERT_EQ(second.Pdus().size(), 1u);
  std::vector<std::string> lines;
  for (const StateChange& c : second.state.results.TakeAll()) lines.push_back(ResultLine(c));
  EXPECT_EQ(lines, (std::vector<std::string>{"1\tunknown\t", "2\tsent\t1"}));
  MemoryJournalStore after;
  after.bytes = second.store.bytes;
  Journal third(after);
  EXPECT_TRUE(third.Load().messages.empty());
}

}  // namespace
}  // namespace varnix
