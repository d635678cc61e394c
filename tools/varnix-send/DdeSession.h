// varnix-send's side of DDEML: one Unicode client instance with one
// conversation, synchronous transactions that survive Wine's stray
// acknowledgements, and the advise data that arrived, in order.
#pragma once

#include <windows.h>
#include <ddeml.h>

#include <string>
#include <vector>

namespace varnix_send {

struct Advised {
  HCONV conv;
  std::wstring item;
  std::string data;  // as served, CF_TEXT in the ANSI code page
};

// Wine's DDEML allows an instance one conversation per service and topic,
// and ends a synchronous transaction at the first DDE message that reaches
// the conversation's window, whatever it is: advise data of the same
// conversation is taken for the answer. So a program that watches an item
// while it sends uses two sessions, one for each.
class DdeSession {
 public:
  DdeSession() = default;
  ~DdeSession();  // stops the advise link, disconnects, uninitialises
  DdeSession(const DdeSession&) = delete;
  DdeSession& operator=(const DdeSession&) = delete;

  // DdeInitializeW (DdeInitializeA unless `unicode`) as a client only, then
  // the conversation: DMLERR_NO_ERROR or why not (DMLERR_NO_CONV_ESTABLISHED
  // when no server answered).
  UINT Open(const std::wstring& service, const std::wstring& topic, bool unicode = true);
  HCONV conv() const { return conv_; }
  UINT LastError() const;

  // CF_TEXT request; *data gets the bytes as served.
  bool Request(const wchar_t* item, std::string* data, DWORD timeoutMs);
  // CF_TEXT poke of `text` and its NUL.
  bool Poke(const wchar_t* item, std::string text, DWORD timeoutMs);
  // An execute of `command` and its NUL as UTF-16 (CF_UNICODETEXT).
  bool Execute(const std::wstring& command, DWORD timeoutMs);
  // An execute of `command` and its NUL as ANSI bytes (CF_TEXT), for a
  // session opened without `unicode`.
  bool ExecuteAnsi(std::string command, DWORD timeoutMs);
  // The one hot CF_TEXT advise link of this session.
  bool Advise(const wchar_t* item, DWORD timeoutMs);

  // Pumps the thread's messages for `ms`, or (stopOnData) until advise data
  // of any session is waiting.
  static void Pump(DWORD ms, bool stopOnData = true);
  // The advise data of every session since the last call, oldest first.
  static std::vector<Advised> TakeAdvised();

 private:
  HDDEDATA Transact(const void* data, DWORD size, const wchar_t* item, UINT format, UINT type,
                    DWORD timeoutMs, DWORD* result);

  DWORD inst_ = 0;
  HCONV conv_ = nullptr;
  std::wstring link_;  // the advised item, if any
};

}  // namespace varnix_send
