// The outbox journal: every accepted message and each step of its sending,
// written and flushed before the step is acknowledged, so that a restart
// queues again what was not finished and never sends twice what may have
// reached the modem. Portable: the file itself is a JournalStore.
//
// File format, version 1. One record per line; a line is
//
//   <payload> SP <length> SP <crc> LF
//
// <length> is the payload's byte count in decimal, <crc> the CRC-32 (the
// IEEE polynomial, reflected, as zlib and Ethernet compute it) of the
// payload in 8 lowercase hex digits. The payload is fields separated by one
// blank, the first naming the record:
//
//   H Varnix-journal 1            header: the first record, the version
//   A <id> <a|u> <entry> <text16> accepted: u for a UTF-16 text
//   G <id> <part>                 the part's PDU is about to go out
//   S <id> <part> <reference>     the part was sent (-1: no reference named)
//   F <id> <part>                 the attempt failed with nothing sent: the
//                                 part may be tried again
//   E <id> <state> <detail>       finished: sent, failed or unknown
//   L <id>                        the last id used (written by compaction)
//
// Ids are decimal, 1 and up, each A above every id before it; parts count
// from 1 to 255. Text fields never hold a blank: <entry> and <detail> (8-bit
// code page text) keep the bytes 0x21-0x7E except '%' and write any other
// byte as %XX (uppercase hex); <text16> is UTF-8 with the same escapes
// below 0x80, and %uXXXX for a lone surrogate. An empty text is "-", the
// text "-" is "%2D".
//
// Example:
//   H Varnix-journal 1 18 28f775e4
//   A 1 a 10086,Hello%20world - 27 de07726f
//   G 1 1 5 6d307745
//   S 1 1 42 8 7cf6928f
//   E 1 sent 42 11 4fafff79
//
// Reading stops at the first record that is torn, fails its check, or does
// not fit what came before (an unknown id, a part sent twice, ...): that
// record and everything after it are cut off. Compaction rewrites the file
// with the header, the unfinished messages with their progress (A, S, G)
// and an L record; each A record is copied from the file as it was, since
// the journal keeps no message's text in memory.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/ClientMessage.h"
#include "outbox/JournalRecord.h"
#include "message/MessageResults.h"

namespace varnix {

// Where the journal's bytes live.
class JournalStore {
 public:
  virtual ~JournalStore() = default;
  // The whole journal: empty when there is none yet; nullopt when it exists
  // but cannot be read (then nothing may overwrite it). Read at the load
  // and again at each compaction, for the records it copies.
  virtual std::optional<std::string> ReadAll() = 0;
  // Adds the bytes at the end; true only once they are flushed to the disk.
  // A false return may have left any prefix of them written.
  virtual bool Append(std::string_view bytes) = 0;
  // Replaces the whole content atomically: afterwards the journal holds
  // either the old or the new bytes, never a mix.
  virtual bool Replace(std::string_view bytes) = 0;
};

// An unfinished message as the journal left it.
struct RecoveredMessage {
  ClientMessage message;          // exactly as accepted, not yet decoded
  std::map<int, int> partsSent;   // part (1-based) -> its reference
  // A part was going out and no verdict followed: the modem may have it.
  // The message must end `unknown` and never be sent again.
  bool pduMayHaveGoneOut = false;
};

struct Recovery {
  // False when the journal could not be read or is of another format
  // version: it is left as it is, and every later write is refused.
  bool usable = false;
  std::vector<RecoveredMessage> messages;  // in their accepted order
  MessageId lastId = 0;                    // 0 when none was ever journaled
  std::size_t bytesCut = 0;                // the torn or corrupt end cut off
};

// When Finished compacts: the file has at least `minBytes` and at least
// `liveFactor` times what its unfinished messages take.
struct CompactionLimits {
  std::size_t minBytes = std::size_t{1} << 20;
  std::size_t liveFactor = 4;
};

// Every call may come from any thread: the journal serialises them. Load
// comes first; every write before it, or after a Load that was not usable,
// is refused.
class Journal {
 public:
  explicit Journal(JournalStore& store, CompactionLimits limits = {});

  // The messages it returns stay in the journal as they are: they are queued
  // again without Accepted, and one that may have gone out is ended with
  // Finished(id, kUnknown, ...), the only step it still takes.
  Recovery Load();

  // Journaled and flushed: only then may the poke be acknowledged. The id
  // must be above every id journaled before (Recovery::lastId); a false
  // return leaves the journal as if the call had not been made.
  bool Accepted(const ClientMessage& message);
  // Before the part's first byte goes to the modem. False: the journal
  // could not record it, or the message cannot be sent now (finished,
  // unknown, the part sent already, another part still going out); then
  // nothing may be written to the modem for it.
  bool PartGoingOut(MessageId id, int part);
  bool PartSent(MessageId id, int part, int reference);
  // No byte went out, or a temporary error: the part may be tried again.
  bool AttemptFailed(MessageId id, int part);
  // sent, failed or unknown: the message is over. Compacts when worthwhile.
  //
  // For these four a step the journal could not write is still kept in its
  // memory (false is returned) and reaches the disk with the next write
  // that succeeds: what happened to a message stays true either way.
  bool Finished(MessageId id, MessageState state, std::string_view detail);

  // Rewrites the journal with only the unfinished messages and the last id.
  // False when the file could not be read, lacks one of them, or could not
  // be replaced: the old journal then stays.
  bool Compact();

  std::size_t FileBytes() const;
  MessageId LastId() const;

 private:
  bool WriteLocked(const JournalRecord& record);
  // `file`: the journal's bytes as they are, when at hand; else read.
  bool RewriteLocked(std::optional<std::string_view> file = std::nullopt);
  bool CompactionDueLocked() const;

  JournalStore& store_;
  CompactionLimits limits_;
  mutable std::mutex mutex_;
  JournalBook book_;
  bool loaded_ = false;
  // The file's end may be torn (an append failed and the repair too): the
  // next write rewrites the whole journal first.
  bool dirty_ = false;
  std::size_t fileBytes_ = 0;
};

}  // namespace varnix
