// Drives Varnix's windows from outside, for the end-to-end tests: reads the
// status bar and the window state, sends menu commands, answers message
// boxes, reads and sets the controls of the settings dialog and of the
// advanced settings dialog, presses buttons.
//
//   varnix-ui.exe COMMAND[:ARG[:ARG]] ...
//
// Commands run in order; each prints lines "key=value" (UTF-8). The exit
// code is 0 when every command succeeded, else 1 (after an "error=" line).
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AboutBox.h"
#include "app/AdvancedSettingsDialog.h"
#include "app/ComSettingsDialog.h"
#include "app/MainWindow.h"
#include "win32/WinText.h"

namespace {

using namespace varnix;

constexpr UINT kSendTimeoutMs = 5000;
constexpr DWORD kDefaultWaitMs = 10000;
// WaitFor's "condition holds" for conditions that have no window to give.
const HWND kDone = reinterpret_cast<HWND>(1);

std::string Utf8(const std::wstring& w) { return win32::WideToUtf8(w); }
std::wstring Wide(const std::string& s) { return win32::Utf8ToWide(s); }

void Print(const std::string& key, const std::string& value) {
  std::string line = key + "=" + value + "\n";
  fwrite(line.data(), 1, line.size(), stdout);
  fflush(stdout);
}

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

LRESULT Send(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(hwnd, msg, wParam, lParam, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result)) {
    throw Failure("window does not answer message " + std::to_string(msg));
  }
  return static_cast<LRESULT>(result);
}

std::wstring TextOf(HWND hwnd) {
  wchar_t buf[1024] = {};
  Send(hwnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf));
  return buf;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t buf[256] = {};
  GetClassNameW(hwnd, buf, 256);
  return buf;
}

template <typename Pred>
HWND WaitFor(DWORD ms, Pred pred) {
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND h = pred()) return h;
    if (GetTickCount() - start >= ms) return nullptr;
    Sleep(20);
  }
}

HWND FindMainWindow() { return FindWindowW(kMainClassName, nullptr); }

HWND RequireMain() {
  HWND h = FindMainWindow();
  if (!h) throw Failure("no Varnix main window");
  return h;
}

DWORD ProcessOf(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return pid;
}

// A visible standard dialog (message box) of Varnix's process.
struct BoxSearch {
  DWORD pid;
  HWND found;
};

