#include "inbox/InboxLog.h"

#include <cstdint>

#include "inbox/InboxText.h"
#include "text/Utf.h"

namespace varnix {
namespace {

// The id at the start of `line`, when digits are followed by a TAB.
std::optional<std::uint64_t> IdOfLine(std::string_view line) {
  std::uint64_t id = 0;
  std::size_t i = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(line[i] - '0');
    if (id > (UINT64_MAX - digit) / 10) return std::nullopt;
    id = id * 10 + digit;
  }
  if (i == 0 || i >= line.size() || line[i] != '\t') return std::nullopt;
  return id;
}

}  // namespace

std::uint64_t LastInboxId(std::string_view text) {
  // From the end: a line torn by a crash while it was written is passed
  // over unless its id and TAB made it to the disk.
  std::size_t end = text.size();
  while (end > 0) {
    const std::size_t nl = text.find_last_of('\n', end - 1);
    const std::size_t start = nl == std::string_view::npos ? 0 : nl + 1;
    if (const auto id = IdOfLine(text.substr(start, end - start))) return *id;
    if (nl == std::string_view::npos) break;
    end = nl;
  }
  return 0;
}

std::string InboxLogLine(std::uint64_t id, const ReceivedMessage& message) {
  return Utf8Of(InboxLine(id, message)) + "\r\n";
}

InboxLog::InboxLog(InboxLogStore* store) : store_(store) {
  if (!store_) return;
  const std::optional<std::string> tail = store_->ReadTail(kInboxLogTailBytes);
  readable_ = tail.has_value();
  if (tail) lastId_ = LastInboxId(*tail);
}

std::optional<std::uint64_t> InboxLog::Record(const ReceivedMessage& message) {
  const std::uint64_t id = lastId_ + 1;
  if (store_ && !store_->Append(InboxLogLine(id, message))) return std::nullopt;
  lastId_ = id;
  return id;
}

}  // namespace varnix
