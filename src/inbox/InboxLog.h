// The inbox log: every received message as one UTF-8 line (its Inbox line:
// id, sender, time, text, TAB-separated and escaped), appended as it
// arrives, so that nothing received is lost when no client was connected.
// It also carries the inbox ids from one run to the next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "inbox/Inbox.h"

namespace varnix {

// Where the lines go (a file on Windows, memory in the tests).
class InboxLogStore {
 public:
  virtual ~InboxLogStore() = default;
  // The end of the log, at most `maxBytes`, beginning with a whole line;
  // empty for a log that does not exist yet; nullopt when it cannot be read.
  virtual std::optional<std::string> ReadTail(std::size_t maxBytes) = 0;
  // Appends the bytes whole, on the disk (as the store was told) before it
  // returns true.
  virtual bool Append(std::string_view bytes) = 0;
};

// How much of the log's end is read for the last id: more than the longest
// line (255 parts of a message, every unit escaped, in UTF-8).
inline constexpr std::size_t kInboxLogTailBytes = std::size_t{1} << 20;

// The id that begins the last line of `text` that begins with one (digits,
// then TAB); 0 when none does.
std::uint64_t LastInboxId(std::string_view text);

// The message's line in the log: UTF-8, ending in CR LF.
std::string InboxLogLine(std::uint64_t id, const ReceivedMessage& message);

// The inbox ids and the log. Used by one thread at a time.
class InboxLog {
 public:
  // `store` may be null: no log, the ids start from 1.
  explicit InboxLog(InboxLogStore* store);

  // The last id given, from the log at construction when it was readable.
  std::uint64_t LastId() const { return lastId_; }
  bool Readable() const { return readable_; }

  // Gives the message the next id and appends its line; nullopt (the id not
  // used) when the line could not be written.
  std::optional<std::uint64_t> Record(const ReceivedMessage& message);

 private:
  InboxLogStore* store_;
  std::uint64_t lastId_ = 0;
  bool readable_ = true;
};

}  // namespace varnix
