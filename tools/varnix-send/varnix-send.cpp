// varnix-send: sends one SMS through a running Varnix over DDE and reports
// what becomes of it, for batch files and scheduled tasks.
#include <windows.h>
#include <ddeml.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "DdeSession.h"
#include "win32/WinText.h"

namespace {

using varnix::win32::AnsiToWide;
using varnix::win32::WideToAnsi;
using varnix_send::DdeSession;

constexpr wchar_t kUsage[] =
    L"Usage: varnix-send [--service NAME] [--timeout SECONDS] [--no-wait] [--] NUMBER TEXT\n"
    L"\n"
    L"Sends TEXT as an SMS to NUMBER through the Varnix SMS gateway running on\n"
    L"this desktop, and waits for the modem's answer.\n"
    L"\n"
    L"It connects to the DDE service (default \"Varnix\") on the topic \"SMS0\",\n"
    L"watches the item Result, sends the execute command\n"
    L"[Send(\"NUMBER\",\"TEXT\")] and reads the message's id from the item Id.\n"
    L"It prints \"id N\", then every state of that message as the gateway\n"
    L"reports it, one per line: the state, a blank and its detail, e.g.\n"
    L"  id 7\n"
    L"  queued\n"
    L"  sent 17\n"
    L"or \"failed +CMS ERROR: 500\". TEXT goes as Unicode and may hold line\n"
    L"breaks.\n"
    L"\n"
    L"A gateway without the execute command (no item Id) gets the older way:\n"
    L"NUMBER poked into Num, TEXT into SMS (in the ANSI code page, first line\n"
    L"only) and \"1\" into Send; then the next value of Status is printed.\n"
    L"\n"
    L"Options:\n"
    L"  --service NAME     DDE service name of the gateway (default Varnix)\n"
    L"  --timeout SECONDS  how long to wait for the outcome (default 60)\n"
    L"  --no-wait          return as soon as the message is queued: prints\n"
    L"                     \"id N\" and \"queued\"\n"
    L"  --help             this text\n"
    L"  --                 what follows is NUMBER and TEXT, even when it begins\n"
    L"                     with \"-\" (varnix-send -- 13800000000 \"-5 C alarm\")\n"
    L"\n"
    L"Exit status:\n"
    L"  0  sent (or, with --no-wait, queued)\n"
    L"  1  the modem did not take the message (failed, or Status \"0\"), or its\n"
    L"     end is unknown (the gateway stopped while the modem had it: it may\n"
    L"     have been sent; check before sending it again)\n"
    L"  2  nothing was accepted: the gateway could not be reached or refused\n"
    L"     the message; or the command line was wrong\n"
    L"  3  the message was accepted but had no final state when the wait\n"
    L"     ended (it may wait for a retry): it is still under way, and\n"
    L"     sending it again may send it twice\n";

// Every transaction's own bound; the outcome has --timeout.
constexpr DWORD kTransactionMs = 10000;

void Fail(const std::wstring& text) { std::fwprintf(stderr, L"varnix-send: %ls\n", text.c_str()); }

void Print(const std::wstring& line) {
  std::wprintf(L"%ls\n", line.c_str());
  std::fflush(stdout);
}

std::wstring Hex(unsigned v) {
  wchar_t b[16];
  std::swprintf(b, 16, L"0x%04x", v);
  return b;
}

// The first line of CF_TEXT data.
std::string FirstLine(const std::string& data) {
  return data.substr(0, data.find_first_of(std::string("\r\n\0", 3)));
}

std::wstring Quoted(const std::wstring& s) {
  std::wstring out = L"\"";
  for (wchar_t c : s) {
    out += c;
    if (c == L'"') out += L'"';
  }
  return out + L"\"";
}

struct Options {
  std::wstring service = L"Varnix";
  unsigned timeout = 60;
  bool wait = true;
  std::wstring number, text;
};

// The gateway's session for commands and the one that watches (see
// DdeSession.h for why two).
struct Gateway {
  DdeSession cmd;
  DdeSession watch;
  DdeSession ansi;  // see Submit
};

bool Open(DdeSession& s, const Options& o, bool unicode = true) {
  const UINT rc = s.Open(o.service, L"SMS0", unicode);
  if (rc == DMLERR_NO_ERROR) return true;
  Fail(L"cannot reach the DDE service \"" + o.service + L"\", topic \"SMS0\" (" + Hex(rc) +
       L"); is the gateway running?");
  return false;
}

bool Watch(Gateway& g, const Options& o, const wchar_t* item) {
  if (!Open(g.watch, o)) return false;
  if (g.watch.Advise(item, kTransactionMs)) return true;
  Fail(std::wstring(L"the gateway refused to report the item ") + item + L" (" +
       Hex(g.watch.LastError()) + L"); is its serial port open?");
  return false;
}

// Exit status of a message that was accepted but had no final state when
// the wait ended: a retry may be 10 to 600 s away, and a caller that read
// this as "no gateway" would send the message a second time.
constexpr int kStillUnderWay = 3;

// Waits up to the timeout for advise data of `item`; calls take(first line)
// for each until it returns an exit status (>= 0). The message was accepted
// before the wait began.
template <class Take>
int Outcome(Gateway& g, const Options& o, const wchar_t* item, Take take) {
  const ULONGLONG end = GetTickCount64() + o.timeout * 1000ULL;
  for (;;) {
    for (const auto& a : DdeSession::TakeAdvised()) {
      if (a.conv != g.watch.conv() || a.item != item) continue;
      const int code = take(FirstLine(a.data));
      if (code >= 0) return code;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= end) break;
    DdeSession::Pump(static_cast<DWORD>(end - now));
  }
  Fail(L"no outcome from the gateway within " + std::to_wstring(o.timeout) +
       L" s; the message was accepted and is still under way");
  return kStillUnderWay;
}

// The older way, for a gateway without the execute command: three pokes,
// then the next value of Status.
int SendByPokes(Gateway& g, const Options& o) {
  if (!Watch(g, o, L"Status")) return 2;
  if (!g.cmd.Poke(L"Num", WideToAnsi(o.number), kTransactionMs) ||
      !g.cmd.Poke(L"SMS", WideToAnsi(o.text), kTransactionMs)) {
    Fail(L"the gateway refused the number or the text (" + Hex(g.cmd.LastError()) + L")");
    return 2;
  }
  DdeSession::TakeAdvised();
  if (!g.cmd.Poke(L"Send", "1", kTransactionMs)) {
    Fail(L"the gateway refused the send request (" + Hex(g.cmd.LastError()) + L")");
    return 2;
  }
  return Outcome(g, o, L"Status", [](const std::string& status) {
    Print(AnsiToWide(status));
    return status == "1" ? 0 : 1;
  });
}

// The id in a line "<id>\t<state>\t<detail>" or in the Id item, or 0.
unsigned long long IdOf(const std::string& text) {
  unsigned long long id = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && i < 19; ++i)
    id = id * 10 + static_cast<unsigned>(text[i] - '0');
  return i > 0 && (i == text.size() || text[i] == '\t') ? id : 0;
}

