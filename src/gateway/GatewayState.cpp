#include "gateway/GatewayState.h"

#include <iterator>

namespace varnix {

bool SendQueue::Append(QueuedMessage message) {
  {
    std::lock_guard lock(mutex_);
    if (released_) return false;
    entries_.push_back(std::move(message));
  }
  changed_.notify_all();
  return true;
}

std::size_t SendQueue::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::optional<QueuedMessage> SendQueue::TakeNext() {
  std::lock_guard lock(mutex_);
  if (entries_.empty()) return std::nullopt;
  QueuedMessage head = std::move(entries_.front());
  entries_.pop_front();
  return head;
}

void SendQueue::WaitForEntry(std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return !entries_.empty() || released_ || woken_; });
}

void SendQueue::Wake() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  changed_.notify_all();
}

std::vector<QueuedMessage> SendQueue::Release() {
  std::vector<QueuedMessage> dropped;
  {
    std::lock_guard lock(mutex_);
    released_ = true;
    dropped.assign(std::make_move_iterator(entries_.begin()),
                   std::make_move_iterator(entries_.end()));
    entries_.clear();
  }
  changed_.notify_all();
  return dropped;
}

bool SendQueue::Released() const {
  std::lock_guard lock(mutex_);
  return released_;
}

void StatusText::Set(std::string value) {
  std::lock_guard lock(mutex_);
  if (unpublished_.size() >= kMaxUnpublished) unpublished_.pop_front();
  unpublished_.push_back(value);
  value_ = std::move(value);
}

std::string StatusText::TakeForPublication() {
  std::lock_guard lock(mutex_);
  if (unpublished_.empty()) return value_;
  std::string oldest = std::move(unpublished_.front());
  unpublished_.pop_front();
  return oldest;
}

std::string StatusText::Get() const {
  std::lock_guard lock(mutex_);
  return value_;
}

}  // namespace varnix
