#include "message/MessageResults.h"

#include <iterator>

#include "message/MessageOutcome.h"

namespace varnix {

const char* StateName(MessageState state) {
  switch (state) {
    case MessageState::kQueued: return "queued";
    case MessageState::kSent: return "sent";
    case MessageState::kFailed: return "failed";
    case MessageState::kRetry: return "retry";
    case MessageState::kUnknown: return "unknown";
    case MessageState::kDelivered: return "delivered";
    case MessageState::kUndelivered: return "undelivered";
  }
  return "unknown";
}

bool IsFinal(MessageState state) {
  return state == MessageState::kSent || state == MessageState::kFailed ||
         state == MessageState::kUnknown;
}

std::string ResultLine(const StateChange& change) {
  std::string line = std::to_string(change.id);
  line += '\t';
  line += StateName(change.state);
  line += '\t';
  for (char c : change.detail) line += (c == '\t' || c == '\r' || c == '\n') ? ' ' : c;
  return line;
}

StateChange FinalChange(MessageId id, const MessageOutcome& outcome) {
  StateChange change;
  change.id = id;
  if (outcome.sent) {
    change.state = MessageState::kSent;
    for (int reference : outcome.references) {
      if (!change.detail.empty()) change.detail += ' ';
      change.detail += reference < 0 ? std::string("?") : std::to_string(reference);
    }
  } else {
    change.state = MessageState::kFailed;
    change.detail = outcome.why.empty() ? std::string("internal error") : outcome.why;
  }
  return change;
}

void ResultLog::Push(StateChange change) {
  std::lock_guard lock(mutex_);
  if (observer_) observer_(change);
  changes_.push_back(std::move(change));
}

void ResultLog::SetObserver(std::function<void(const StateChange&)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

std::vector<StateChange> ResultLog::TakeAll() {
  std::lock_guard lock(mutex_);
  std::vector<StateChange> all(std::make_move_iterator(changes_.begin()),
                               std::make_move_iterator(changes_.end()));
  changes_.clear();
  return all;
}

bool ResultLog::Empty() const {
  std::lock_guard lock(mutex_);
  return changes_.empty();
}

}  // namespace varnix
