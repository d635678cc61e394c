// The outbox journal loading whatever a file may hold after a crash.
//
// Input: one byte of mode, then the journal file's bytes. Mode bit 0: the
// bytes are payloads, one a line, each framed here with its length and
// CRC-32 (a last piece without LF stays as it is, torn), so that the
// records' contents are explored behind a check no mutation would pass.
//
// Load never crashes and keeps to what it read: the file is left as it was
// (not usable), or cut back to a prefix of itself, or replaced by a new
// journal when not even the header was whole. What it recovers is
// consistent (ids rising and within the last id, parts 1-255), loads the
// same again, and comes back the same when journaled anew through the
// calls the gateway makes, and after a compaction.
#include <cstdint>
#include <string>

#include "FuzzInput.h"
#include "support/JournalText.h"
#include "support/MemoryJournalStore.h"
#include "outbox/Journal.h"

using namespace varnix;
using varnix::testing::Describe;
using varnix::testing::MemoryJournalStore;
using varnix::testing::Same;
using varnix::fuzz::FuzzInput;

namespace {

// The messages alone, without the last id.
std::string Messages(const Recovery& r) {
  const std::string all = Describe(r);
  const std::size_t blank = all.find(' ');
  return blank == std::string::npos ? std::string() : all.substr(blank);
}

void CheckSameMessages(const Recovery& a, const Recovery& b, const char* what) {
  FUZZ_CHECK(Messages(a) == Messages(b), std::string(what) + ": " + Describe(a) + " / " +
                                             Describe(b));
  for (std::size_t i = 0; i < a.messages.size(); ++i) {
    FUZZ_CHECK(Same(a.messages[i].message, b.messages[i].message), what);
  }
}

Recovery LoadCopy(const std::string& bytes) {
  MemoryJournalStore store;
  store.bytes = bytes;
  Journal journal(store);
  return journal.Load();
}

std::string FramedLines(const std::string& payloads) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t lf; (lf = payloads.find('\n', start)) != std::string::npos; start = lf + 1) {
    out += varnix::testing::Frame(payloads.substr(start, lf - start));
  }
  return out + payloads.substr(start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const bool framed = in.Byte() & 1;
  const std::string input = framed ? FramedLines(in.Rest()) : in.Rest();
  size = input.size();
  MemoryJournalStore store;
  store.bytes = input;
  Journal journal(store);
  const Recovery r = journal.Load();

  if (!r.usable) {
    FUZZ_CHECK(store.bytes == input, "an unusable journal was changed");
    FUZZ_CHECK(!journal.Accepted(ClientMessage{1, "1,x", false, {}}), "written while unusable");
    return 0;
  }
  FUZZ_CHECK(r.bytesCut <= size);
  const std::string newJournal = FormatRecord(JournalRecord{});
  if (store.bytes != newJournal) {
    FUZZ_CHECK(store.bytes == input.substr(0, size - r.bytesCut), "not cut to its intact part");
  }
  MessageId previous = 0;
  for (const RecoveredMessage& m : r.messages) {
    FUZZ_CHECK(m.message.id > previous && m.message.id <= r.lastId, Describe(r));
    previous = m.message.id;
    for (const auto& [part, reference] : m.partsSent) {
      FUZZ_CHECK(part >= 1 && part <= kJournalMaxPart && reference >= -1, Describe(r));
    }
  }

  // What it left loads the same, with nothing more to cut.
  const Recovery again = LoadCopy(store.bytes);
  FUZZ_CHECK(again.bytesCut == 0 && again.lastId == r.lastId, Describe(again));
  CheckSameMessages(r, again, "reloaded");

  // Journaled anew: the same messages and progress.
  MemoryJournalStore fresh;
  {
    Journal j(fresh);
    j.Load();
    for (const RecoveredMessage& m : r.messages) {
      FUZZ_CHECK(j.Accepted(m.message), "re-accept refused");
      for (const auto& [part, reference] : m.partsSent) {
        FUZZ_CHECK(j.PartSent(m.message.id, part, reference), "re-sent part refused");
      }
      if (m.pduMayHaveGoneOut) {
        int part = 1;
        while (m.partsSent.count(part)) ++part;
        FUZZ_CHECK(part <= kJournalMaxPart && j.PartGoingOut(m.message.id, part), Describe(r));
      }
    }
  }
  CheckSameMessages(r, LoadCopy(fresh.bytes), "journaled anew");

  // Compacted: the same, the last id too.
  FUZZ_CHECK(journal.Compact(), "compaction failed");
  const Recovery compacted = LoadCopy(store.bytes);
  FUZZ_CHECK(compacted.lastId == r.lastId && compacted.bytesCut == 0, Describe(compacted));
  CheckSameMessages(r, compacted, "compacted");
  return 0;
}
