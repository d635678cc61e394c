#include "app/InboxRuntime.h"

#include <chrono>
#include <utility>

#include "sms/PduDecoder.h"
#include "win32/InboxLogFile.h"
#include "win32/JournalFile.h"

namespace varnix {
namespace {

// More than the worker can offer again between two listings.
constexpr std::size_t kHandedKept = 256;

std::u16string KeyOf(const ReceivedMessage& m) {
  std::u16string key = m.sender;
  key += u'\x1F';
  for (const char c : FormatSmsTime(m.time, true)) key += static_cast<char16_t>(c);
  key += u'\x1F';
  key += m.text;
  return key;
}

std::unique_ptr<win32::InboxLogFile> OpenLog(const std::wstring& service, bool flush) {
  const std::wstring path = win32::InboxLogPath(service);
  if (path.empty()) return nullptr;
  return std::make_unique<win32::InboxLogFile>(path, flush);
}

}  // namespace

InboxRuntime::InboxRuntime(TDdeServerConv& conv, HWND mainWindow, const std::wstring& service,
                           bool flush)
    : window_(mainWindow), file_(OpenLog(service, flush)), log_(file_.get()) {
  items_.CreateItem(conv);
}

InboxRuntime::~InboxRuntime() = default;

InboxRuntime::Handed* InboxRuntime::Find(const std::u16string& key) {
  for (auto it = handed_.rbegin(); it != handed_.rend(); ++it) {
    if (it->key == key) return &*it;
  }
  return nullptr;
}

bool InboxRuntime::WaitPublished(std::unique_lock<std::mutex>& lock, std::uint64_t id) {
  auto done = [&] {
    if (stopped_) return true;
    for (const Handed& h : handed_) {
      if (h.id == id) return h.published;
    }
    return true;  // dropped from the record: long since published
  };
  published_.wait_for(lock, std::chrono::milliseconds(kPublishWaitMs), done);
  for (const Handed& h : handed_) {
    if (h.id == id) return h.published;
  }
  return !stopped_;
}

bool InboxRuntime::Deliver(const ReceivedMessage& message) {
  std::u16string key = KeyOf(message);
  std::unique_lock lock(mutex_);
  if (stopped_) return false;
  if (const Handed* known = Find(key)) {
    if (known->published) return true;
    return WaitPublished(lock, known->id);
  }
  // The log's line goes first: once it is on the disk the message is not
  // lost whatever happens to the window.
  lock.unlock();
  const std::optional<std::uint64_t> id = log_.Record(message);
  if (!id) return false;
  lock.lock();
  handed_.push_back({*id, std::move(key)});
  while (handed_.size() > kHandedKept && handed_.front().published) handed_.pop_front();
  waiting_.emplace_back(*id, message);
  // Posted, never sent: the window may be waiting for this thread to end.
  // A post that is lost is made good by the next one.
  PostMessageW(window_, WM_INBOX, 0, 0);
  return WaitPublished(lock, *id);
}

void InboxRuntime::PublishWaiting() {
  std::deque<std::pair<std::uint64_t, ReceivedMessage>> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(waiting_);
  }
  if (batch.empty()) return;
  for (const auto& [id, message] : batch) items_.Publish(id, message);
  {
    std::lock_guard lock(mutex_);
    for (Handed& h : handed_) {
      for (const auto& entry : batch) {
        if (h.id == entry.first) h.published = true;
      }
    }
  }
  published_.notify_all();
}

void InboxRuntime::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  published_.notify_all();
}

}  // namespace varnix
