// The journal's records (the format is described in Journal.h): one line
// each, framed with its length and CRC-32, and the book they are replayed
// into. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/ClientMessage.h"
#include "message/MessageResults.h"

namespace varnix {

constexpr int kJournalVersion = 1;
constexpr int kJournalMaxPart = 255;

enum class RecordType { kHeader, kAccepted, kGoingOut, kSent, kAttemptFailed, kFinished, kLastId };

struct JournalRecord {
  RecordType type = RecordType::kHeader;
  int version = kJournalVersion;  // H
  MessageId id = 0;               // A G S F E L
  ClientMessage message;          // A (its id is `id`)
  int part = 0;                   // G S F
  int reference = -1;             // S
  MessageState state = MessageState::kSent;  // E
  std::string detail;                        // E
};

// CRC-32, IEEE polynomial, reflected (zlib's crc32).
std::uint32_t Crc32(std::string_view bytes);

// The record's whole line, LF included.
std::string FormatRecord(const JournalRecord& record);
// One line without its LF; nullopt when it is torn or fails its check.
// A header of another version parses (the caller decides).
std::optional<JournalRecord> ParseRecord(std::string_view line);

// The unfinished messages and the last id, as the records so far say. It
// keeps no message's text: that stays in the journal's file, where the
// compaction copies each unfinished message's A record from.
class JournalBook {
 public:
  // One unfinished message as the file holds it at the moment.
  struct Unfinished {
    MessageId id = 0;
    std::string_view accepted;       // its A record's line, LF included
    const std::map<int, int>* sent;  // part -> reference; null when none was sent
    int goingOut = 0;                // the part going out without a verdict, or 0
  };

  // Whether the record may follow what the book holds (never a header).
  bool Fits(const JournalRecord& record) const;
  // Applies a record that fits; `bytes` is its line's size.
  void Apply(const JournalRecord& record, std::size_t bytes);

  // The unfinished messages in accepted order, their A records found in
  // `file` (the journal's bytes as they are); nullopt when the file lacks
  // one of them. Valid while `file` lives and the book is not changed.
  std::optional<std::vector<Unfinished>> UnfinishedIn(std::string_view file) const;

  // The compacted journal from `file`: header, each unfinished message
  // with its progress, the last id; nullopt as for UnfinishedIn. Also resets
  // what each message takes to its compacted size.
  std::optional<std::string> Compacted(std::string_view file);

  // After loading: a message with a part going out came from before the
  // restart, and its verdict will never come.
  void Seal();

  MessageId LastId() const { return lastId_; }
  std::size_t LiveBytes() const { return liveBytes_; }
  void Clear();

 private:
  // Small on purpose: one for each waiting message, and there may be a
  // hundred thousand of them.
  struct Live {
    MessageId id = 0;
    std::size_t bytes = 0;     // what its records take in the file
    std::uint8_t goingOut = 0; // parts count up to kJournalMaxPart
    // Found going out when the journal was loaded: nothing but its end fits.
    bool sealed = false;
    bool finished = false;     // waits to be swept out of live_
  };

  const Live* Find(MessageId id) const;
  Live* Find(MessageId id);
  // The A record of each entry of live_ (empty for a finished one).
  std::optional<std::vector<std::string_view>> AcceptedLines(std::string_view file) const;

  std::deque<Live> live_;  // ids rise with acceptance: accepted order
  std::size_t finished_ = 0;  // entries of live_ that are finished
  std::map<MessageId, std::map<int, int>> sent_;  // only messages with a part sent
  MessageId lastId_ = 0;
  std::size_t liveBytes_ = 0;
};

}  // namespace varnix
