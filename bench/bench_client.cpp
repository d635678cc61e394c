// The Windows side of the performance benchmarks (bench/run.sh drives it).
//
//   varnix-bench.exe COMMAND ARGS...
//
//   clock PORT N                 N UDP exchanges with the driver on
//                                127.0.0.1:PORT, to align this side's clock
//                                with the Linux one (see docs/performance.md)
//   roundtrip RUNS N ITEM SVC... per run N timed pokes into ITEM of each
//                                service, the services taking turns
//   message N GAP_MS             N messages: poke "1" into Send, time until
//                                the Status advise; GAP_MS idle between them
//   watch N TIMEOUT_MS [SVC]     holds an advise link on Status, counts updates
//   burst N [SVC [NUM [GAP_MS]]] N pokes of "1" into Send, back to back or
//                                GAP_MS apart, Num set to NUM first (default
//                                "x1", refused)
//   fill N PER [SVC]             N messages queued by executes of PER Send
//                                commands each
//   startq EXE EXPECT TIMEOUT_MS starts EXE, then asks for Queue every 10 ms
//                                until it reads EXPECT
//   close TIMEOUT_MS             asks Varnix to close and confirms the box
//   close-bare TIMEOUT_MS        closes the bare server's window (baseline)
//
// Every time printed is a QueryPerformanceCounter value in ticks; the line
// "freq=" gives the ticks per second. DDE goes to the topic "SMS0".
#include <winsock2.h>
#include <windows.h>
#include <ddeml.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "win32/WinText.h"