constexpr long long kRefused = -1;    // the execute was answered 0
constexpr long long kNoId = -2;       // Id could not be read afterwards
constexpr long long kIgnored = 0;     // acknowledged, but Id is still empty

// The id of the message one Send command queued on `s`, or one of the above.
long long Execute(DdeSession& s, const std::wstring& command, const std::string* ansi) {
  const bool taken = ansi ? s.ExecuteAnsi(*ansi, kTransactionMs) : s.Execute(command, kTransactionMs);
  if (!taken) return kRefused;
  std::string idText;
  if (!s.Request(L"Id", &idText, kTransactionMs)) return kNoId;
  return static_cast<long long>(IdOf(FirstLine(idText)));
}

// Wine's DDEML takes a UTF-16 command that holds a character above U+00FF,
// sent to a Unicode server, for ANSI text and cuts it at its first zero
// byte: the gateway sees "[", acknowledges it and queues nothing. Then the
// command goes once more, from an ANSI session, if the text survives the
// ANSI code page; nothing was queued the first time, so nothing goes twice.
long long Submit(Gateway& g, const Options& o) {
  const std::wstring command = L"[Send(" + Quoted(o.number) + L"," + Quoted(o.text) + L")]";
  const long long id = Execute(g.cmd, command, nullptr);
  if (id != kIgnored) return id;
  const std::string ansi = WideToAnsi(command);
  if (AnsiToWide(ansi) != command || !Open(g.ansi, o, false)) return kIgnored;
  return Execute(g.ansi, command, &ansi);
}

int SendByExecute(Gateway& g, const Options& o) {
  // Result before the execute, so that not even the "queued" line is missed.
  if (o.wait && !Watch(g, o, L"Result")) return 2;
  const long long id = Submit(g, o);
  if (id == kRefused) {
    Fail(L"the gateway refused the message (" + Hex(g.cmd.LastError()) +
         L"); is NUMBER only digits after an optional \"+\"?");
    return 2;
  }
  if (id == kNoId) {
    Fail(L"the gateway took the message but its id could not be read");
    return 2;
  }
  if (id == kIgnored) {
    Fail(L"the gateway took the command but queued nothing");
    return 2;
  }
  Print(L"id " + std::to_wstring(id));
  if (!o.wait) {
    Print(L"queued");
    return 0;
  }
  return Outcome(g, o, L"Result", [id](const std::string& line) {
    const std::size_t a = line.find('\t');
    if (a == std::string::npos || IdOf(line) != static_cast<unsigned long long>(id)) return -1;
    const std::size_t b = line.find('\t', a + 1);
    const std::string state = line.substr(a + 1, b == std::string::npos ? b : b - a - 1);
    const std::string detail = b == std::string::npos ? std::string() : line.substr(b + 1);
    Print(AnsiToWide(detail.empty() ? state : state + " " + detail));
    if (state == "sent") return 0;
    if (state == "failed" || state == "unknown") return 1;
    return -1;
  });
}

int Send(const Options& o) {
  Gateway g;
  if (!Open(g.cmd, o)) return 2;
  // A gateway with the execute command has the item Id on every
  // conversation (empty until something is queued); an older one has not.
  std::string idText;
  if (!g.cmd.Request(L"Id", &idText, kTransactionMs)) return SendByPokes(g, o);
  return SendByExecute(g, o);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options o;
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
      o.service = argv[++i];
    } else if (options && a == L"--no-wait") {
      o.wait = false;
    } else if (options && a == L"--timeout" && i + 1 < argc) {
      wchar_t* end = nullptr;
      const unsigned long v = std::wcstoul(argv[++i], &end, 10);
      if (!end || *end || v == 0 || v > 86400) {
        Fail(L"--timeout wants a number of seconds from 1 to 86400");
        return 2;
      }
      o.timeout = static_cast<unsigned>(v);
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
  if (count != 2 || positional[0].empty() || positional[1].empty() || o.service.empty()) {
    std::fputws(kUsage, stderr);
    return 2;
  }
  o.number = positional[0];
  o.text = positional[1];
  return Send(o);
}
