// varnix-send's side of DDEML: one Unicode client instance, its
// conversations, synchronous transactions that survive Wine's stray
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

class DdeSession {
 public:
  DdeSession() = default;
  ~DdeSession();
  DdeSession(const DdeSession&) = delete;
  DdeSession& operator=(const DdeSession&) = delete;

  // DdeInitializeW as a client only; DMLERR_NO_ERROR or why not.
  UINT Start();
  // A conversation, or nullptr (LastError() says why). Disconnected by the
  // destructor, after its advise links were stopped.
  HCONV Connect(const std::wstring& service, const std::wstring& topic);
  UINT LastError() const;

  // CF_TEXT request; *data gets the bytes as served.
  bool Request(HCONV conv, const wchar_t* item, std::string* data, DWORD timeoutMs);
  // CF_TEXT poke of `text` and its NUL.
  bool Poke(HCONV conv, const wchar_t* item, std::string text, DWORD timeoutMs);
  // An execute of `command` and its NUL as UTF-16 (CF_UNICODETEXT).
  bool Execute(HCONV conv, const std::wstring& command, DWORD timeoutMs);
  // A hot CF_TEXT advise link.
  bool Advise(HCONV conv, const wchar_t* item, DWORD timeoutMs);

  // Pumps messages for `ms`, or (stopOnData) until advise data is waiting.
  void Pump(DWORD ms, bool stopOnData = true);
  // The advise data that arrived since the last call, oldest first.
  std::vector<Advised> TakeAdvised();

 private:
  HDDEDATA Transact(const void* data, DWORD size, HCONV conv, const wchar_t* item, UINT format,
                    UINT type, DWORD timeoutMs, DWORD* result);

  struct Link {
    HCONV conv;
    std::wstring item;
  };
  std::vector<HCONV> convs_;
  std::vector<Link> links_;
};

}  // namespace varnix_send
