// The DDEML side of the DDE service: registers the service name, answers the
// transactions of the topic's clients from the item model (dde/DdeModel.h)
// and tells advise links about every change of an item.
#pragma once

#include <windows.h>
#include <ddeml.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "dde/DdeModel.h"

namespace varnix::win32 {

// DDEML refused to start or to register the service name. what() is the
// text for the user, naming the DDEML error.
class DdeInitError : public std::runtime_error {
 public:
  explicit DdeInitError(unsigned code);
};

// A DDEML string handle of one instance, freed with it.
class StringHandle {
 public:
  StringHandle() = default;
  StringHandle(DWORD instance, const std::wstring& text);
  ~StringHandle() { reset(); }
  StringHandle(StringHandle&& o) noexcept;
  StringHandle& operator=(StringHandle&& o) noexcept;
  StringHandle(const StringHandle&) = delete;
  StringHandle& operator=(const StringHandle&) = delete;
  HSZ get() const { return hsz_; }
  void reset();

 private:
  DWORD instance_ = 0;
  HSZ hsz_ = nullptr;
};

// The service of this process. Construct it on the GUI thread before any
// window exists: DDEML calls back on the thread that initialised it, from
// inside that thread's message loop. One per process.
class DdeServer final : public AdviseSink {
 public:
  // Whether a topic names one of the program's windows (forms, shown or
  // hidden). The default knows no windows.
  using CaptionMatcher = std::function<bool(const std::wstring& topic)>;

  // Initialises DDEML (standard application class, no filter flags) and
  // registers `service`. Throws DdeInitError.
  explicit DdeServer(const std::wstring& service);
  ~DdeServer() override;
  DdeServer(const DdeServer&) = delete;
  DdeServer& operator=(const DdeServer&) = delete;

  // From now on connects to the conversation's name are accepted and its
  // items are served. The server becomes the conversation's advise sink.
  void SetConversation(TDdeServerConv* conv);
  void SetCaptionMatcher(CaptionMatcher matcher) { captions_ = std::move(matcher); }

  const std::wstring& ServiceName() const { return serviceName_; }

  // AdviseSink: serves the new data to every advise link on the item.
  void ItemChanged(const TDdeServerItem& item) override;

 private:
  static LRESULT CALLBACK ConversationWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                                 UINT_PTR id, DWORD_PTR server);
  void WatchExecutes(HCONV conv);
  static HDDEDATA CALLBACK Callback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2,
                                    HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);
  HDDEDATA Dispatch(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data);

  bool Accepts(HSZ topic, HSZ service) const;
  bool IsServedTopic(HCONV conv, HSZ topic) const;
  TDdeServerItem* FindItem(HCONV conv, HSZ topic, HSZ item) const;
  std::wstring QueryW(HSZ hsz) const;
  std::string QueryAnsi(HSZ hsz) const;
  HSZ ItemHandle(const std::string& name);

  DWORD instance_ = 0;
  std::wstring serviceName_;
  StringHandle service_;
  StringHandle topic_;
  bool registered_ = false;
  TDdeServerConv* conv_ = nullptr;
  CaptionMatcher captions_;
  // Open conversations and the topic each was opened on (served topic or a
  // window caption).
  std::map<HCONV, bool> conversations_;
  // Advise links (conversation, item name, format) as started by clients.
  std::set<std::tuple<HCONV, std::string, UINT>> links_;
  bool onWine_ = false;
  // The server-side window of each conversation (subclassed to see an
  // execute's command block as the client wrote it), and the block of the
  // execute being delivered on it, if any.
  std::map<HCONV, HWND> conversationWindows_;
  std::map<HWND, std::string> executeBlocks_;
  // Item names as string handles, kept for the life of the server so that
  // advise notifications never race with the names' atoms going away.
  std::map<std::string, StringHandle> itemHandles_;
};

// The service name of this process: the executable's file name cut at its
// first dot.
std::wstring ServiceNameOfThisProcess();

// A CaptionMatcher over the current captions of the given windows, compared
// without regard to case in the user's locale.
DdeServer::CaptionMatcher MatchCaptionsOf(std::function<std::vector<HWND>()> windows);

}  // namespace varnix::win32
