// Test host of the DDE service: the real server layer, the real item table
// and send rule, the real send queue, without a modem. Its service name is
// its own file name (copy it as Varnix.exe to serve "Varnix").
//
//   VarnixDdeHost [--no-items] [--caption TEXT] [--control FILE]
//
// Prints, one per line, flushed at once:
//   READY service=<name>        the service is registered, the topic exists
//   QUEUED <hex>                an entry the send rule appended (drained)
//   SENDDONE wparam=<n> status=<hex of Status' text>
//   STOPPING                    shutdown begun: queue released, stop raised
//   ERROR <text>                DDE initialisation refused
// The control file is read line by line as it grows:
//   status <text>    statusText := text, then WM_SENDDONE(0) to the window
//   senddone <n>     WM_SENDDONE with wParam n
//   stop             shutdown begins (no more draining)
//   quit             ends the program
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "win32/DdeServer.h"
#include "win32/WinText.h"
#include "dde/SendRule.h"
#include "text/AnsiCodec.h"

using namespace varnix;

namespace {

// The send rule decodes a poked text through the ANSI code page.
class AnsiCodePage final : public AnsiCodec {
 public:
  std::u16string ToUtf16(std::string_view ansi) const override {
    const std::wstring wide = win32::AnsiToWide(ansi);
    return std::u16string(wide.begin(), wide.end());
  }
};
const AnsiCodePage g_codec;
GatewayState g_state;
std::wstring g_controlPath;
std::size_t g_controlDone = 0;
bool g_draining = true;
constexpr UINT_PTR kTimer = 1;

std::string Hex(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

void Print(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

void RunControl(HWND hwnd) {
  if (g_controlPath.empty()) return;
  std::ifstream in(g_controlPath.c_str(), std::ios::binary);
  if (!in) return;
  std::string line;
  std::size_t index = 0;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // a line still being written
    if (index++ < g_controlDone) continue;
    ++g_controlDone;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("status ", 0) == 0) {
      g_state.statusText.Set(line.substr(7));
      PostMessageW(hwnd, WM_SENDDONE, 0, 0);
    } else if (line.rfind("senddone ", 0) == 0) {
      PostMessageW(hwnd, WM_SENDDONE, std::stoul(line.substr(9)), 0);
    } else if (line == "stop") {
      g_draining = false;
      g_state.RequestStop();
      g_state.sendQueue.Release();
      Print("STOPPING");
    } else if (line == "quit") {
      PostQuitMessage(0);
    }
  }
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SENDDONE: {
      WMSendDone(g_state, wParam);
      TDdeServerItem* status = g_state.items[kStatus];
      Print("SENDDONE wparam=" + std::to_string(wParam) +
            " status=" + (status ? Hex(status->Text()) : std::string("none")));
      return 0;
    }
    case WM_TIMER:
      while (g_draining) {
        auto message = g_state.sendQueue.TakeNext();
        if (!message) break;
        // The entry as poked: the text back into the code page it was
        // decoded from.
        const std::wstring text(message->text.begin(), message->text.end());
        Print("QUEUED " + Hex(message->number + "," + win32::WideToAnsi(text)));
      }
      RunControl(hwnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wParam, lParam);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool withItems = true;
  std::wstring caption = L"Varnix DDE host";
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a == L"--no-items") {
      withItems = false;
    } else if (a == L"--caption" && i + 1 < argc) {
      caption = argv[++i];
    } else if (a == L"--control" && i + 1 < argc) {
      g_controlPath = argv[++i];
    }
  }

  // The service is registered before any window exists, as in the program.
  std::unique_ptr<win32::DdeServer> server;
  try {
    server = std::make_unique<win32::DdeServer>(win32::ServiceNameOfThisProcess());
  } catch (const win32::DdeInitError& e) {
    Print(std::string("ERROR ") + e.what());
    return 3;
  }

  WNDCLASSW wc{};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VarnixDdeHostWindow";
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(0, wc.lpszClassName, caption.c_str(), WS_OVERLAPPEDWINDOW, 0, 0, 200,
                              100, nullptr, nullptr, wc.hInstance, nullptr);
  g_state.mainWindow = reinterpret_cast<std::uintptr_t>(hwnd);
  server->SetCaptionMatcher(win32::MatchCaptionsOf([hwnd] { return std::vector<HWND>{hwnd}; }));

  TDdeServerConv conv("SMS0");
  server->SetConversation(&conv);
  ItemOwner owner;
  if (withItems) {
    g_state.codec = &g_codec;
    owner.CreateItems(conv, g_state);
    g_state.items[kWakeup]->SetText("1");
  }
  SetTimer(hwnd, kTimer, 10, nullptr);
  Print("READY service=" + win32::WideToUtf8(server->ServiceName()) +
        (withItems ? " items=8" : " items=0"));

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  KillTimer(hwnd, kTimer);
  server.reset();
  if (IsWindow(hwnd)) DestroyWindow(hwnd);
  Print("EXIT");
  return 0;
}
