// Received messages on their way from the worker to the Inbox item: the
// worker's InboxSink writes each to the inbox log, hands it to the main
// window with WM_INBOX and waits until the window has published it.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "dde/DdeModel.h"
#include "dde/InboxItems.h"
#include "inbox/InboxLog.h"
#include "inbox/Inbox.h"

namespace varnix {

namespace win32 {
class InboxLogFile;
}

// Posted by the worker's sink to the main window: a received message waits
// to be published.
inline constexpr UINT WM_INBOX = WM_APP + 106;

class InboxRuntime final : public InboxSink {
 public:
  // How long the worker waits for the window to publish one message.
  static constexpr DWORD kPublishWaitMs = 5000;

  // GUI thread, with the items: opens the log of `service` (each line on
  // the disk before a message counts, with `flush`) and creates Inbox on
  // `conv`. Without a place for the log the messages are published only.
  InboxRuntime(TDdeServerConv& conv, HWND mainWindow, const std::wstring& service, bool flush);
  ~InboxRuntime() override;
  InboxRuntime(const InboxRuntime&) = delete;
  InboxRuntime& operator=(const InboxRuntime&) = delete;

  // Worker thread. True once the message is in the log and in Inbox. A
  // message offered again after it was logged (the window was slow, the
  // delete failed) is not logged or published twice: its answer is whether
  // it has been published by now.
  bool Deliver(const ReceivedMessage& message) override;

  // GUI thread, on WM_INBOX: publishes what waits, in order of arrival.
  void PublishWaiting();

  // Shutdown (any thread): a waiting Deliver gives up at once, and later
  // ones refuse; the messages stay in the modem.
  void Stop();

 private:
  struct Handed {
    std::uint64_t id;
    std::u16string key;  // sender, time and text: the same message offered again
    bool published = false;
  };
  Handed* Find(const std::u16string& key);
  bool WaitPublished(std::unique_lock<std::mutex>& lock, std::uint64_t id);

  HWND window_;
  std::unique_ptr<win32::InboxLogFile> file_;
  InboxLog log_;  // the worker's alone, after construction
  InboxItemOwner items_;  // the GUI thread's

  std::mutex mutex_;
  std::condition_variable published_;
  bool stopped_ = false;
  // Logged and handed to the window, newest last; bounded.
  std::deque<Handed> handed_;
  // Handed but not yet published.
  std::deque<std::pair<std::uint64_t, ReceivedMessage>> waiting_;
};

}  // namespace varnix
