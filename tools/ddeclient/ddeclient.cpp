// Scriptable DDE client of the test suite (not shipped).
//
//   ddeclient [--script FILE] [COMMAND ...]
//
// Each COMMAND argument is one command line; with --script the lines of FILE
// (or of stdin for "-") run first. Words are separated by blanks. In TEXT
// arguments \r \n \t \0 \s (blank) \\ and \xHH are decoded; "hex:..." gives
// raw bytes ("hex:" alone is the empty text). A SERVICE or TOPIC of "-" is
// left out (NULL). Text is converted from UTF-8 to the ANSI code page.
//
// DDEML commands (one conversation at a time):
//   connect SERVICE TOPIC          -> connect ok | connect fail err=0x....
//   request ITEM [FORMAT]          -> request ok item=I hex=.. | request fail err=..
//   poke ITEM TEXT [FORMAT]        -> poke ack|nak item=I result=0x.. [err=..]
//   advise ITEM [warm]             -> advise ok|fail item=I
//   unadvise ITEM                  -> unadvise ok|fail item=I
//   execute TEXT                   -> execute ack|nak result=0x.. [err=..]
//   disconnect                     -> disconnect ok|fail
//   convstatus                     -> convstatus connected=0|1 terminated=0|1
//   waitadv N MS                   -> waitadv ok|timeout n=<advdata so far>
//   advdata lines arrive whenever data is pumped:
//                                  -> advdata item=I hex=.. t=<unix ms>
// Raw DDE messages (as Excel does):
//   raw-initiate SERVICE TOPIC [MS] broadcast; -> raw-ack app=A topic=T, then
//                                  raw-initiate acks=N; the first answer is kept
//   raw-advise ITEM                -> raw-advise ack|nak|timeout
//   raw-unadvise ITEM              -> raw-unadvise ack|nak|timeout
//   raw-poke ITEM TEXT             -> raw-poke ack|nak|timeout
//   raw-request ITEM               -> raw-request data hex=..|nak|timeout
//   raw-terminate                  -> raw-terminate ok|timeout
//   unsolicited data               -> raw-data item=I hex=.. t=<unix ms>
// Others:
//   sleep MS (pumping messages), echo TEXT, lock NAME / unlock NAME (named
//   mutex across processes), waitfile PATH MS, time (-> time t=<unix ms>).
#include <windows.h>
#include <dde.h>
#include <ddeml.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "win32/WinText.h"

namespace {

DWORD g_inst = 0;
HCONV g_conv = nullptr;
int g_advCount = 0;
HWND g_rawWnd = nullptr;      // our window for raw DDE
HWND g_rawPartner = nullptr;  // the server's window of the raw conversation
std::map<std::wstring, HANDLE> g_mutexes;

// Raw DDE replies collected by the window procedure.
struct RawReply {
  bool got = false;
  bool ack = false;
  bool data = false;
  std::string bytes;
};
RawReply g_rawReply;
std::vector<std::pair<std::string, std::string>> g_rawAcks;
bool g_collectingAcks = false;
bool g_rawExpectData = false;
bool g_rawTerminated = false;

double NowMs() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  ULARGE_INTEGER u;
  u.LowPart = ft.dwLowDateTime;
  u.HighPart = ft.dwHighDateTime;
  return static_cast<double>(u.QuadPart - 116444736000000000ULL) / 10000.0;
}