namespace {

constexpr DWORD kTransactionMs = 10000;

DWORD g_inst = 0;
HSZ g_statusItem = nullptr;
int g_advCount = 0;
LONGLONG g_lastAdv = 0;

LONGLONG Now() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

void Out(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string Num(LONGLONG v) { return std::to_string(v); }

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// Pumps messages until pred() holds or `ms` have passed; returns pred().
template <typename Pred>
bool PumpUntil(DWORD ms, Pred pred) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    Pump();
    if (pred()) return true;
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV, HSZ, HSZ item, HDDEDATA, ULONG_PTR,
                           ULONG_PTR) {
  if (type == XTYP_ADVDATA) {
    // Stamped first: this is the moment the update reached the client.
    const LONGLONG t = Now();
    if (DdeCmpStringHandles(item, g_statusItem) == 0) {
      ++g_advCount;
      g_lastAdv = t;
    }
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
  }
  return nullptr;
}

bool Init() {
  if (DdeInitializeW(&g_inst, &Callback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return false;
  g_statusItem = DdeCreateStringHandleW(g_inst, L"Status", CP_WINUNICODE);
  return true;
}

HCONV Connect(const std::wstring& service) {
  HSZ s = DdeCreateStringHandleW(g_inst, service.c_str(), CP_WINUNICODE);
  HSZ t = DdeCreateStringHandleW(g_inst, L"SMS0", CP_WINUNICODE);
  HCONV conv = nullptr;
  // The server may still be finishing its start-up.
  for (int i = 0; i < 100 && !conv; ++i) {
    conv = DdeConnect(g_inst, s, t, nullptr);
    if (!conv) PumpUntil(100, [] { return false; });
  }
  if (!conv) Out("connect-error=" + std::to_string(DdeGetLastError(g_inst)));
  DdeFreeStringHandle(g_inst, s);
  DdeFreeStringHandle(g_inst, t);
  return conv;
}

// One poke; true when the server answered DDE_FACK. Wine's DDEML can report
// a refused poke as a success, so the result word decides.
bool Poke(HCONV conv, HSZ item, const std::string& text) {
  DWORD result = 0;
  HDDEDATA ok = DdeClientTransaction(
      reinterpret_cast<LPBYTE>(const_cast<char*>(text.c_str())),
      static_cast<DWORD>(text.size() + 1), conv, item, CF_TEXT, XTYP_POKE, kTransactionMs,
      &result);
  return ok && (result & DDE_FACK);
}

HSZ Item(const wchar_t* name) { return DdeCreateStringHandleW(g_inst, name, CP_WINUNICODE); }

int Fail(const std::string& why) {
  Out("error=" + why);
  return 1;
}

// ---------------------------------------------------------------------------

int Clock(int port, int n) {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return Fail("WSAStartup");
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return Fail("socket");
  DWORD timeout = 2000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < n; ++i) {
    const std::string probe = std::to_string(i);
    const LONGLONG a = Now();
    sendto(s, probe.data(), static_cast<int>(probe.size()), 0, reinterpret_cast<sockaddr*>(&to),
           sizeof to);
    char buf[128] = {};
    const int got = recv(s, buf, sizeof buf - 1, 0);
    const LONGLONG b = Now();
    if (got <= 0) return Fail("no answer from the driver");
    // The driver answers "<probe> <its monotonic time in seconds>".
    Out("ping a=" + Num(a) + " b=" + Num(b) + " reply=" + std::string(buf, static_cast<size_t>(got)));
    Sleep(5);
  }
  closesocket(s);
  WSACleanup();
  return 0;
}

int Roundtrip(int runs, int n, const wchar_t* itemName, const std::vector<std::wstring>& services) {
  std::vector<HCONV> convs;
  for (const auto& svc : services) {
    HCONV c = Connect(svc);
    if (!c) return Fail("connect");
    convs.push_back(c);
  }
  HSZ item = Item(itemName);
  const std::string value = "13800138000";
  // Warm-up: first transactions create atoms, windows and caches.
  for (HCONV c : convs) {
    for (int i = 0; i < 50; ++i) {
      Poke(c, item, value);
      Pump();
    }
  }
  // The services take turns poke by poke, so that whatever else the machine
  // does at a moment weighs on all of them alike.
  for (int r = 0; r < runs; ++r) {
    std::vector<std::string> lat(convs.size());
    std::vector<int> acked(convs.size(), 0);
    for (int i = 0; i < n; ++i) {
      for (size_t k = 0; k < convs.size(); ++k) {
        const LONGLONG a = Now();
        const bool ok = Poke(convs[k], item, value);
        const LONGLONG b = Now();
        acked[k] += ok ? 1 : 0;
        // Wine's DDEML may leave an acknowledgement behind; it must not be
        // taken for the next transaction's answer.
        Pump();
        if (!lat[k].empty()) lat[k] += ',';
        lat[k] += Num(b - a);
      }
    }
    for (size_t k = 0; k < convs.size(); ++k) {
      const std::string svc = varnix::win32::WideToUtf8(services[k]);
      Out("block run=" + std::to_string(r) + " service=" + svc + " acked=" +
          std::to_string(acked[k]) + " lat=" + lat[k]);
    }
  }
  for (HCONV c : convs) DdeDisconnect(c);
  return 0;
}

int Message(int n, int gapMs) {
  // One conversation for the advise link and the pokes: Wine's DDEML does
  // not open a second one to the same server and topic. The link is on
  // another item than the pokes, so advise data is never taken for a poke's
  // acknowledgement.
  HCONV conv = Connect(L"Varnix");
  if (!conv) return Fail("connect");
  HCONV watch = conv;
  DWORD result = 0;
  if (!DdeClientTransaction(nullptr, 0, watch, g_statusItem, CF_TEXT, XTYP_ADVSTART,
                            kTransactionMs, &result)) {
    return Fail("advise");
  }
  Pump();
  HSZ num = Item(L"Num");
  HSZ sms = Item(L"SMS");
  HSZ send = Item(L"Send");
  if (!Poke(conv, num, "13800138000") || !Poke(conv, sms, "bench")) return Fail("poke");
  Pump();
  for (int i = 0; i < n; ++i) {
    PumpUntil(static_cast<DWORD>(gapMs), [] { return false; });
    const int before = g_advCount;
    const LONGLONG t0 = Now();
    const bool ok = Poke(conv, send, "1");
    const LONGLONG t1 = Now();
    if (!ok) return Fail("Send not acknowledged");
    if (!PumpUntil(60000, [before] { return g_advCount > before; })) {
      return Fail("no Status update");
    }
    Out("msg i=" + std::to_string(i) + " poke=" + Num(t0) + " ack=" + Num(t1) +
        " status=" + Num(g_lastAdv));
  }
  DdeClientTransaction(nullptr, 0, watch, g_statusItem, CF_TEXT, XTYP_ADVSTOP, kTransactionMs,
                       &result);
  DdeDisconnect(conv);
  return 0;
}

int Watch(int n, int timeoutMs, const std::wstring& service) {
  HCONV watch = Connect(service);
  if (!watch) return Fail("connect");
  DWORD result = 0;
  if (!DdeClientTransaction(nullptr, 0, watch, g_statusItem, CF_TEXT, XTYP_ADVSTART,
                            kTransactionMs, &result)) {
    return Fail("advise");
  }
  Out("ready");
  PumpUntil(static_cast<DWORD>(timeoutMs), [n] { return g_advCount >= n; });
  // Anything beyond N would be a duplicate: give it a moment to show.
  PumpUntil(500, [] { return false; });
  Out("watched n=" + std::to_string(g_advCount) + " last=" + Num(g_lastAdv));
  DdeDisconnect(watch);
  return 0;
}

int Burst(int n, const std::wstring& service, const std::string& number, int gapMs) {
  HCONV conv = Connect(service);
  if (!conv) return Fail("connect");
  HSZ num = Item(L"Num");
  HSZ sms = Item(L"SMS");
  HSZ send = Item(L"Send");
  // By default a number with a letter: the worker refuses it without a word
  // to the modem, so the queue drains as fast as the gateway can report.
  if (!Poke(conv, num, number) || !Poke(conv, sms, "burst")) return Fail("poke");
  Pump();
  std::string lat;
  int acked = 0;
  const LONGLONG start = Now();
  for (int i = 0; i < n; ++i) {
    const LONGLONG a = Now();
    const bool ok = Poke(conv, send, "1");
    const LONGLONG b = Now();
    acked += ok ? 1 : 0;
    Pump();
    if (!lat.empty()) lat += ',';
    lat += Num(b - a);
    if (gapMs > 0) PumpUntil(static_cast<DWORD>(gapMs), [] { return false; });
  }
  const LONGLONG end = Now();
  Out("burst acked=" + std::to_string(acked) + " start=" + Num(start) + " end=" + Num(end) +
      " lat=" + lat);
  DdeDisconnect(conv);
  return 0;
}

int Fill(int n, int per, const std::wstring& service) {
  HCONV conv = Connect(service);
  if (!conv) return Fail("connect");
  int queued = 0, executes = 0, refused = 0;
  const LONGLONG start = Now();
  while (queued < n) {
    const int k = per < n - queued ? per : n - queued;
    std::string cmd;
    for (int i = 0; i < k; ++i) {
      char text[32];
      std::snprintf(text, sizeof text, "memory bench %06d", queued + i);
      cmd += "[Send(\"13800138000\",\"" + std::string(text) + "\")]";
    }
    DWORD result = 0;
    HDDEDATA ok = DdeClientTransaction(reinterpret_cast<LPBYTE>(cmd.data()),
                                       static_cast<DWORD>(cmd.size() + 1), conv, nullptr, 0,
                                       XTYP_EXECUTE, kTransactionMs, &result);
    Pump();
    ++executes;
    if (!ok || !(result & DDE_FACK)) ++refused;
    queued += k;
  }
  const LONGLONG end = Now();
  Out("fill n=" + std::to_string(queued) + " executes=" + std::to_string(executes) +
      " refused=" + std::to_string(refused) + " start=" + Num(start) + " end=" + Num(end));
  DdeDisconnect(conv);
  return refused ? 1 : 0;
}

// The first line of an item's text, or "" when the request fails.
std::string Request(HCONV conv, HSZ item) {
  HDDEDATA data = DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_REQUEST,
                                       kTransactionMs, nullptr);
  if (!data) return {};
  std::string bytes(DdeGetData(data, nullptr, 0, 0), '\0');
  if (!bytes.empty()) DdeGetData(data, reinterpret_cast<LPBYTE>(bytes.data()),
                                 static_cast<DWORD>(bytes.size()), 0);
  DdeFreeDataHandle(data);
  return bytes.substr(0, bytes.find_first_of(std::string("\r\n\0", 3)));
}

// From CreateProcess until Queue reads `expect`. The program is started from
// here so that one clock brackets it; the driver ends it.
int StartQueue(const wchar_t* exe, const std::string& expect, int timeoutMs) {
  HSZ service = Item(L"Varnix");
  HSZ topic = Item(L"SMS0");
  HSZ queue = Item(L"Queue");
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring cmdline = std::wstring(L"\"") + exe + L"\"";
  const LONGLONG t0 = Now();
  if (!CreateProcessW(exe, cmdline.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    return Fail("CreateProcess " + std::to_string(GetLastError()));
  }
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  HCONV conv = nullptr;
  LONGLONG connected = 0;
  std::string seen;
  while (GetTickCount64() < end) {
    if (!conv) {
      conv = DdeConnect(g_inst, service, topic, nullptr);
      if (conv) connected = Now();
    }
    if (conv) {
      seen = Request(conv, queue);
      if (seen == expect) {
        const LONGLONG t1 = Now();
        Out("startq pid=" + std::to_string(pi.dwProcessId) + " connected=" +
            Num(connected - t0) + " read=" + Num(t1 - t0));
        DdeDisconnect(conv);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return 0;
      }
    }
    PumpUntil(10, [] { return false; });
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return Fail("Queue never read " + expect + " (last: \"" + seen + "\")");
}

DWORD g_boxPid = 0;
HWND g_box = nullptr;

BOOL CALLBACK FindBox(HWND hwnd, LPARAM) {
  wchar_t cls[64] = {};
  GetClassNameW(hwnd, cls, 64);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  if (pid == g_boxPid && IsWindowVisible(hwnd) && std::wstring(cls) == L"#32770") {
    g_box = hwnd;
    return FALSE;
  }
  return TRUE;
}

int Close(int timeoutMs) {
  HWND main = FindWindowW(L"MainWindow", nullptr);
  if (!main) return Fail("no Varnix window");
  GetWindowThreadProcessId(main, &g_boxPid);
  PostMessageW(main, WM_CLOSE, 0, 0);
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  while (!g_box && GetTickCount64() < end) {
    EnumWindows(&FindBox, 0);
    if (!g_box) Sleep(1);
  }
  if (!g_box) return Fail("no confirmation box");
  HWND ok = GetDlgItem(g_box, IDOK);
  if (!ok) return Fail("no OK button");
  const LONGLONG t = Now();
  PostMessageW(g_box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
  while (IsWindow(main) && GetTickCount64() < end) Sleep(1);
  const LONGLONG gone = Now();
  Out("close confirmed=" + Num(t) + " window_gone=" + Num(gone));
  return 0;
}

int CloseBare(int timeoutMs) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  HWND wnd = nullptr;
  while (!(wnd = FindWindowW(L"VarnixAckWnd", nullptr)) && GetTickCount64() < end) Sleep(5);
  if (!wnd) return Fail("no VarnixAck window");
  const LONGLONG t = Now();
  PostMessageW(wnd, WM_CLOSE, 0, 0);
  while (IsWindow(wnd) && GetTickCount64() < end) Sleep(1);
  const LONGLONG gone = Now();
  Out("close confirmed=" + Num(t) + " window_gone=" + Num(gone));
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  Out("freq=" + Num(f.QuadPart));
  if (argc < 2) return Fail("no command");
  const std::wstring cmd = argv[1];
  auto arg = [&](int i) { return i < argc ? _wtoi(argv[i]) : 0; };
  if (cmd == L"clock") return Clock(arg(2), arg(3));
  if (cmd == L"close") return Close(arg(2));
  if (cmd == L"close-bare") return CloseBare(arg(2));
  if (!Init()) return Fail("DdeInitialize");
  int rc = 1;
  if (cmd == L"roundtrip" && argc >= 6) {
    std::vector<std::wstring> services(argv + 5, argv + argc);
    rc = Roundtrip(arg(2), arg(3), argv[4], services);
  } else if (cmd == L"message") {
    rc = Message(arg(2), arg(3));
  } else if (cmd == L"watch") {
    rc = Watch(arg(2), arg(3), argc > 4 ? argv[4] : L"Varnix");
  } else if (cmd == L"burst") {
    rc = Burst(arg(2), argc > 3 ? argv[3] : L"Varnix",
               argc > 4 ? varnix::win32::WideToUtf8(argv[4]) : std::string("x1"), arg(5));
  } else if (cmd == L"fill" && argc >= 4) {
    rc = Fill(arg(2), arg(3), argc > 4 ? argv[4] : L"Varnix");
  } else if (cmd == L"startq" && argc >= 5) {
    rc = StartQueue(argv[2], varnix::win32::WideToUtf8(argv[3]), arg(4));
  } else {
    rc = Fail("unknown command");
  }
  DdeUninitialize(g_inst);
  return rc;
}
