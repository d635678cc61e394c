// A received message's way on Windows (under Wine): the worker's sink
// writes the inbox log beside the journal, hands the message to the window
// and waits until it is published; a stop ends the wait; ids go on from the
// log after a restart; the log's tail is read from a whole line.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "inbox/InboxLog.h"
#include "app/InboxRuntime.h"
#include "win32/InboxLogFile.h"
#include "win32/JournalFile.h"

namespace varnix {
namespace {

std::wstring NewFolder() {
  wchar_t base[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH, base);
  static int counter = 0;
  std::wstring path = std::wstring(base) + L"varnix-inbox-" +
                      std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
  ::CreateDirectoryW(path.c_str(), nullptr);
  return path;
}

std::string FileText(const std::wstring& path) {
  const auto text = win32::InboxLogFile(path, false).ReadTail(1 << 20);
  return text ? *text : "<unreadable>";
}

ReceivedMessage Message(std::u16string text) {
  ReceivedMessage m;
  m.sender = u"+8613800000000";
  m.time = {2026, 12, 8, 9, 5, 7, 32};
  m.text = std::move(text);
  return m;
}

// Runs the window's side on this thread until `done` is ready or 10 s.
template <typename T>
T PumpUntil(std::future<T>& done, InboxRuntime& runtime, bool publish = true) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    EXPECT_LT(std::chrono::steady_clock::now(), end) << "the sink never came back";
    if (std::chrono::steady_clock::now() > end) break;
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_INBOX && publish) runtime.PublishWaiting();
    }
  }
  return done.get();
}

TEST(InboxRuntime, LogsPublishesOnceAndGoesOnAfterARestart) {
  const std::wstring folder = NewFolder();
  ::SetEnvironmentVariableW(L"ProgramData", folder.c_str());
  const HWND window = ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  const std::wstring log = win32::InboxLogPath(L"InboxTest");
  EXPECT_EQ(log, folder + L"\\Korva\\Varnix\\InboxTest.inbox.log");

  TDdeServerConv conv("SMS0");
  {
    InboxRuntime runtime(conv, window, L"InboxTest", true);
    TDdeServerItem* inbox = conv.FindItem("Inbox");
    ASSERT_NE(inbox, nullptr);
    EXPECT_TRUE(inbox->Unicode);

    auto first = std::async(std::launch::async, [&] { return runtime.Deliver(Message(u"a\tb")); });
    EXPECT_TRUE(PumpUntil(first, runtime));
    EXPECT_EQ(inbox->WideLines(),
              std::vector<std::u16string>{u"1\t+8613800000000\t2026-12-08 09:05:07+08:00\ta\\tb"});
    EXPECT_EQ(FileText(log), "1\t+8613800000000\t2026-12-08 09:05:07+08:00\ta\\tb\r\n");

    // Offered again (its delete failed): neither logged nor published twice.
    auto again = std::async(std::launch::async, [&] { return runtime.Deliver(Message(u"a\tb")); });
    EXPECT_TRUE(PumpUntil(again, runtime));
    EXPECT_EQ(inbox->WideLines().size(), 1u);

    // The window does not get to it: a stop ends the wait at once, and the
    // message counts as not taken; later offers are refused.
    const auto start = std::chrono::steady_clock::now();
    auto stalled = std::async(std::launch::async, [&] { return runtime.Deliver(Message(u"c")); });
    EXPECT_EQ(stalled.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    runtime.Stop();
    EXPECT_FALSE(PumpUntil(stalled, runtime, false));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(runtime.Deliver(Message(u"d")));
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  // Ids go on from the log's last line; "c" had been logged as 2.
  InboxRuntime runtime(conv, window, L"InboxTest", false);
  auto next = std::async(std::launch::async, [&] { return runtime.Deliver(Message(u"\u4F60")); });
  EXPECT_TRUE(PumpUntil(next, runtime));
  const std::string text = FileText(log);
  EXPECT_EQ(LastInboxId(text), 3u) << text;
  EXPECT_NE(text.find("3\t+8613800000000\t2026-12-08 09:05:07+08:00\t\xE4\xBD\xA0\r\n"),
            std::string::npos);
  ::DestroyWindow(window);
  ::DeleteFileW(log.c_str());
}

TEST(InboxLogFile, TheTailBeginsWithAWholeLineAndATornWriteEndsItsLine) {
  const std::wstring path = NewFolder() + L"\\t.log";
  win32::InboxLogFile file(path, true);
  EXPECT_EQ(file.ReadTail(100), std::string()) << "no log yet";
  ASSERT_TRUE(file.Append("1\tlong line one\r\n"));
  ASSERT_TRUE(file.Append("2\tb\r\n"));
  EXPECT_EQ(file.ReadTail(1000), "1\tlong line one\r\n2\tb\r\n");
  EXPECT_EQ(file.ReadTail(10), "2\tb\r\n");  // cut inside line 1: it is dropped
  EXPECT_EQ(file.ReadTail(3), "");
  ::DeleteFileW(path.c_str());
}

}  // namespace
}  // namespace varnix