// A named CALLBACK function, not a lambda: on x86 an enumeration callback
// must be __stdcall, which a captureless lambda does not convert to.
BOOL CALLBACK FindBoxOf(HWND h, LPARAM p) {
  auto* c = reinterpret_cast<BoxSearch*>(p);
  if (IsWindowVisible(h) && ClassOf(h) == L"#32770" && ProcessOf(h) == c->pid) {
    c->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND FindBox() {
  HWND main = FindMainWindow();
  if (!main) return nullptr;
  BoxSearch search{ProcessOf(main), nullptr};
  EnumWindows(&FindBoxOf, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND VisibleOfClass(const wchar_t* cls) {
  HWND h = FindWindowW(cls, nullptr);
  return (h && IsWindowVisible(h)) ? h : nullptr;
}

// A common control's text through a buffer in Varnix's own address space:
// pointers in SB_GETTEXT are not carried across processes.
std::wstring RemoteText(HWND hwnd, UINT msg, WPARAM index) {
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE,
                               ProcessOf(hwnd));
  if (!process) throw Failure("cannot open Varnix's process");
  constexpr SIZE_T kBytes = 2048;
  void* remote = VirtualAllocEx(process, nullptr, kBytes, MEM_COMMIT, PAGE_READWRITE);
  std::wstring text;
  if (remote) {
    wchar_t zero[kBytes / sizeof(wchar_t)] = {};
    WriteProcessMemory(process, remote, zero, kBytes, nullptr);
    Send(hwnd, msg, index, reinterpret_cast<LPARAM>(remote));
    wchar_t local[kBytes / sizeof(wchar_t)] = {};
    ReadProcessMemory(process, remote, local, kBytes - sizeof(wchar_t), nullptr);
    text = local;
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  }
  CloseHandle(process);
  if (!remote) throw Failure("cannot allocate in Varnix's process");
  return text;
}

DWORD ArgMs(const std::vector<std::string>& a, size_t i, DWORD fallback) {
  return a.size() > i && !a[i].empty() ? static_cast<DWORD>(std::strtoul(a[i].c_str(), nullptr, 10))
                                       : fallback;
}

void PrintBox(HWND box) {
  Print("box_title", Utf8(TextOf(box)));
  std::wstring text;
  for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (_wcsicmp(ClassOf(c).c_str(), L"Static") == 0) {
      std::wstring t = TextOf(c);
      if (t.size() > text.size()) text = t;
    }
  }
  Print("box_text", Utf8(text));
  Print("box_ok", GetDlgItem(box, IDOK) ? "1" : "0");
  Print("box_cancel", GetDlgItem(box, IDCANCEL) ? "1" : "0");
  const LRESULT def = Send(box, DM_GETDEFID, 0, 0);
  Print("box_default", HIWORD(def) == DC_HASDEFID ? std::to_string(LOWORD(def)) : "none");
}

void PressButton(HWND parent, int id) {
  HWND button = GetDlgItem(parent, id);
  if (!button) throw Failure("no button " + std::to_string(id));
  // Posted: the click may open a modal message box in Varnix.
  PostMessageW(parent, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

int ComId(const std::string& field) {
  if (field == "port") return ID_CBPORT;
  if (field == "bits") return ID_CBDATABITS;
  if (field == "stop") return ID_CBSTOPBITS;
  if (field == "parity") return ID_CBPARITY;
  if (field == "baud") return ID_CBBAUD;
  if (field == "delay") return ID_EDDELAY;
  throw Failure("unknown field " + field);
}

// The advanced dialog's field of a registry value name ("Watch").
std::size_t AdvField(const std::string& name) {
  for (std::size_t i = 0; i < kExtValues.size(); ++i) {
    if (name == kExtValues[i].name) return i;
  }
  throw Failure("unknown field " + name);
}

HWND RequireAdv() {
  HWND h = VisibleOfClass(kAdvancedClassName);
  if (!h) throw Failure("advanced settings dialog not shown");
  return h;
}

HWND RequireCom() {
  HWND h = VisibleOfClass(kComClassName);
  if (!h) throw Failure("settings dialog not shown");
  return h;
}

// WM_QUERYENDSESSION is sent, not posted: Varnix answers it only after its
// question has been answered, so it is sent from a thread of its own while
// the main thread goes on with the next commands ("answer:...").
struct EndSessionQuery {
  HANDLE thread = nullptr;
  HWND main = nullptr;
  std::atomic<bool> sent{false};
  DWORD_PTR result = 0;
} g_query;

DWORD WINAPI QueryEndSession(void*) {
  g_query.sent = SendMessageTimeoutW(g_query.main, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                     SMTO_NORMAL, 30000, &g_query.result) != 0;
  return 0;
}

void Run(const std::vector<std::string>& a) {
  const std::string& cmd = a[0];
  if (cmd == "sleep") {
    Sleep(ArgMs(a, 1, 100));
  } else if (cmd == "wait-main") {
    if (!WaitFor(ArgMs(a, 1, kDefaultWaitMs), FindMainWindow)) throw Failure("no main window");
    Print("main", "found");
  } else if (cmd == "wait-visible") {
    // The main window is shown once the start-up sequence has ended.
    if (!WaitFor(ArgMs(a, 1, kDefaultWaitMs),
                 [] { return VisibleOfClass(kMainClassName); })) {
      throw Failure("main window not shown");
    }
    Print("main", "visible");
  } else if (cmd == "status") {
    HWND main = RequireMain();
    HWND bar = GetDlgItem(main, ID_STATUSBAR);
    Print("caption", Utf8(TextOf(main)));
    Print("panel0", Utf8(RemoteText(bar, SB_GETTEXTW, 0)));
    Print("panel1", Utf8(RemoteText(bar, SB_GETTEXTW, 1)));
    Print("parts", std::to_string(Send(bar, SB_GETPARTS, 0, 0)));
    Print("visible", IsWindowVisible(main) ? "1" : "0");
    Print("iconic", IsIconic(main) ? "1" : "0");
    Print("enabled", IsWindowEnabled(main) ? "1" : "0");
    RECT r{};
    GetClientRect(main, &r);
    // A minimized window has no client area to speak of: see "restore".
    Print("client", IsIconic(main) ? std::string("minimized")
                                   : std::to_string(r.right) + "x" + std::to_string(r.bottom));
    RECT wr{};
    GetWindowRect(main, &wr);
    Print("window", std::to_string(wr.left) + "," + std::to_string(wr.top) + "," +
                        std::to_string(wr.right) + "," + std::to_string(wr.bottom));
    Print("screen", std::to_string(GetSystemMetrics(SM_CXSCREEN)) + "x" +
                        std::to_string(GetSystemMetrics(SM_CYSCREEN)));
    RECT br{};
    GetWindowRect(bar, &br);
    Print("statusbar_height", std::to_string(br.bottom - br.top));
    const LONG_PTR style = GetWindowLongPtrW(main, GWL_STYLE);
    Print("maximizebox", (style & WS_MAXIMIZEBOX) ? "1" : "0");
    Print("minimizebox", (style & WS_MINIMIZEBOX) ? "1" : "0");
    Print("sizable", (style & WS_THICKFRAME) ? "1" : "0");
  } else if (cmd == "restore") {
    // As a click on the task-bar button does.
    HWND main = RequireMain();
    ShowWindowAsync(main, SW_RESTORE);
    if (!WaitFor(ArgMs(a, 1, 5000), [main] { return IsIconic(main) ? nullptr : main; })) {
      throw Failure("main window still minimized");
    }
  } else if (cmd == "menu") {
    HWND main = RequireMain();
    int id = a.size() > 1 && a[1] == "X1" ? ID_X1
             : a.size() > 1 && a[1] == "O2" ? ID_O2
             : a.size() > 1 && a[1] == "O3" ? ID_O3
             : a.size() > 1 && a[1] == "A1" ? ID_A1
                                            : 0;
    if (!id) throw Failure("unknown menu item");
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(id, 0), 0);
  } else if (cmd == "rect") {
    // The window's outer rectangle on the screen, for screenshots.
    const std::string which = a.size() > 1 ? a[1] : "main";
    HWND w = which == "com"     ? VisibleOfClass(kComClassName)
             : which == "adv"   ? VisibleOfClass(kAdvancedClassName)
             : which == "about" ? VisibleOfClass(kAboutClassName)
                                : RequireMain();
    if (!w) throw Failure("no such window shown: " + which);
    RECT r{};
    GetWindowRect(w, &r);
    Print("rect", std::to_string(r.left) + "," + std::to_string(r.top) + "," +
                      std::to_string(r.right - r.left) + "," + std::to_string(r.bottom - r.top));
  } else if (cmd == "close") {
    PostMessageW(RequireMain(), WM_CLOSE, 0, 0);
  } else if (cmd == "wait-box") {
    HWND box = WaitFor(ArgMs(a, 1, kDefaultWaitMs), FindBox);
    if (!box) throw Failure("no message box");
    PrintBox(box);
  } else if (cmd == "no-box") {
    if (HWND box = WaitFor(ArgMs(a, 1, 500), FindBox)) {
      PrintBox(box);
      throw Failure("unexpected message box");
    }
    Print("box", "none");
  } else if (cmd == "answer") {
    if (a.size() < 2) throw Failure("answer needs OK or Cancel");
    HWND box = WaitFor(ArgMs(a, 2, kDefaultWaitMs), FindBox);
    if (!box) throw Failure("no message box");
    PrintBox(box);
    PressButton(box, a[1] == "OK" ? IDOK : IDCANCEL);
    if (!WaitFor(3000, [box] { return IsWindow(box) ? nullptr : box; })) {
      throw Failure("message box still open");
    }
  } else if (cmd == "wait-com") {
    if (!WaitFor(ArgMs(a, 1, kDefaultWaitMs), [] { return VisibleOfClass(kComClassName); })) {
      throw Failure("settings dialog not shown");
    }
    Print("com", "shown");
  } else if (cmd == "wait-com-hidden") {
    if (!WaitFor(ArgMs(a, 1, kDefaultWaitMs),
                 [] { return VisibleOfClass(kComClassName) ? nullptr : kDone; })) {
      throw Failure("settings dialog still shown");
    }
    Print("com", "hidden");
  } else if (cmd == "com-read") {
    HWND com = RequireCom();
    Print("com_caption", Utf8(TextOf(com)));
    for (const char* f : {"port", "bits", "stop", "parity", "baud"}) {
      HWND list = GetDlgItem(com, ComId(f));
      const LRESULT sel = Send(list, CB_GETCURSEL, 0, 0);
      std::wstring text;
      if (sel != CB_ERR) {
        wchar_t buf[256] = {};
        Send(list, CB_GETLBTEXT, static_cast<WPARAM>(sel), reinterpret_cast<LPARAM>(buf));
        text = buf;
      }
      Print(std::string("com_") + f, Utf8(text));
    }
    HWND delay = GetDlgItem(com, ID_EDDELAY);
    Print("com_delay", Utf8(TextOf(delay)));
    Print("com_delay_limit", std::to_string(Send(delay, EM_GETLIMITTEXT, 0, 0)));
    Print("main_enabled", IsWindowEnabled(RequireMain()) ? "1" : "0");
  } else if (cmd == "com-set") {
    if (a.size() < 3) throw Failure("com-set needs a field and a value");
    HWND com = RequireCom();
    const int id = ComId(a[1]);
    HWND c = GetDlgItem(com, id);
    const std::wstring value = Wide(a[2]);
    if (id == ID_EDDELAY) {
      Send(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
    } else {
      LRESULT pos = CB_ERR;
      if (!value.empty()) {
        pos = Send(c, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                   reinterpret_cast<LPARAM>(value.c_str()));
        if (pos == CB_ERR) throw Failure("no item " + a[2]);
      }
      Send(c, CB_SETCURSEL, static_cast<WPARAM>(pos), 0);
      Send(com, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(c));
    }
  } else if (cmd == "com-press") {
    HWND com = RequireCom();
    if (a.size() > 1 && a[1] == "apply") {
      PressButton(com, ID_BTNAPPLY);
    } else if (a.size() > 1 && a[1] == "cancel") {
      PressButton(com, ID_BTNCLOSE);
    } else if (a.size() > 1 && a[1] == "close") {
      PostMessageW(com, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
      throw Failure("com-press needs apply, cancel or close");
    }
  } else if (cmd == "wait-adv" || cmd == "wait-adv-hidden") {
    const bool shown = cmd == "wait-adv";
    if (!WaitFor(ArgMs(a, 1, kDefaultWaitMs), [shown] {
          HWND h = VisibleOfClass(kAdvancedClassName);
          return shown ? h : (h ? nullptr : kDone);
        })) {
      throw Failure(shown ? "advanced settings dialog not shown" : "advanced dialog still shown");
    }
    Print("adv", shown ? "shown" : "hidden");
  } else if (cmd == "adv-read") {
    // adv_<Name>: a box's text, or 1 / 0 for a check box.
    HWND adv = RequireAdv();
    Print("adv_caption", Utf8(TextOf(adv)));
    for (std::size_t i = 0; i < kExtValues.size(); ++i) {
      HWND c = GetDlgItem(adv, ID_ADV_FIRST_FIELD + static_cast<int>(i));
      Print(std::string("adv_") + kExtValues[i].name,
            kAdvancedFields[i].checkBox ? std::to_string(Send(c, BM_GETCHECK, 0, 0))
                                        : Utf8(TextOf(c)));
    }
    Print("adv_note_message", Utf8(TextOf(GetDlgItem(adv, ID_ADV_NOTE_MESSAGE))));
    Print("adv_note_start", Utf8(TextOf(GetDlgItem(adv, ID_ADV_NOTE_START))));
    Print("main_enabled", IsWindowEnabled(RequireMain()) ? "1" : "0");
  } else if (cmd == "adv-set") {
    // adv-set:<Name>:<text>; a check box takes 1 or 0, as a click leaves it.
    if (a.size() < 3) throw Failure("adv-set needs a field and a value");
    const std::size_t i = AdvField(a[1]);
    HWND c = GetDlgItem(RequireAdv(), ID_ADV_FIRST_FIELD + static_cast<int>(i));
    const std::wstring value = Wide(a[2]);
    if (kAdvancedFields[i].checkBox) {
      Send(c, BM_SETCHECK, a[2] == "1" ? BST_CHECKED : BST_UNCHECKED, 0);
    } else {
      Send(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
    }
  } else if (cmd == "adv-press") {
    HWND adv = RequireAdv();
    const std::string which = a.size() > 1 ? a[1] : "";
    if (which == "apply" || which == "cancel") {
      PressButton(adv, which == "apply" ? ID_ADV_APPLY : ID_ADV_CLOSE);
    } else if (which == "close") {
      PostMessageW(adv, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
      throw Failure("adv-press needs apply, cancel or close");
    }
  } else if (cmd == "wait-about") {
    if (!WaitFor(ArgMs(a, 1, kDefaultWaitMs), [] { return VisibleOfClass(kAboutClassName); })) {
      throw Failure("About box not shown");
    }
    Print("about", "shown");
  } else if (cmd == "wait-about-hidden") {
    if (!WaitFor(ArgMs(a, 1, kDefaultWaitMs),
                 [] { return VisibleOfClass(kAboutClassName) ? nullptr : kDone; })) {
      throw Failure("About box still shown");
    }
    Print("about", "hidden");
  } else if (cmd == "about-read") {
    HWND about = VisibleOfClass(kAboutClassName);
    if (!about) throw Failure("About box not shown");
    Print("about_caption", Utf8(TextOf(about)));
    RECT r{};
    GetWindowRect(about, &r);
    Print("about_size", std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top));
    Print("about_label1", Utf8(TextOf(GetDlgItem(about, ID_ABOUT_LABEL1))));
    Print("about_label2", Utf8(TextOf(GetDlgItem(about, ID_ABOUT_LABEL2))));
    Print("about_phone", Utf8(TextOf(GetDlgItem(about, ID_ABOUT_PHONE))));
    Print("about_web", Utf8(TextOf(GetDlgItem(about, ID_ABOUT_WEB))));
    Print("about_mail", Utf8(TextOf(GetDlgItem(about, ID_ABOUT_MAIL))));
    Print("about_button", Utf8(TextOf(GetDlgItem(about, ID_ABOUT_CLOSE))));
    HWND image = GetDlgItem(GetDlgItem(about, ID_ABOUT_PANEL1), ID_ABOUT_IMAGE1);
    const LRESULT bitmap = image ? Send(image, STM_GETIMAGE, IMAGE_BITMAP, 0) : 0;
    Print("about_logo", bitmap ? "present" : "none");
    // A bitmap static takes the size of its picture.
    RECT ir{};
    if (image) GetClientRect(image, &ir);
    Print("about_image_size", std::to_string(ir.right) + "x" + std::to_string(ir.bottom));
    Print("main_enabled", IsWindowEnabled(RequireMain()) ? "1" : "0");
  } else if (cmd == "about-key") {
    HWND about = VisibleOfClass(kAboutClassName);
    if (!about) throw Failure("About box not shown");
    const WPARAM vk = a.size() > 1 && a[1] == "escape" ? VK_ESCAPE : VK_RETURN;
    // The key goes to the control with the focus, through the box's loop.
    GUITHREADINFO gti{};
    gti.cbSize = sizeof gti;
    HWND target = GetDlgItem(about, ID_ABOUT_CLOSE);
    if (GetGUIThreadInfo(GetWindowThreadProcessId(about, nullptr), &gti) && gti.hwndFocus) {
      target = gti.hwndFocus;
    }
    PostMessageW(target, WM_KEYDOWN, vk, 1);
    PostMessageW(target, WM_KEYUP, vk, static_cast<LPARAM>(0xC0000001u));
  } else if (cmd == "query-end-session") {
    g_query.main = RequireMain();
    g_query.thread = CreateThread(nullptr, 0, QueryEndSession, nullptr, 0, nullptr);
    if (!g_query.thread) throw Failure("cannot start the query thread");
  } else if (cmd == "query-end-session-result") {
    if (!g_query.thread || WaitForSingleObject(g_query.thread, 30000) != WAIT_OBJECT_0) {
      throw Failure("no answer to WM_QUERYENDSESSION");
    }
    Print("query_end_session", g_query.sent ? std::to_string(g_query.result) : "timeout");
  } else if (cmd == "end-session") {
    // What Windows sends once every program agreed to end the session.
    PostMessageW(RequireMain(), WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  } else if (cmd == "wait-gone") {
    if (!WaitFor(ArgMs(a, 1, kDefaultWaitMs), [] { return FindMainWindow() ? nullptr : kDone; })) {
      throw Failure("main window still there");
    }
    Print("main", "gone");
  } else {
    throw Failure("unknown command " + cmd);
  }
}

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = s.find(':', start);
    parts.push_back(s.substr(start, colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return parts;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = Utf8(argv[i]);
    try {
      Run(Split(arg));
    } catch (const std::exception& e) {
      Print("error", arg + ": " + e.what());
      return 1;
    }
  }
  return 0;
}
