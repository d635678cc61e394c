// The process-wide record shared by the GUI thread and the send worker, and
// the queue of pending messages. Portable: no Windows headers.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <map>
#include <string>
#include <vector>

#include "message/MessageResults.h"
#include "message/QueuedMessage.h"

namespace varnix {

class AnsiCodec;
class TDdeServerItem;
class Journal;
class LogSink;

// Posted by the worker to the main window after every processed entry
// (WM_APP + 100), wParam 0, lParam 0. The outcome travels in statusText.
constexpr unsigned WM_SENDDONE = 0x8000 + 100;
// Posted by the worker after a change of state that no Status follows (a
// retry, a message closed when the worker ended): publish Result.
constexpr unsigned WM_RESULTS = 0x8000 + 103;

// Pending messages. One producer (GUI thread), one consumer (worker);
// every operation is atomic against the other thread.
class SendQueue {
 public:
  // Returns false (and stores nothing) once the queue has been released.
  bool Append(QueuedMessage message);
  std::size_t Count() const;
  // Reads the head entry and removes it in one step.
  std::optional<QueuedMessage> TakeNext();
  // The worker's idle wait: returns at once when an entry is waiting, the
  // queue was woken (stop requested) or released; else after `limit`.
  void WaitForEntry(std::chrono::milliseconds limit) const;
  // Ends the wait in progress and every later one, without adding an entry.
  // Sticky on purpose: a stop raised just before the worker starts to wait
  // must not be lost.
  void Wake();
  // Shutdown: drops the waiting entries, handing them back, and refuses
  // every later Append.
  std::vector<QueuedMessage> Release();
  bool Released() const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::deque<QueuedMessage> entries_;
  bool woken_ = false;
  bool released_ = false;
};

// Written by the worker after each message, read by the WM_SENDDONE handler.
// Every Set is followed by one WM_SENDDONE, but a refused number is reported
// at once, so a second outcome can be set before the GUI thread has handled
// the first post. Each outcome therefore also waits in a short list until
// the handler takes it, so that every post publishes its own message's
// result.
class StatusText {
 public:
  void Set(std::string value);
  std::string Get() const;
  // The oldest outcome not yet published, or the current value when every
  // outcome has been taken already.
  std::string TakeForPublication();

  // Posts that never arrive (a full message queue) must not let the list
  // grow without end.
  static constexpr std::size_t kMaxUnpublished = 10000;

 private:
  mutable std::mutex mutex_;
  std::string value_;
  std::deque<std::string> unpublished_;
};

// Indices are also the items' tags.
enum ItemIndex : int {
  kStatus = 0,
  kWakeup = 1,
  kSleep = 2,
  kNum = 3,
  kSms = 4,
  kSend = 5,
  kItemCount = 8
};
using ItemTable = std::array<TDdeServerItem*, kItemCount>;

// The items beside the eight that tell clients about their messages.
struct ResultItemTable {
  TDdeServerItem* id = nullptr;      // per conversation
  TDdeServerItem* result = nullptr;  // one line per change of state
  TDdeServerItem* queue = nullptr;   // accepted messages not yet finished
};

constexpr std::intptr_t kNoPort = -1;

struct GatewayState {
  ItemTable items{};  // all null until the port opened and the items exist
  ResultItemTable resultItems{};
  SendQueue sendQueue;
  StatusText statusText;
  std::uintptr_t mainWindow = 0;  // HWND of the main window
  std::intptr_t portHandle = kNoPort;
  std::atomic<bool> stopRequested{false};

  // Changes of state not yet published in Result; pushed by either thread.
  ResultLog results;
  // With Outbox: every accepted message and each step of its sending is
  // journaled here (it serialises its callers itself); null without.
  Journal* journal = nullptr;
  // With Log: the administrator's log (never blocks); null without.
  LogSink* log = nullptr;
  // The ANSI code page a poked text (and a restored one of the outbox) is
  // decoded through, once, where it is accepted; it outlives the state's
  // use. Null: no such text can be decoded, and each fails in its place.
  const AnsiCodec* codec = nullptr;
  // GUI thread only: the id of the last accepted message, the id each
  // conversation last queued (absent: none, or its last Send queued
  // nothing), and the accepted messages not yet finished.
  MessageId lastId = 0;
  std::map<ClientKey, MessageId> conversationIds;
  bool conversationIdChanged = false;  // Id's links are told at the next publication
  std::size_t unfinished = 0;
  // GUI thread: asks for PublishResults once the DDE transaction under way
  // has been answered (the window posts it to itself). Null: at once.
  std::function<void()> schedulePublish;

  // Raises the stop flag and wakes an idle worker at once.
  void RequestStop() {
    stopRequested.store(true);
    sendQueue.Wake();
  }
};

}  // namespace varnix
