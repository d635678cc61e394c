// Scriptable DDE client of the test suite (not shipped).
//
//   ddeclient [--script FILE] [COMMAND ...]
//
// Each COMMAND argument is one command line; with --script the lines of FILE
// (or of stdin for "-") run first. Words are separated by blanks. In TEXT
// arguments \r \n \t \0 \s (blank) \\ and \xHH are decoded; "hex:..." gives
// raw bytes ("hex:" alone is the empty text). A SERVICE or TOPIC of "-" is
// left out (NULL). Text is converted from UTF-8 to the ANSI code page, or to
// UTF-16 where a command takes "unicode". The client is a Unicode DDEML
// instance (DdeInitializeW).
//
// DDEML commands (one conversation at a time):
//   connect SERVICE TOPIC          -> connect ok | connect fail err=0x....
//   request ITEM [FORMAT]          -> request ok item=I hex=.. | request fail err=..
//                                  FORMAT text (CF_TEXT, default), unicode
//                                  (CF_UNICODETEXT), oem or a number; with
//                                  unicode also text=<the data up to its NUL
//                                  as UTF-8, blanks \s, backslash \\, TAB \t,
//                                  CR \r, LF \n>
//   poke ITEM TEXT [FORMAT]        -> poke ack|nak item=I result=0x.. [err=..]
//   advise ITEM [warm|hot] [FORMAT] -> advise ok|fail item=I; the advdata
//                                  lines of a unicode link carry text= too
//   unadvise ITEM                  -> unadvise ok|fail item=I
//   execute TEXT [unicode]         -> execute ack|nak result=0x.. [err=..]
//                                  the command string NUL-terminated: ANSI, or
//                                  with "unicode" UTF-16 (CF_UNICODETEXT)
//   disconnect                     -> disconnect ok|fail
//   convstatus                     -> convstatus connected=0|1 terminated=0|1
//   waitadv N MS                   -> waitadv ok|timeout n=<advdata so far>
//   advdata lines arrive whenever data is pumped:
//                                  -> advdata item=I hex=.. format=F [text=..] t=<unix ms>
// Raw DDE messages (as Excel and VBA's DDEExecute send them; raw_dde.cpp):
//   raw-initiate SERVICE TOPIC [MS] broadcast; -> raw-ack app=A topic=T, then
//                                  raw-initiate acks=N; the first answer is kept
//   raw-advise ITEM                -> raw-advise ack|nak|timeout
//   raw-unadvise ITEM              -> raw-unadvise ack|nak|timeout
//   raw-poke ITEM TEXT             -> raw-poke ack|nak|timeout
//   raw-execute TEXT [unicode]     -> raw-execute ack|nak|timeout
//                                  a GlobalAlloc'ed command string, NUL-
//                                  terminated: ANSI, or UTF-16 with "unicode"
//   raw-request ITEM               -> raw-request data hex=..|nak|timeout
//   raw-terminate                  -> raw-terminate ok|timeout
//   unsolicited data               -> raw-data item=I hex=.. t=<unix ms>
// Others:
//   sleep MS (pumping messages), echo TEXT, lock NAME / unlock NAME (named
//   mutex across processes), waitfile PATH MS, time (-> time t=<unix ms>).
#include <windows.h>
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

#include "client_io.h"
#include "raw_dde.h"
#include "win32/WinText.h"

namespace {

using namespace ddeclient;

DWORD g_inst = 0;
HCONV g_conv = nullptr;
int g_advCount = 0;
std::map<std::wstring, HANDLE> g_mutexes;

using varnix::win32::Utf8ToWide;
using varnix::win32::WideToUtf8;

// UTF-16 data as the text= word: up to the first NUL unit, in UTF-8.
std::string UnicodeWord(const std::string& bytes) {
  std::wstring wide(bytes.size() / 2, L'\0');
  if (!wide.empty()) std::memcpy(wide.data(), bytes.data(), wide.size() * 2);
  wide.resize(std::min(wide.size(), wide.find(L'\0')));
  std::string out;
  for (const char c : WideToUtf8(wide)) {
    switch (c) {
      case ' ': out += "\\s"; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return " text=" + out;
}

UINT ParseFormat(const std::string& s) {
  if (s.empty() || s == "text") return CF_TEXT;
  if (s == "unicode") return CF_UNICODETEXT;
  if (s == "oem") return CF_OEMTEXT;
  return static_cast<UINT>(std::stoul(s, nullptr, 0));
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
        " format=" + std::to_string(format) +
        (format == CF_UNICODETEXT ? UnicodeWord(bytes) : std::string()) + " t=" + TimeText());
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
    const UINT format = ParseFormat(arg(2));
    HDDEDATA data =
        DdeClientTransaction(nullptr, 0, g_conv, item.get(), format, XTYP_REQUEST, 5000, nullptr);
    if (!data) {
      Out("request fail item=" + arg(1) + " err=" + Err());
    } else {
      DWORD n = DdeGetData(data, nullptr, 0, 0);
      std::string bytes(n, '\0');
      if (n) DdeGetData(data, reinterpret_cast<LPBYTE>(bytes.data()), n, 0);
      DdeFreeDataHandle(data);
      Out("request ok item=" + arg(1) + " hex=" + Hex(bytes.data(), bytes.size()) +
          (format == CF_UNICODETEXT ? UnicodeWord(bytes) : std::string()));
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
    // The format follows the link kind ("hot" or "warm"), or stands alone.
    const std::string formatWord = arg(2) == "warm" || arg(2) == "hot" ? arg(3) : arg(2);
    HDDEDATA r = DdeClientTransaction(nullptr, 0, g_conv, item.get(), ParseFormat(formatWord),
                                      type, 5000, nullptr);
    Out(cmd + (r ? " ok" : " fail") + " item=" + arg(1) + (r ? "" : " err=" + Err()));
    Settle();
  } else if (cmd == "execute") {
    // DDEML passes the bytes on as they are between two Unicode instances
    // (ours and the server's): the ANSI string arrives as ANSI, the UTF-16
    // one as UTF-16, and the server tells them apart.
    const bool unicode = arg(2) == "unicode";
    std::string bytes = DecodeText(arg(1), unicode);
    bytes.append(unicode ? 2 : 1, '\0');
    DWORD result = 0;
    HDDEDATA r = DdeClientTransaction(reinterpret_cast<LPBYTE>(bytes.data()),
                                      static_cast<DWORD>(bytes.size()), g_conv, nullptr,
                                      unicode ? CF_UNICODETEXT : 0, XTYP_EXECUTE, 5000, &result);
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
  } else if (cmd.rfind("raw-", 0) == 0 && ddeclient::RunRawCommand(w)) {
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
  ddeclient::EndRawConversation();
  DdeUninitialize(g_inst);
  Out("end");
  return 0;
}
