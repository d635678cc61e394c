#include "outbox/Journal.h"

#include <utility>

namespace varnix {

Journal::Journal(JournalStore& store, CompactionLimits limits) : store_(store), limits_(limits) {}

Recovery Journal::Load() {
  std::lock_guard<std::mutex> lock(mutex_);
  loaded_ = false;
  dirty_ = false;
  fileBytes_ = 0;
  book_.Clear();
  Recovery recovery;
  const std::optional<std::string> content = store_.ReadAll();
  if (!content) return recovery;  // never overwrite what could not be read

  const std::string_view all = *content;
  std::size_t intact = 0;
  bool header = false;
  while (intact < all.size()) {
    const std::size_t lf = all.find('\n', intact);
    if (lf == std::string_view::npos) break;
    const std::optional<JournalRecord> record = ParseRecord(all.substr(intact, lf - intact));
    if (!record) break;
    if (!header) {
      if (record->type != RecordType::kHeader) break;
      // Another version is not ours to cut or rewrite.
      if (record->version != kJournalVersion) return recovery;
      header = true;
    } else {
      if (!book_.Fits(*record)) break;
      book_.Apply(*record, lf + 1 - intact);
    }
    intact = lf + 1;
  }
  recovery.bytesCut = all.size() - intact;

  if (!header) {
    // Nothing yet, or not even the header survived: a new journal.
    dirty_ = !RewriteLocked(std::string_view());
  } else if (intact < all.size()) {
    // Cut the torn end off before anything is appended after it, or the
    // next restart would lose what follows it.
    if (store_.Replace(all.substr(0, intact))) {
      fileBytes_ = intact;
    } else {
      dirty_ = true;
    }
  } else {
    fileBytes_ = intact;
  }
  book_.Seal();
  const std::string_view read = all.substr(0, intact);
  // Every message the book holds was read from there, whole.
  const auto unfinished = book_.UnfinishedIn(read);
  if (!unfinished) return Recovery{};
  for (const JournalBook::Unfinished& m : *unfinished) {
    std::optional<JournalRecord> record = ParseRecord(m.accepted.substr(0, m.accepted.size() - 1));
    if (!record) return Recovery{};
    recovery.messages.push_back(RecoveredMessage{std::move(record->message),
                                                 m.sent ? *m.sent : std::map<int, int>{},
                                                 m.goingOut != 0});
  }
  loaded_ = true;
  if (!dirty_ && CompactionDueLocked()) RewriteLocked(read);

  recovery.usable = true;
  recovery.lastId = book_.LastId();
  return recovery;
}

bool Journal::Accepted(const ClientMessage& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  JournalRecord record;
  record.type = RecordType::kAccepted;
  record.id = message.id;
  record.message = message;
  if (!loaded_ || !book_.Fits(record)) return false;
  if (dirty_ && !RewriteLocked()) return false;
  const std::string line = FormatRecord(record);
  if (store_.Append(line)) {
    book_.Apply(record, line.size());
    fileBytes_ += line.size();
    return true;
  }
  // The line may be on the disk in part or even whole: rewrite the journal
  // without it, so that a message whose poke is refused never comes back.
  dirty_ = !RewriteLocked();
  return false;
}

bool Journal::WriteLocked(const JournalRecord& record) {
  if (!loaded_ || !book_.Fits(record)) return false;
  const std::string line = FormatRecord(record);
  book_.Apply(record, line.size());
  // A rewrite carries the step with everything else.
  if (dirty_) return RewriteLocked();
  if (store_.Append(line)) {
    fileBytes_ += line.size();
    return true;
  }
  dirty_ = true;
  return RewriteLocked();
}

bool Journal::PartGoingOut(MessageId id, int part) {
  std::lock_guard<std::mutex> lock(mutex_);
  JournalRecord record;
  record.type = RecordType::kGoingOut;
  record.id = id;
  record.part = part;
  return WriteLocked(record);
}

bool Journal::PartSent(MessageId id, int part, int reference) {
  std::lock_guard<std::mutex> lock(mutex_);
  JournalRecord record;
  record.type = RecordType::kSent;
  record.id = id;
  record.part = part;
  record.reference = reference < 0 ? -1 : reference;
  return WriteLocked(record);
}

bool Journal::AttemptFailed(MessageId id, int part) {
  std::lock_guard<std::mutex> lock(mutex_);
  JournalRecord record;
  record.type = RecordType::kAttemptFailed;
  record.id = id;
  record.part = part;
  return WriteLocked(record);
}

bool Journal::Finished(MessageId id, MessageState state, std::string_view detail) {
  std::lock_guard<std::mutex> lock(mutex_);
  JournalRecord record;
  record.type = RecordType::kFinished;
  record.id = id;
  record.state = state;
  record.detail = std::string(detail);
  const bool written = WriteLocked(record);
  if (written && CompactionDueLocked()) RewriteLocked();
  return written;
}

bool Journal::Compact() {
  std::lock_guard<std::mutex> lock(mutex_);
  return loaded_ && RewriteLocked();
}

bool Journal::RewriteLocked(std::optional<std::string_view> file) {
  std::optional<std::string> read;
  if (!file) {
    read = store_.ReadAll();
    if (!read) return false;
    file = *read;
  }
  const std::optional<std::string> all = book_.Compacted(*file);
  read.reset();  // before the new bytes are written: the old file may be large
  if (!all || !store_.Replace(*all)) return false;
  fileBytes_ = all->size();
  dirty_ = false;
  return true;
}

bool Journal::CompactionDueLocked() const {
  return fileBytes_ >= limits_.minBytes && fileBytes_ >= limits_.liveFactor * book_.LiveBytes();
}

std::size_t Journal::FileBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fileBytes_;
}

MessageId Journal::LastId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return book_.LastId();
}

}  // namespace varnix