void Out(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string Hex(const void* data, std::size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

// A name in an output line: blanks and backslashes escaped, so that every
// line splits into words.
std::string Word(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == ' ') {
      out += "\\s";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

std::string HexWord(unsigned v) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%x", v);
  return b;
}

std::string TimeText() {
  char b[48];
  std::snprintf(b, sizeof b, "%.3f", NowMs());
  return b;
}

using varnix::win32::Utf8ToWide;
using varnix::win32::WideToAnsi;
using varnix::win32::WideToUtf8;

// Escapes of a SERVICE, TOPIC or ITEM argument; the result stays UTF-8.
std::string DecodeName(const std::string& arg);

// A TEXT argument as the bytes to send (ANSI code page).
std::string DecodeText(const std::string& arg) {
  if (arg.rfind("hex:", 0) == 0) {
    std::string out;
    for (std::size_t i = 4; i + 1 < arg.size(); i += 2) {
      out += static_cast<char>(std::stoi(arg.substr(i, 2), nullptr, 16));
    }
    return out;
  }
  // Embedded NULs are converted like any other character.
  return WideToAnsi(Utf8ToWide(DecodeName(arg)));
}

std::string DecodeName(const std::string& arg) {
  std::string utf8;
  for (std::size_t i = 0; i < arg.size(); ++i) {
    if (arg[i] != '\\' || i + 1 >= arg.size()) {
      utf8 += arg[i];
      continue;
    }
    const char c = arg[++i];
    switch (c) {
      case 'r': utf8 += '\r'; break;
      case 'n': utf8 += '\n'; break;
      case 't': utf8 += '\t'; break;
      case '0': utf8 += '\0'; break;
      case 's': utf8 += ' '; break;
      case '\\': utf8 += '\\'; break;
      case 'x':
        utf8 += static_cast<char>(std::stoi(arg.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      default: utf8 += c; break;
    }
  }
  return utf8;
}

UINT ParseFormat(const std::string& s) {
  if (s.empty() || s == "text") return CF_TEXT;
  if (s == "unicode") return CF_UNICODETEXT;
  if (s == "oem") return CF_OEMTEXT;
  return static_cast<UINT>(std::stoul(s, nullptr, 0));
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void PumpFor(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    Pump();
    const ULONGLONG now = GetTickCount64();
    if (now >= end) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

// Wine's client side may take a stray acknowledgement of the previous
// transaction as the answer to the next one: let it arrive first.
void Settle() { PumpFor(15); }

HDDEDATA CALLBACK ClientCallback(UINT type, UINT format, HCONV, HSZ, HSZ hszItem, HDDEDATA data,
                                 ULONG_PTR, ULONG_PTR) {
  if (type == XTYP_ADVDATA) {
    char name[256] = "";
    DdeQueryStringA(g_inst, hszItem, name, sizeof name, CP_WINANSI);
    std::string bytes;
    if (data) {
      DWORD n = DdeGetData(data, nullptr, 0, 0);
      bytes.resize(n);
      if (n) DdeGetData(data, reinterpret_cast<LPBYTE>(bytes.data()), n, 0);
    }
    ++g_advCount;
    Out("advdata item=" + std::string(name) + " hex=" + Hex(bytes.data(), bytes.size()) +
        " format=" + std::to_string(format) + " t=" + TimeText());
    return reinterpret_cast<HDDEDATA>(DDE_FACK);
  }
  if (type == XTYP_DISCONNECT) Out("disconnected t=" + TimeText());
  return nullptr;
}

class Hsz {
 public:
  explicit Hsz(const std::string& s)
      : h_(s == "-" ? nullptr
                    : DdeCreateStringHandleW(g_inst, Utf8ToWide(DecodeName(s)).c_str(),
                                             CP_WINUNICODE)) {}
  ~Hsz() {
    if (h_) DdeFreeStringHandle(g_inst, h_);
  }
  HSZ get() const { return h_; }

 private:
  HSZ h_;
};

std::string Err() { return HexWord(DdeGetLastError(g_inst)); }

// ---- raw DDE ----

ATOM AddAtom(const std::string& s) {
  return s == "-" ? 0 : GlobalAddAtomW(Utf8ToWide(DecodeName(s)).c_str());
}

std::string AtomName(ATOM a) {
  if (!a) return "";
  wchar_t b[256] = L"";
  GlobalGetAtomNameW(a, b, 256);
  return WideToUtf8(b);
}

LRESULT CALLBACK RawProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_DDE_ACK:
      if (g_collectingAcks) {
        // Answer to WM_DDE_INITIATE: lParam holds (app, topic) atoms as is.
        const ATOM app = LOWORD(lParam), topic = HIWORD(lParam);
        g_rawAcks.emplace_back(AtomName(app), AtomName(topic));
        if (!g_rawPartner) {
          g_rawPartner = reinterpret_cast<HWND>(wParam);
        } else {
          // Only one conversation is kept; end the others.
          PostMessageW(reinterpret_cast<HWND>(wParam), WM_DDE_TERMINATE,
                       reinterpret_cast<WPARAM>(hwnd), 0);
        }
        if (app) GlobalDeleteAtom(app);
        if (topic) GlobalDeleteAtom(topic);
        Out("raw-ack app=" + Word(g_rawAcks.back().first) +
            " topic=" + Word(g_rawAcks.back().second));
        return 0;
      }
      {
        UINT_PTR lo = 0, hi = 0;
        UnpackDDElParam(WM_DDE_ACK, lParam, &lo, &hi);
        FreeDDElParam(WM_DDE_ACK, lParam);
        const DDEACK* ack = reinterpret_cast<const DDEACK*>(&lo);
        g_rawReply.got = true;
        g_rawReply.ack = ack->fAck != 0;
        // hi is the item atom (or the execute's memory): the atom is ours now.
        if (hi >= 0xC000 && hi <= 0xFFFF) GlobalDeleteAtom(static_cast<ATOM>(hi));
      }
      return 0;
    case WM_DDE_DATA: {
      UINT_PTR lo = 0, hi = 0;
      UnpackDDElParam(WM_DDE_DATA, lParam, &lo, &hi);
      FreeDDElParam(WM_DDE_DATA, lParam);
      HGLOBAL mem = reinterpret_cast<HGLOBAL>(lo);
      const ATOM item = static_cast<ATOM>(hi);
      std::string bytes;
      bool ackReq = false, release = false;
      if (mem) {
        const auto* dd = static_cast<const DDEDATA*>(GlobalLock(mem));
        if (dd) {
          const SIZE_T size = GlobalSize(mem);
          const SIZE_T header = offsetof(DDEDATA, Value);
          ackReq = dd->fAckReq;
          release = dd->fRelease;
          if (size > header) bytes.assign(reinterpret_cast<const char*>(dd->Value), size - header);
          GlobalUnlock(mem);
        }
      }
      // Trim the global block's rounding: the text ends at its NUL.
      const std::size_t nul = bytes.find('\0');
      if (nul != std::string::npos) bytes.resize(nul + 1);
      const std::string name = AtomName(item);
      if (g_rawExpectData) {
        g_rawReply.got = true;
        g_rawReply.data = true;
        g_rawReply.bytes = bytes;
      } else {
        Out("raw-data item=" + name + " hex=" + Hex(bytes.data(), bytes.size()) + " t=" +
            TimeText());
      }
      if (ackReq) {
        PostMessageW(reinterpret_cast<HWND>(wParam), WM_DDE_ACK, reinterpret_cast<WPARAM>(hwnd),
                     PackDDElParam(WM_DDE_ACK, 0x8000, item));
      } else if (item) {
        GlobalDeleteAtom(item);
      }
      if (release && mem && !ackReq) GlobalFree(mem);
      return 0;
    }
    case WM_DDE_TERMINATE:
      if (reinterpret_cast<HWND>(wParam) == g_rawPartner) {
        g_rawTerminated = true;
        Out("raw-terminated t=" + TimeText());
      }
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

void EnsureRawWindow() {
  if (g_rawWnd) return;
  WNDCLASSW wc{};
  wc.lpfnWndProc = RawProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"DdeClientRaw";
  RegisterClassW(&wc);
  g_rawWnd = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             wc.hInstance, nullptr);
}

// Posts one raw message and waits for its WM_DDE_ACK (or WM_DDE_DATA).
std::string RawExchange(UINT msg, LPARAM lParam, bool expectData, DWORD timeout = 5000) {
  g_rawReply = RawReply{};
  g_rawExpectData = expectData;
  if (!g_rawPartner ||
      !PostMessageW(g_rawPartner, msg, reinterpret_cast<WPARAM>(g_rawWnd), lParam)) {
    g_rawExpectData = false;
    return "fail";
  }
  const ULONGLONG end = GetTickCount64() + timeout;
  while (!g_rawReply.got && GetTickCount64() < end) PumpFor(5);
  g_rawExpectData = false;
  if (!g_rawReply.got) return "timeout";
  if (g_rawReply.data) return "data hex=" + Hex(g_rawReply.bytes.data(), g_rawReply.bytes.size());
  return g_rawReply.ack ? "ack" : "nak";
}

HGLOBAL MakeGlobal(std::size_t header, const std::string& payload, std::size_t& total) {
  total = header + payload.size();
  HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE | GMEM_ZEROINIT, total);
  return mem;
}

// ---- commands ----

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> w;
  std::istringstream in(line);
  std::string s;
  while (in >> s) w.push_back(s);
  return w;
}

void Run(const std::string& line) {
  const std::vector<std::string> w = Words(line);
  if (w.empty() || w[0][0] == '#') return;
  const std::string& cmd = w[0];
  auto arg = [&](std::size_t i) { return i < w.size() ? w[i] : std::string(); };

  if (cmd == "connect") {
    if (g_conv) DdeDisconnect(std::exchange(g_conv, nullptr));
    Hsz service(arg(1)), topic(arg(2));
    g_conv = DdeConnect(g_inst, service.get(), topic.get(), nullptr);
    Out(g_conv ? "connect ok" : "connect fail err=" + Err());
    Settle();
  } else if (cmd == "disconnect") {
    const bool ok = g_conv && DdeDisconnect(g_conv);
    g_conv = nullptr;
    Out(ok ? "disconnect ok" : "disconnect fail");
  } else if (cmd == "request") {
    Hsz item(arg(1));
    HDDEDATA data = DdeClientTransaction(nullptr, 0, g_conv, item.get(), ParseFormat(arg(2)),
                                         XTYP_REQUEST, 5000, nullptr);
    if (!data) {
      Out("request fail item=" + arg(1) + " err=" + Err());
    } else {
      DWORD n = DdeGetData(data, nullptr, 0, 0);
      std::string bytes(n, '\0');
      if (n) DdeGetData(data, reinterpret_cast<LPBYTE>(bytes.data()), n, 0);
      DdeFreeDataHandle(data);
      Out("request ok item=" + arg(1) + " hex=" + Hex(bytes.data(), bytes.size()));
    }
    Settle();
  } else if (cmd == "poke") {
    Hsz item(arg(1));
    std::string bytes = DecodeText(arg(2));
    const UINT format = ParseFormat(arg(3));
    if (format == CF_TEXT && (bytes.empty() || bytes.back() != '\0')) bytes.push_back('\0');
    DWORD result = 0;
    HDDEDATA r = DdeClientTransaction(reinterpret_cast<LPBYTE>(bytes.data()),
                                      static_cast<DWORD>(bytes.size()), g_conv, item.get(), format,
                                      XTYP_POKE, 5000, &result);
    // Wine can answer TRUE for a refused poke: the DDE_FACK bit decides.
    const bool ack = r && (result & DDE_FACK);
    Out(std::string("poke ") + (ack ? "ack" : "nak") + " item=" + arg(1) +
        " result=" + HexWord(result) + (ack ? "" : " err=" + Err()) + " t=" + TimeText());
    Settle();
  } else if (cmd == "advise" || cmd == "unadvise") {
    Hsz item(arg(1));
    UINT type = cmd == "advise" ? XTYP_ADVSTART : XTYP_ADVSTOP;
    if (cmd == "advise" && arg(2) == "warm") type |= XTYPF_NODATA;
    HDDEDATA r = DdeClientTransaction(nullptr, 0, g_conv, item.get(), ParseFormat(arg(3)), type,
                                      5000, nullptr);
    Out(cmd + (r ? " ok" : " fail") + " item=" + arg(1) + (r ? "" : " err=" + Err()));
    Settle();
  } else if (cmd == "execute") {
    std::string bytes = DecodeText(arg(1));
    bytes.push_back('\0');
    DWORD result = 0;
    HDDEDATA r = DdeClientTransaction(reinterpret_cast<LPBYTE>(bytes.data()),
                                      static_cast<DWORD>(bytes.size()), g_conv, nullptr, 0,
                                      XTYP_EXECUTE, 5000, &result);
    const bool ack = r && (result & DDE_FACK);
    Out(std::string("execute ") + (ack ? "ack" : "nak") + " result=" + HexWord(result) +
        (ack ? "" : " err=" + Err()));
    Settle();
  } else if (cmd == "convstatus") {
    // Whether the server still holds the conversation (it may have ended
    // it without the client's callback hearing of it).
    CONVINFO info{};
    info.cb = sizeof info;
    const bool known = g_conv && DdeQueryConvInfo(g_conv, QID_SYNC, &info);
    Out(std::string("convstatus connected=") +
        (known && (info.wStatus & ST_CONNECTED) ? "1" : "0") +
        " terminated=" + (known && (info.wStatus & ST_TERMINATED) ? "1" : "0"));
  } else if (cmd == "waitadv") {
    const int n = std::stoi(arg(1));
    const ULONGLONG end = GetTickCount64() + std::stoul(arg(2));
    while (g_advCount < n && GetTickCount64() < end) PumpFor(5);
    Out(std::string("waitadv ") + (g_advCount >= n ? "ok" : "timeout") +
        " n=" + std::to_string(g_advCount));
  } else if (cmd == "sleep") {
    PumpFor(std::stoul(arg(1)));
  } else if (cmd == "echo") {
    Out("echo " + line.substr(std::min(line.size(), line.find("echo") + 5)));
  } else if (cmd == "time") {
    Out("time t=" + TimeText());
  } else if (cmd == "lock") {
    HANDLE& m = g_mutexes[Utf8ToWide(arg(1))];
    if (!m) m = CreateMutexW(nullptr, FALSE, Utf8ToWide("Local\\" + arg(1)).c_str());
    // Keep pumping while waiting: our conversations must stay responsive.
    while (MsgWaitForMultipleObjects(1, &m, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
      Pump();
    }
  } else if (cmd == "unlock") {
    ReleaseMutex(g_mutexes[Utf8ToWide(arg(1))]);
  } else if (cmd == "waitfile") {
    const std::wstring path = Utf8ToWide(arg(1));
    const ULONGLONG end = GetTickCount64() + std::stoul(arg(2));
    bool found = false;
    while (!(found = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) &&
           GetTickCount64() < end) {
      PumpFor(10);
    }
    Out(std::string("waitfile ") + (found ? "ok" : "timeout"));
  } else if (cmd == "raw-initiate") {
    EnsureRawWindow();
    g_rawAcks.clear();
    g_rawPartner = nullptr;
    const ATOM app = AddAtom(arg(1)), topic = AddAtom(arg(2));
    g_collectingAcks = true;
    // SendMessage to every top-level window: the answers are sent back
    // (WM_DDE_ACK) while the broadcast is still under way.
    SendMessageTimeoutW(HWND_BROADCAST, WM_DDE_INITIATE, reinterpret_cast<WPARAM>(g_rawWnd),
                        MAKELPARAM(app, topic), SMTO_ABORTIFHUNG, 2000, nullptr);
    PumpFor(w.size() > 3 ? std::stoul(arg(3)) : 200);
    g_collectingAcks = false;
    if (app) GlobalDeleteAtom(app);
    if (topic) GlobalDeleteAtom(topic);
    Out("raw-initiate acks=" + std::to_string(g_rawAcks.size()));
  } else if (cmd == "raw-advise") {
    std::size_t total = 0;
    HGLOBAL mem = MakeGlobal(sizeof(DDEADVISE), "", total);
    auto* da = static_cast<DDEADVISE*>(GlobalLock(mem));
    da->fAckReq = 0;
    da->fDeferUpd = 0;
    da->cfFormat = CF_TEXT;
    GlobalUnlock(mem);
    const ATOM item = AddAtom(arg(1));
    Out("raw-advise " + RawExchange(WM_DDE_ADVISE,
                                    PackDDElParam(WM_DDE_ADVISE, reinterpret_cast<UINT_PTR>(mem),
                                                  item),
                                    false));
  } else if (cmd == "raw-unadvise") {
    const ATOM item = AddAtom(arg(1));
    Out("raw-unadvise " + RawExchange(WM_DDE_UNADVISE, MAKELPARAM(CF_TEXT, item), false));
  } else if (cmd == "raw-poke") {
    std::string bytes = DecodeText(arg(2));
    bytes.push_back('\0');
    std::size_t total = 0;
    HGLOBAL mem = MakeGlobal(offsetof(DDEPOKE, Value), bytes, total);
    auto* dp = static_cast<DDEPOKE*>(GlobalLock(mem));
    dp->fRelease = 1;
    dp->cfFormat = CF_TEXT;
    std::memcpy(dp->Value, bytes.data(), bytes.size());
    GlobalUnlock(mem);
    const ATOM item = AddAtom(arg(1));
    Out("raw-poke " + RawExchange(WM_DDE_POKE,
                                  PackDDElParam(WM_DDE_POKE, reinterpret_cast<UINT_PTR>(mem), item),
                                  false) +
        " t=" + TimeText());
  } else if (cmd == "raw-request") {
    const ATOM item = AddAtom(arg(1));
    Out("raw-request " + RawExchange(WM_DDE_REQUEST, MAKELPARAM(CF_TEXT, item), true));
  } else if (cmd == "raw-terminate") {
    // The answer is the partner's own WM_DDE_TERMINATE; acknowledgements
    // still on their way do not count.
    g_rawTerminated = false;
    const bool posted = g_rawPartner && PostMessageW(g_rawPartner, WM_DDE_TERMINATE,
                                                     reinterpret_cast<WPARAM>(g_rawWnd), 0);
    const ULONGLONG end = GetTickCount64() + 3000;
    while (posted && !g_rawTerminated && GetTickCount64() < end) PumpFor(5);
    Out(std::string("raw-terminate ") + (!posted ? "fail" : g_rawTerminated ? "ok" : "timeout"));
    g_rawPartner = nullptr;
  } else {
    Out("unknown " + cmd);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> lines;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a == L"--script" && i + 1 < argc) {
      const std::wstring path = argv[++i];
      std::string line;
      if (path == L"-") {
        while (std::getline(std::cin, line)) lines.push_back(line);
      } else {
        std::ifstream in(path.c_str(), std::ios::binary);
        while (std::getline(in, line)) lines.push_back(line);
      }
    } else {
      lines.push_back(WideToUtf8(a));
    }
  }
  const UINT rc = DdeInitializeW(&g_inst, ClientCallback, APPCMD_CLIENTONLY, 0);
  if (rc != DMLERR_NO_ERROR) {
    Out("init fail err=" + HexWord(rc));
    return 2;
  }
  for (std::string line : lines) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Run(line);
  }
  if (g_conv) DdeDisconnect(g_conv);
  if (g_rawPartner) PostMessageW(g_rawPartner, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(g_rawWnd), 0);
  DdeUninitialize(g_inst);
  Out("end");
  return 0;
}
