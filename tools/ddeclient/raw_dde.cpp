#include "raw_dde.h"

#include <windows.h>
#include <dde.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "client_io.h"
#include "win32/WinText.h"

namespace ddeclient {

namespace {

using varnix::win32::Utf8ToWide;
using varnix::win32::WideToUtf8;

HWND g_rawWnd = nullptr;      // our window for raw DDE
HWND g_rawPartner = nullptr;  // the server's window of the raw conversation

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
// The command block of the execute under way: the partner hands it back in
// its WM_DDE_ACK, where an item atom would stand for the other messages,
// and then it is ours to free.
HGLOBAL g_rawExecuteMem = nullptr;

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
        if (g_rawExecuteMem && hi == reinterpret_cast<UINT_PTR>(g_rawExecuteMem)) {
          GlobalFree(std::exchange(g_rawExecuteMem, nullptr));
        } else if (hi >= 0xC000 && hi <= 0xFFFF) {
          // hi is the item atom: it is ours now.
          GlobalDeleteAtom(static_cast<ATOM>(hi));
        }
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

HGLOBAL MakeGlobal(std::size_t size) {
  return GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE | GMEM_ZEROINIT, size);
}

}  // namespace

bool RunRawCommand(const std::vector<std::string>& w) {
  const std::string& cmd = w[0];
  auto arg = [&](std::size_t i) { return i < w.size() ? w[i] : std::string(); };

  if (cmd == "raw-initiate") {
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
    HGLOBAL mem = MakeGlobal(sizeof(DDEADVISE));
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
    HGLOBAL mem = MakeGlobal(offsetof(DDEPOKE, Value) + bytes.size());
    auto* dp = static_cast<DDEPOKE*>(GlobalLock(mem));
    dp->fRelease = 1;
    dp->cfFormat = CF_TEXT;
    std::memcpy(dp->Value, bytes.data(), bytes.size());
    GlobalUnlock(mem);
    const ATOM item = AddAtom(arg(1));
    // The time once the answer is in: the operands of + are not sequenced.
    const std::string answer = RawExchange(
        WM_DDE_POKE, PackDDElParam(WM_DDE_POKE, reinterpret_cast<UINT_PTR>(mem), item), false);
    Out("raw-poke " + answer + " t=" + TimeText());
  } else if (cmd == "raw-execute") {
    // The command string is the whole block, NUL-terminated (a UTF-16 NUL
    // for a Unicode one); WM_DDE_EXECUTE carries the handle itself, not a
    // packed lParam.
    const bool unicode = arg(2) == "unicode";
    std::string bytes = DecodeText(arg(1), unicode);
    bytes.append(unicode ? 2 : 1, '\0');
    HGLOBAL mem = MakeGlobal(bytes.size());
    std::memcpy(GlobalLock(mem), bytes.data(), bytes.size());
    GlobalUnlock(mem);
    g_rawExecuteMem = mem;
    const std::string answer = RawExchange(WM_DDE_EXECUTE, reinterpret_cast<LPARAM>(mem), false);
    // A block the partner never handed back stays ours (and may be in its
    // hands still): it is left alone rather than freed under it.
    g_rawExecuteMem = nullptr;
    Out("raw-execute " + answer);
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
    return false;
  }
  return true;
}

void EndRawConversation() {
  if (g_rawPartner) {
    PostMessageW(g_rawPartner, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(g_rawWnd), 0);
  }
  g_rawPartner = nullptr;
}

}  // namespace ddeclient
