// varnix-send: sends one SMS through a running Varnix over DDE and reports
// the outcome, for batch files and scheduled tasks.
#include <windows.h>
#include <ddeml.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "win32/WinText.h"

namespace {

using varnix::win32::AnsiToWide;
using varnix::win32::WideToAnsi;

constexpr wchar_t kUsage[] =
    L"Usage: varnix-send [--service NAME] [--timeout SECONDS] NUMBER TEXT\n"
    L"\n"
    L"Sends TEXT as an SMS to NUMBER through the Varnix SMS gateway running on\n"
    L"this desktop, and waits for the modem's answer.\n"
    L"\n"
    L"It connects to the DDE service (default \"Varnix\") on the topic \"SMS0\",\n"
    L"watches the item Status, pokes NUMBER into Num, TEXT into SMS and \"1\"\n"
    L"into Send, then prints the next value of Status.\n"
    L"\n"
    L"Options:\n"
    L"  --service NAME     DDE service name of the gateway (default Varnix)\n"
    L"  --timeout SECONDS  how long to wait for the outcome (default 60)\n"
    L"  --help             this text\n"
    L"\n"
    L"Only the first line of TEXT is sent. The text is passed in the system\n"
    L"ANSI code page, as the gateway expects.\n"
    L"\n"
    L"Exit status:\n"
    L"  0  sent (Status became \"1\")\n"
    L"  1  the modem did not take the message (Status became \"0\")\n"
    L"  2  the gateway could not be reached, refused the request or did not\n"
    L"     answer in time; or the command line was wrong\n";

DWORD g_inst = 0;
bool g_gotStatus = false;
std::string g_status;

void Fail(const std::wstring& text) { std::fwprintf(stderr, L"varnix-send: %ls\n", text.c_str()); }

std::wstring Hex(unsigned v) {
  wchar_t b[16];
  std::swprintf(b, 16, L"0x%04x", v);
  return b;
}

// The first line of CF_TEXT data.
std::string FirstLine(const std::string& data) {
  const std::size_t end = data.find_first_of(std::string("\r\n\0", 3));
  return data.substr(0, end);
}

void PumpFor(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (g_gotStatus) return;
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV, HSZ, HSZ, HDDEDATA data, ULONG_PTR, ULONG_PTR) {
  if (type == XTYP_ADVDATA) {
    std::string bytes;
    if (data) {
      const DWORD n = DdeGetData(data, nullptr, 0, 0);
      bytes.resize(n);
      if (n) DdeGetData(data, reinterpret_cast<LPBYTE>(bytes.data()), n, 0);
    }
    g_status = FirstLine(bytes);
    g_gotStatus = true;
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
  }
  return nullptr;
}

class Hsz {
 public:
  explicit Hsz(const wchar_t* s) : h_(DdeCreateStringHandleW(g_inst, s, CP_WINUNICODE)) {}
  ~Hsz() {
    if (h_) DdeFreeStringHandle(g_inst, h_);
  }
  Hsz(const Hsz&) = delete;
  Hsz& operator=(const Hsz&) = delete;
  HSZ get() const { return h_; }

