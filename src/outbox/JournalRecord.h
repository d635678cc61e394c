// The journal's records (the format is described in Journal.h): one line
// each, framed with its length and CRC-32, and the book they are replayed
// into. Portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

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

// The unfinished messages and the last id, as the records so far say.
class JournalBook {
 public:
  struct Live {
    ClientMessage message;
    std::map<int, int> sent;  // part -> reference
    int goingOut = 0;         // the part going out without a verdict, or 0
    std::size_t bytes = 0;    // what its records take in the file
    // Found going out when the journal was loaded: nothing but its end fits.
    bool sealed = false;
  };

  // Whether the record may follow what the book holds (never a header).
  bool Fits(const JournalRecord& record) const;
  // Applies a record that fits; `bytes` is its line's size.
  void Apply(const JournalRecord& record, std::size_t bytes);

  // The compacted journal: header, each unfinished message with its
  // progress, the last id. Also resets what each message takes to its
  // compacted size.
  std::string Compacted();

  // After loading: a message with a part going out came from before the
  // restart, and its verdict will never come.
  void Seal();

  const std::map<MessageId, Live>& Messages() const { return live_; }
  MessageId LastId() const { return lastId_; }
  std::size_t LiveBytes() const { return liveBytes_; }
  void Clear();

 private:
  std::map<MessageId, Live> live_;  // ids rise with acceptance: accepted order
  MessageId lastId_ = 0;
  std::size_t liveBytes_ = 0;
};

}  // namespace varnix
