// The outbox journal's compaction, its failing writes, the part that went
// out without a verdict, ids across restarts, and its two threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "support/Deadline.h"
#include "support/JournalText.h"
#include "support/MemoryJournalStore.h"
#include "outbox/Journal.h"

namespace varnix {
namespace {

using testing::Ansi;
using testing::Describe;
using testing::Frame;
using testing::Lines;
using testing::MemoryJournalStore;
using testing::Same;
using testing::Uni;

std::string Reload(const MemoryJournalStore& store) {
  MemoryJournalStore copy;
  copy.bytes = store.bytes;
  Journal journal(copy);
  return Describe(journal.Load());
}

// 1 and 2 finished, 3 with two parts sent and the third going out, 4 and 5
// waiting.
void WriteMix(Journal& j) {
  ASSERT_TRUE(j.Accepted(Ansi(1, "1,a")));
  ASSERT_TRUE(j.Accepted(Uni(2, "2,", u"\u4F60")));
  ASSERT_TRUE(j.Accepted(Ansi(3, "3,c")));
  ASSERT_TRUE(j.PartGoingOut(1, 1));
  ASSERT_TRUE(j.PartSent(1, 1, 9));
  ASSERT_TRUE(j.Finished(1, MessageState::kSent, "9"));
  ASSERT_TRUE(j.Finished(2, MessageState::kFailed, "refused number"));
  ASSERT_TRUE(j.PartSent(3, 1, 10));
  ASSERT_TRUE(j.PartSent(3, 2, -1));
  ASSERT_TRUE(j.PartGoingOut(3, 3));
  ASSERT_TRUE(j.Accepted(Uni(4, "4,", u"\xD800")));
  ASSERT_TRUE(j.Accepted(Ansi(5, "5,e")));
}

TEST(JournalCompaction, KeepsExactlyTheUnfinishedAndTheLastId) {
  MemoryJournalStore store;
  Journal journal(store);
  journal.Load();
  WriteMix(journal);
  const std::string before = Reload(store);
  EXPECT_EQ(before, "last=5 3[1:10,2:-1]! 4[] 5[]");
  ASSERT_TRUE(journal.Compact());
  const std::vector<std::string> expected = {
      Frame("H Varnix-journal 1"), Frame("A 3 a 3,c -"),  Frame("S 3 1 10"),
      Frame("S 3 2 -1"),           Frame("G 3 3"),        Frame("A 4 u 4, %uD800"),
      Frame("A 5 a 5,e -"),        Frame("L 5"),
  };
  EXPECT_EQ(Lines(store.bytes), expected);
  EXPECT_EQ(journal.FileBytes(), store.bytes.size());
  EXPECT_EQ(Reload(store), before);

  // Everything finished: only the last id is left, and ids go on from it.
  ASSERT_TRUE(journal.Finished(3, MessageState::kUnknown, ""));
  ASSERT_TRUE(journal.Finished(4, MessageState::kSent, "11"));
  ASSERT_TRUE(journal.Finished(5, MessageState::kSent, "12"));
  ASSERT_TRUE(journal.Compact());
  EXPECT_EQ(Lines(store.bytes),
            (std::vector<std::string>{Frame("H Varnix-journal 1"), Frame("L 5")}));
  Journal restarted(store);
  const Recovery r = restarted.Load();
  EXPECT_EQ(Describe(r), "last=5");
  EXPECT_FALSE(restarted.Accepted(Ansi(5, "1,again")));
  EXPECT_TRUE(restarted.Accepted(Ansi(6, "1,next")));
  EXPECT_EQ(Reload(store), "last=6 6[]");
}

TEST(JournalCompaction, ALostReplacementLeavesTheOldJournal) {
  MemoryJournalStore store;
  Journal journal(store);
  journal.Load();
  WriteMix(journal);
  const std::string old = store.bytes;
  store.failReplaces = true;  // the crash comes before the rename
  EXPECT_FALSE(journal.Compact());
  EXPECT_EQ(store.bytes, old);
  EXPECT_EQ(Reload(store), "last=5 3[1:10,2:-1]! 4[] 5[]");
  // The journal goes on appending to the old file.
  ASSERT_TRUE(journal.Finished(5, MessageState::kSent, "12"));
  ASSERT_TRUE(journal.Accepted(Ansi(6, "6,f")));
  EXPECT_EQ(Reload(store), "last=6 3[1:10,2:-1]! 4[] 6[]");
}

TEST(JournalCompaction, FinishedCompactsOnlyWhenWorthwhile) {
  MemoryJournalStore store;
  Journal journal(store, CompactionLimits{2000, 4});
  journal.Load();
  ASSERT_EQ(store.replaces, 1);  // the header of a new journal
  // A message that stays unfinished throughout, and a long run of others.
  ASSERT_TRUE(journal.Accepted(Ansi(1, "1,stays")));
  std::size_t largest = 0;
  int compactions = 0;
  for (MessageId id = 2; id <= 1000; ++id) {
    ASSERT_TRUE(journal.Accepted(Ansi(id, "13800138000,a message of some length")));
    ASSERT_TRUE(journal.PartGoingOut(id, 1));
    ASSERT_TRUE(journal.PartSent(id, 1, static_cast<int>(id % 256)));
    const int replacesBefore = store.replaces;
    const std::size_t bytesBefore = store.bytes.size();
    ASSERT_TRUE(journal.Finished(id, MessageState::kSent, "1"));
    if (store.replaces != replacesBefore) {
      ++compactions;
      const std::string end = Frame("E " + std::to_string(id) + " sent 1");
      EXPECT_GE(bytesBefore + end.size(), 2000u) << "compacted below the threshold";
    }
    largest = std::max(largest, store.bytes.size());
  }
  EXPECT_GT(compactions, 10);
  EXPECT_LT(largest, 2300u);
  EXPECT_EQ(Reload(store), "last=1000 1[]");

  // Many unfinished messages: the file is mostly live, nothing to gain.
  MemoryJournalStore busy;
  Journal crowded(busy, CompactionLimits{2000, 4});
  crowded.Load();
  for (MessageId id = 1; id <= 100; ++id) ASSERT_TRUE(crowded.Accepted(Ansi(id, "1,x")));
  ASSERT_GT(busy.bytes.size(), 2000u);
  ASSERT_TRUE(crowded.Finished(1, MessageState::kSent, "1"));
  EXPECT_EQ(busy.replaces, 1);
}

// To the byte: at the factor a loaded journal compacts, one byte below it
// not; at exactly `minBytes` finishing compacts; a journal loaded over its
// limits is compacted at once.
TEST(JournalCompaction, AtItsLimitsToTheByte) {
  // The header's 31 bytes and a live message of 31 or 32.
  for (const auto& [entry, compacts] : {std::pair{"1,xxxxxxxx", 1}, {"1,xxxxxxxxx", 0}}) {
    MemoryJournalStore store;
    store.bytes = Frame("H Varnix-journal 1") + Frame("A 1 a " + std::string(entry) + " -");
    Journal journal(store, CompactionLimits{0, 2});
    journal.Load();
    EXPECT_EQ(store.replaces, compacts) << entry;
  }
  const std::vector<std::string> last1 = {Frame("H Varnix-journal 1"), Frame("L 1")};
  MemoryJournalStore store;
  Journal journal(store, {(last1[0] + Frame("A 1 a 1,x -") + Frame("E 1 sent 1")).size(), 1});
  journal.Load();
  ASSERT_TRUE(journal.Accepted(Ansi(1, "1,x")));
  ASSERT_TRUE(journal.Finished(1, MessageState::kSent, "1"));
  EXPECT_EQ(Lines(store.bytes), last1);

  MemoryJournalStore twenty;
  Journal writer(twenty);
  writer.Load();
  for (MessageId id = 1; id <= 20; ++id) {
    ASSERT_TRUE(writer.Accepted(Ansi(id, "1,x")));
    ASSERT_TRUE(writer.Finished(id, MessageState::kSent, "1"));
  }
  Journal loaded(twenty, CompactionLimits{100, 4});
  EXPECT_EQ(Describe(loaded.Load()), "last=20");
  EXPECT_EQ(Lines(twenty.bytes), (std::vector<std::string>{last1[0], Frame("L 20")}));
}

TEST(JournalGoneOut, APartWithoutAVerdictComesBackAndIsNeverSentAgain) {
  MemoryJournalStore store;
  {
    Journal journal(store);
    journal.Load();
    ASSERT_TRUE(journal.Accepted(Ansi(1, "1,verdict sent")));
    ASSERT_TRUE(journal.Accepted(Ansi(2, "2,nothing went out")));
    ASSERT_TRUE(journal.Accepted(Ansi(3, "3,no verdict")));
    ASSERT_TRUE(journal.Accepted(Ansi(4, "4,second part without a verdict")));
    ASSERT_TRUE(journal.PartGoingOut(1, 1));
    ASSERT_TRUE(journal.PartSent(1, 1, 5));
    ASSERT_TRUE(journal.PartGoingOut(2, 1));
    ASSERT_TRUE(journal.AttemptFailed(2, 1));
    ASSERT_TRUE(journal.PartGoingOut(2, 1)) << "tried again in the same run";
    ASSERT_TRUE(journal.AttemptFailed(2, 1));
    ASSERT_TRUE(journal.PartGoingOut(3, 1));
    ASSERT_TRUE(journal.PartGoingOut(4, 1));
    ASSERT_TRUE(journal.PartSent(4, 1, 6));
    ASSERT_TRUE(journal.PartGoingOut(4, 2));
  }  // the power cut
  Journal journal(store);
  const Recovery r = journal.Load();
  EXPECT_EQ(Describe(r), "last=4 1[1:5] 2[] 3[]! 4[1:6]!");
  // Nothing but its end is accepted for a message that may be at the modem.
  for (MessageId id : {3, 4}) {
    EXPECT_FALSE(journal.PartGoingOut(id, id == 3 ? 1 : 2));
    EXPECT_FALSE(journal.PartGoingOut(id, 5));
    EXPECT_FALSE(journal.AttemptFailed(id, id == 3 ? 1 : 2));
    EXPECT_FALSE(journal.PartSent(id, id == 3 ? 1 : 2, 7));
  }
  EXPECT_TRUE(journal.PartGoingOut(2, 1));
  EXPECT_TRUE(journal.PartSent(2, 1, 8));
  EXPECT_TRUE(journal.Finished(3, MessageState::kUnknown, ""));
  EXPECT_TRUE(journal.Finished(4, MessageState::kUnknown, ""));
  EXPECT_EQ(Reload(store), "last=4 1[1:5] 2[1:8]");
  // And it stays so across a compaction and a second restart.
  MemoryJournalStore again;
  {
    Journal j(again);
    j.Load();
    ASSERT_TRUE(j.Accepted(Ansi(1, "1,x")));
    ASSERT_TRUE(j.PartGoingOut(1, 1));
  }
  Journal j(again);
  j.Load();
  ASSERT_TRUE(j.Compact());
  Journal j2(again);
  EXPECT_EQ(Describe(j2.Load()), "last=1 1[]!");
  EXPECT_FALSE(j2.AttemptFailed(1, 1));
}

TEST(JournalFailures, ATornAcceptIsRefusedAndLeavesNoTrace) {
  const std::string line = Frame("A 2 a 2,torn -");
  for (std::size_t keep = 0; keep <= line.size(); ++keep) {
    SCOPED_TRACE("torn after " + std::to_string(keep) + " bytes");
    for (bool repairFails : {false, true}) {
      MemoryJournalStore store;
      Journal journal(store);
      journal.Load();
      ASSERT_TRUE(journal.Accepted(Ansi(1, "1,before")));
      store.tearNextAppendAt = keep;
      store.failReplaces = repairFails;
      EXPECT_FALSE(journal.Accepted(Ansi(2, "2,torn")));
      if (!repairFails) {
        EXPECT_EQ(Reload(store), "last=1 1[]");
      }
      // While the torn end cannot be rewritten nothing more is accepted.
      if (repairFails) {
        EXPECT_FALSE(journal.Accepted(Ansi(2, "2,again")));
      }
      store.failReplaces = false;
      EXPECT_TRUE(journal.Accepted(Ansi(2, "2,again")));
      EXPECT_TRUE(journal.PartSent(1, 1, 3));
      MemoryJournalStore copy;
      copy.bytes = store.bytes;
      Journal j(copy);
      const Recovery r = j.Load();
      EXPECT_EQ(Describe(r), "last=2 1[1:3] 2[]");
      EXPECT_EQ(r.bytesCut, 0u);
      ASSERT_EQ(r.messages.size(), 2u);
      EXPECT_TRUE(Same(r.messages[1].message, Ansi(2, "2,again")));
    }
  }
}

TEST(JournalFailures, AStepThatCouldNotBeWrittenReachesTheDiskWithTheNext) {
  MemoryJournalStore store;
  Journal journal(store);
  journal.Load();
  ASSERT_TRUE(journal.Accepted(Ansi(1, "1,a")));
  ASSERT_TRUE(journal.Accepted(Ansi(2, "2,b")));
  store.tearNextAppendAt = 3;
  store.failReplaces = true;
  EXPECT_FALSE(journal.PartSent(1, 1, 4));
  EXPECT_FALSE(journal.Finished(2, MessageState::kFailed, "ERROR"));
  EXPECT_EQ(Reload(store), "last=2 1[] 2[]") << "the torn end is cut off";
  store.failReplaces = false;
  EXPECT_TRUE(journal.PartGoingOut(1, 2));
  EXPECT_EQ(Reload(store), "last=2 1[1:4]!");
  // A torn step that the repair rewrites at once is on the disk.
  store.tearNextAppendAt = 5;
  EXPECT_TRUE(journal.PartSent(1, 2, 5));
  EXPECT_EQ(Reload(store), "last=2 1[1:4,2:5]");
}

TEST(JournalFailures, AJournalThatCannotBeReadOrIsNotOursIsLeftAlone) {
  MemoryJournalStore unreadable;
  unreadable.readFails = true;
  Journal a(unreadable);
  EXPECT_EQ(Describe(a.Load()), "unusable");
  EXPECT_FALSE(a.Accepted(Ansi(1, "1,x")));
  EXPECT_EQ(unreadable.replaces + unreadable.appends, 0);

  const std::string future = Frame("H Varnix-journal 2") + Frame("A 1 a 1,x -") + "torn";
  MemoryJournalStore other;
  other.bytes = future;
  Journal b(other);
  EXPECT_EQ(Describe(b.Load()), "unusable");
  EXPECT_FALSE(b.Accepted(Ansi(2, "1,x")));
  EXPECT_FALSE(b.Compact());
  EXPECT_EQ(other.bytes, future);

  // Compaction copies each unfinished message's record from the file: a
  // file it cannot read, or one that lost a record, stays as it is.
  MemoryJournalStore lost;
  Journal c(lost);
  c.Load();
  ASSERT_TRUE(c.Accepted(Ansi(1, "1,x")));
  lost.readFails = true;
  EXPECT_FALSE(c.Compact());
  lost.readFails = false;
  lost.bytes = Frame("H Varnix-journal 1");
  EXPECT_FALSE(c.Compact());
  EXPECT_EQ(lost.bytes, Frame("H Varnix-journal 1"));
}

// Accepted on the GUI thread, the rest on the worker, as the gateway does.
TEST(JournalThreads, AcceptAndSendAtOnce) {
  MemoryJournalStore store;
  Journal journal(store, CompactionLimits{4096, 4});
  journal.Load();
  constexpr MessageId kCount = 300;
  testing::Deadline deadline("the two threads");
  std::thread worker([&] {
    for (MessageId id = 1; id <= kCount; ++id) {
      while (journal.LastId() < id) std::this_thread::yield();
      EXPECT_TRUE(journal.PartGoingOut(id, 1));
      EXPECT_TRUE(journal.PartSent(id, 1, static_cast<int>(id % 256)));
      EXPECT_TRUE(journal.Finished(id, MessageState::kSent, "x"));
    }
  });
  for (MessageId id = 1; id <= kCount; ++id) EXPECT_TRUE(journal.Accepted(Ansi(id, "1,x")));
  worker.join();
  EXPECT_EQ(Reload(store), "last=300");
}

}  // namespace
}  // namespace varnix