 private:
  HSZ h_;
};

// One CF_TEXT poke. Under Wine a refused poke can still return non-NULL, so
// the DDE_FACK bit of the result decides.
bool Poke(HCONV conv, const wchar_t* item, std::string text) {
  text.push_back('\0');
  Hsz hsz(item);
  DWORD result = 0;
  HDDEDATA r = DdeClientTransaction(reinterpret_cast<LPBYTE>(text.data()),
                                    static_cast<DWORD>(text.size()), conv, hsz.get(), CF_TEXT,
                                    XTYP_POKE, 10000, &result);
  // Let stray acknowledgements of this transaction arrive before the next.
  PumpFor(10);
  return r && (result & DDE_FACK);
}

struct Session {
  HCONV conv = nullptr;
  bool advising = false;
  ~Session() {
    if (conv) {
      if (advising) {
        Hsz status(L"Status");
        DdeClientTransaction(nullptr, 0, conv, status.get(), CF_TEXT, XTYP_ADVSTOP, 5000, nullptr);
      }
      DdeDisconnect(conv);
    }
    if (g_inst) DdeUninitialize(g_inst);
  }
};

int Send(const std::wstring& service, unsigned timeoutSeconds, const std::wstring& number,
         const std::wstring& text) {
  Session session;
  const UINT rc = DdeInitializeW(&g_inst, Callback, APPCMD_CLIENTONLY, 0);
  if (rc != DMLERR_NO_ERROR) {
    g_inst = 0;
    Fail(L"the DDE library could not be started (" + Hex(rc) + L")");
    return 2;
  }
  {
    Hsz hszService(service.c_str()), hszTopic(L"SMS0");
    session.conv = DdeConnect(g_inst, hszService.get(), hszTopic.get(), nullptr);
  }
  if (!session.conv) {
    Fail(L"cannot reach the DDE service \"" + service + L"\", topic \"SMS0\" (" +
         Hex(DdeGetLastError(g_inst)) + L"); is the gateway running?");
    return 2;
  }
  PumpFor(10);
  {
    Hsz status(L"Status");
    session.advising = DdeClientTransaction(nullptr, 0, session.conv, status.get(), CF_TEXT,
                                            XTYP_ADVSTART, 10000, nullptr) != nullptr;
  }
  PumpFor(10);
  if (!session.advising) {
    Fail(L"the gateway refused to report the item Status (" + Hex(DdeGetLastError(g_inst)) +
         L"); is its serial port open?");
    return 2;
  }
  if (!Poke(session.conv, L"Num", WideToAnsi(number)) ||
      !Poke(session.conv, L"SMS", WideToAnsi(text))) {
    Fail(L"the gateway refused the number or the text (" + Hex(DdeGetLastError(g_inst)) + L")");
    return 2;
  }
  g_gotStatus = false;
  if (!Poke(session.conv, L"Send", "1")) {
    Fail(L"the gateway refused the send request (" + Hex(DdeGetLastError(g_inst)) + L")");
    return 2;
  }
  PumpFor(timeoutSeconds * 1000);
  if (!g_gotStatus) {
    Fail(L"no outcome from the gateway within " + std::to_wstring(timeoutSeconds) + L" s");
    return 2;
  }
  std::wprintf(L"%ls\n", AnsiToWide(g_status).c_str());
  std::fflush(stdout);
  return g_status == "1" ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring service = L"Varnix";
  unsigned timeout = 60;
  std::wstring positional[2];
  int count = 0;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (options && (a == L"--help" || a == L"-h" || a == L"/?")) {
      std::fputws(kUsage, stdout);
      return 0;
    }
    if (options && a == L"--") {
      options = false;
    } else if (options && a == L"--service" && i + 1 < argc) {
      service = argv[++i];
    } else if (options && a == L"--timeout" && i + 1 < argc) {
      wchar_t* end = nullptr;
      const unsigned long v = std::wcstoul(argv[++i], &end, 10);
      if (!end || *end || v == 0 || v > 86400) {
        Fail(L"--timeout wants a number of seconds from 1 to 86400");
        return 2;
      }
      timeout = static_cast<unsigned>(v);
    } else if (options && a.size() > 1 && a[0] == L'-' && a != L"-") {
      Fail(L"unknown option " + a + L" (see --help)");
      return 2;
    } else if (count < 2) {
      positional[count++] = a;
    } else {
      Fail(L"too many arguments (see --help)");
      return 2;
    }
  }
  if (count != 2 || positional[0].empty() || positional[1].empty() || service.empty()) {
    std::fputws(kUsage, stderr);
    return 2;
  }
  return Send(service, timeout, positional[0], positional[1]);
}
