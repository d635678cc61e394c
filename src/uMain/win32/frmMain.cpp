#include "uMain/win32/frmMain.h"

#include <commctrl.h>

#include <algorithm>
#include <cwctype>

#include "win32/SerialPort.h"
#include "win32/DdeServer.h"
#include "uAbout/win32/frmAbout.h"
#include "uCom/win32/frmCom.h"
#include "uMeter/AnsiCodec.h"
#include "uMeter/SendWorker.h"

namespace varnix {

// ---------------------------------------------------------------------------
// Helpers shared by the windows

namespace {

std::wstring ToWide(UINT codePage, std::string_view text) {
  if (text.empty()) return {};
  const int inLen = static_cast<int>(text.size());
  int n = MultiByteToWideChar(codePage, 0, text.data(), inLen, nullptr, 0);
  std::wstring out(static_cast<size_t>(std::max(n, 0)), L'\0');
  if (n > 0) MultiByteToWideChar(codePage, 0, text.data(), inLen, out.data(), n);
  return out;
}

std::string FromWide(UINT codePage, std::wstring_view text) {
  if (text.empty()) return {};
  const int inLen = static_cast<int>(text.size());
  int n = WideCharToMultiByte(codePage, 0, text.data(), inLen, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(std::max(n, 0)), '\0');
  if (n > 0) WideCharToMultiByte(codePage, 0, text.data(), inLen, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) { return ToWide(CP_UTF8, text); }
std::string WideToUtf8(std::wstring_view text) { return FromWide(CP_UTF8, text); }
std::wstring AnsiToWide(std::string_view text) { return ToWide(CP_ACP, text); }
std::string WideToAnsi(std::wstring_view text) { return FromWide(CP_ACP, text); }

std::wstring ApplicationTitle() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name = path;
  name = name.substr(name.find_last_of(L"\\/") + 1);
  if (auto dot = name.rfind(L'.'); dot != std::wstring::npos) name.resize(dot);
  for (size_t i = 1; i < name.size(); ++i) name[i] = static_cast<wchar_t>(std::towlower(name[i]));
  return name;
}

win32::GdiObject MakeFont(const wchar_t* face, int pixelHeight, bool bold, BYTE charset) {
  // A negative height asks for that character height, without the internal
  // leading, which is how the forms' pixel sizes are meant.
  return win32::GdiObject(CreateFontW(-pixelHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                                      FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
                                      CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                      DEFAULT_PITCH | FF_DONTCARE, face));
}

void CenterOnScreen(HWND hwnd) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void RunModal(HWND dialog, HWND owner, const bool& done) {
  if (owner) EnableWindow(owner, FALSE);
  ShowWindow(dialog, SW_SHOW);
  SetForegroundWindow(dialog);
  // Activation leaves the focus on the frame; keys are meant for a control.
  if (!IsChild(dialog, GetFocus())) SetFocus(GetNextDlgTabItem(dialog, nullptr, FALSE));
  MSG msg;
  while (!done) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got < 0) break;
    if (!IsDialogMessageW(dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  // The owner is enabled again before the dialog disappears, or Windows
  // would hand the activation to some other program's window.
  if (owner) EnableWindow(owner, TRUE);
  ShowWindow(dialog, SW_HIDE);
  if (owner) SetActiveWindow(owner);
}

// ---------------------------------------------------------------------------
// TfrmMain

namespace {

constexpr DWORD kMainStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr UINT_PTR kStopTimer = 1;
constexpr UINT kStopPollMs = 20;

constexpr char kTopicName[] = "SMS0";
constexpr char kModemEchoOff[] = "ATE0\r";
constexpr char kModemNoIndications[] = "AT+CNMI=0, 0, 0, 0, 0\r";

DWORD PauseOf(const PortSettings& settings) {
  // A negative Delay from the registry would be an endless Sleep.
  const std::int32_t d = settings.Delay.load();
  return d < 0 ? 0 : static_cast<DWORD>(d);
}

}  // namespace

TfrmMain::TfrmMain(GatewayState& state, PortSettings& settings)
    : state_(state), settings_(settings) {}

TfrmMain::~TfrmMain() {
  // Normally the shutdown has run; this covers an end of the process by
  // another path (a failed creation, the end of the session).
  if (worker_) {
    state_.RequestStop();
    worker_->Join();
  }
  // The service outlives this window; it must not keep the topic.
  if (ddeServer_) ddeServer_->SetConversation(nullptr);
}

bool TfrmMain::Create(HINSTANCE instance) {
  instance_ = instance;
  if (!RegisterFormClass<TfrmMain>(instance, kMainClassName)) return false;

  HMENU menu = CreateMainMenu();
  RECT r{0, 0, kMainClientWidth, kMainClientHeight};
  AdjustWindowRectEx(&r, kMainStyle, TRUE, 0);
  hwnd_ = CreateWindowExW(0, kMainClassName, kMainCaption, kMainStyle, CW_USEDEFAULT,
                          CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr, menu,
                          instance, this);
  if (!hwnd_) return false;
  // A menu bar that wraps would steal client height: size the window so the
  // client area is exactly as designed, whatever the menu font.
  RECT client{};
  GetClientRect(hwnd_, &client);
  if (client.bottom != kMainClientHeight || client.right != kMainClientWidth) {
    RECT w{};
    GetWindowRect(hwnd_, &w);
    SetWindowPos(hwnd_, nullptr, 0, 0, (w.right - w.left) + kMainClientWidth - client.right,
                 (w.bottom - w.top) + kMainClientHeight - client.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  CreateControls();
  FormCreate();
  return true;
}

HMENU TfrmMain::CreateMainMenu() {
  HMENU bar = CreateMenu();
  HMENU f1 = CreatePopupMenu();
  AppendMenuW(f1, MF_STRING, ID_X1, L"退出(&X)");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(f1), L"文件(&F)");
  HMENU o1 = CreatePopupMenu();
  AppendMenuW(o1, MF_STRING, ID_O2, L"选项(&O)");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(o1), L"工具(&T)");
  HMENU h1 = CreatePopupMenu();
  AppendMenuW(h1, MF_STRING, ID_A1, L"关于(&A)");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(h1), L"帮助(&H)");
  return bar;
}

void TfrmMain::CreateControls() {
  font_ = MakeFont(L"MS Sans Serif", 11, false, DEFAULT_CHARSET);
  auto child = [&](DWORD exStyle, const wchar_t* cls, const wchar_t* text, DWORD style, int x,
                   int y, int w, int h, int id) {
    HWND c = CreateWindowExW(exStyle, cls, text, WS_CHILD | style, x, y, w, h, hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                             nullptr);
    SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
    return c;
  };
  // A status bar sizes itself from its font unless told not to; the window
  // never changes size, so it is placed once at the designed 19 pixels.
  statusBar_ = child(0, STATUSCLASSNAMEW, L"", WS_VISIBLE | CCS_NORESIZE | CCS_NOPARENTALIGN, 0,
                     kMainClientHeight - kStatusBarHeight, kMainClientWidth, kStatusBarHeight,
                     ID_STATUSBAR);
  int parts[2] = {200, 250};
  SendMessageW(statusBar_, SB_SETPARTS, 2, reinterpret_cast<LPARAM>(parts));
  // The test hooks: invisible, so no user can reach them.
  button1_ = child(0, L"BUTTON", L"Button1", WS_TABSTOP | BS_PUSHBUTTON, 40, 8, 75, 25, ID_BUTTON1);
  button2_ =
      child(0, L"BUTTON", L"Button2", WS_TABSTOP | BS_PUSHBUTTON, 136, 8, 75, 25, ID_BUTTON2);
  edit1_ = child(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL, 40, 48,
                 249, 21, ID_EDIT1);
}

void TfrmMain::SetPanelText(int panel, const std::wstring& text) {
  SendMessageW(statusBar_, SB_SETTEXTW, static_cast<WPARAM>(panel),
               reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring TfrmMain::PanelText(int panel) const {
  const LRESULT len = SendMessageW(statusBar_, SB_GETTEXTLENGTHW, static_cast<WPARAM>(panel), 0);
  std::wstring text(static_cast<size_t>(LOWORD(len)) + 1, L'\0');
  SendMessageW(statusBar_, SB_GETTEXTW, static_cast<WPARAM>(panel),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(LOWORD(len)));
  return text;
}

void TfrmMain::FormCreate() {
  // 1. The queue exists from the start (GatewayState); it is empty.
  // 2.-4. Settings: whatever cannot be loaded keeps its default, and the
  // error is shown once the window runs instead of holding up the start.
  startupError_ = LoadSettingsAtStartup(settings_, registry);
  // The opt-in values after the six, from the same key; one that cannot be
  // read is reported in the same box and its capability stays off.
  if (std::optional<std::string> e = LoadExtSettingsAtStartup(extSettings_, registry))
    startupError_ = startupError_ ? *startupError_ + "\n" + *e : *e;
  if (startupError_) PostMessageW(hwnd_, WM_STARTUPERROR, 0, 0);

  // 5. The target of WM_SENDDONE.
  state_.mainWindow = reinterpret_cast<std::uintptr_t>(hwnd_);

  // 6.-7. The topic, registered whatever the port does.
  ddeConv = std::make_unique<TDdeServerConv>();
  ddeConv->SetName(kTopicName);
  if (ddeServer_) ddeServer_->SetConversation(ddeConv.get());

  // 8.-9.
  state_.stopRequested.store(false);
  state_.portHandle = port_.PortOpen(settings_);

  // 10. Port failed: the window stays in view with the error, no items, no
  // modem dialogue, no worker.
  if (state_.portHandle == kNoPort) {
    SetPanelText(0, kPortFailedText);
    SetPanelText(1, L"");
    return;
  }

  // 11.-14.
  startMinimized_ = true;
  itemOwner_.CreateItems(*ddeConv, state_);
  state_.items[kWakeup]->SetText("1");
  SetPanelText(0, std::wstring(kTopicPanelPrefix) + Utf8ToWide(kTopicName));

  // 15. Modem initialisation; the replies are purged by the next send.
  port_.PortSend(kModemEchoOff, static_cast<int>(sizeof kModemEchoOff - 1));
  Sleep(PauseOf(settings_));
  port_.PortSend(kModemNoIndications, static_cast<int>(sizeof kModemNoIndications - 1));
  Sleep(PauseOf(settings_));

  // 16. The worker, last, when everything it reads is in place. It reports
  // through the window's queue only: a SendMessage from it could deadlock
  // against a GUI thread that waits for it at shutdown.
  workerClock_ = std::make_unique<SystemWorkerClock>();
  codec_ = MakeSystemAnsiCodec();
  HWND target = hwnd_;
  worker_ = std::make_unique<TGetDataThread>(state_, port_, *workerClock_, *codec_,
                                             settings_.Delay,
                                             [target] { PostMessageW(target, WM_SENDDONE, 0, 0); });
  worker_->SetOnFinished([target] { PostMessageW(target, WM_WORKERDONE, 0, 0); });
  worker_->SetExtensions(extSettings_);
  worker_->Start();
}

void TfrmMain::Show() {
  if (startMinimized_) {
    ShowWindow(hwnd_, SW_SHOWMINNOACTIVE);
  } else {
    CenterOnScreen(hwnd_);
    ShowWindow(hwnd_, SW_SHOWNORMAL);
  }
  UpdateWindow(hwnd_);
}

bool TfrmMain::FormCloseQuery() {
  if (asking_) return false;
  asking_ = true;
  const int answer = MessageBoxW(hwnd_, L"确认退出 SMS?", L"Confirm",
                                 MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON1);
  asking_ = false;
  return answer == IDOK;
}

void TfrmMain::FormClose() {
  if (closing_) return;
  closing_ = true;
  // The flag first; an idle worker is woken and leaves at once, a message
  // under way is finished and reported before the worker leaves.
  state_.RequestStop();
  if (!worker_ || worker_->Finished()) {
    FinishShutdown();
    return;
  }
  // The GUI thread keeps serving window messages and DDE while the worker
  // finishes: the worker posts WM_WORKERDONE, and a timer looks as well in
  // case that post is lost (a full message queue).
  SetPanelText(0, kStoppingText);
  SetTimer(hwnd_, kStopTimer, kStopPollMs, nullptr);
}

void TfrmMain::FinishShutdown() {
  if (finished_) return;
  finished_ = true;
  KillTimer(hwnd_, kStopTimer);
  if (worker_) worker_->Join();
  // The timer can see the worker finished while its last WM_SENDDONE still
  // waits in the queue; destroying the window would drop that outcome.
  MSG pending;
  while (PeekMessageW(&pending, hwnd_, WM_SENDDONE, WM_SENDDONE, PM_REMOVE)) {
    WMSendDone(state_, pending.wParam);
  }
  // Nothing may reach the queue or the port any more.
  state_.sendQueue.Release();
  port_.PortClose();
  state_.portHandle = kNoPort;
  DestroyWindow(hwnd_);
}

void TfrmMain::StopNowForEndSession() {
  // Windows ends the process once WM_ENDSESSION returns: wait here.
  closing_ = true;
  state_.RequestStop();
  FinishShutdown();
}

void TfrmMain::X1Click() { PostMessageW(hwnd_, WM_CLOSE, 0, 0); }

void TfrmMain::O2Click() {
  if (!frmCom_ || closing_) return;
  frmCom_->Fill(FillComDialog(settings_));
  frmCom_->ShowModal(hwnd_);
}

void TfrmMain::A1Click() {
  if (!frmAbout_ || closing_) return;
  frmAbout_->ShowModal(hwnd_);
}

void TfrmMain::Button1Click() {
  if (!state_.items[kSend]) return;
  wchar_t text[1024] = {};
  GetWindowTextW(edit1_, text, 1024);
  state_.items[kNum]->SetText("12345678901");
  state_.items[kSms]->SetText(WideToAnsi(text));
  state_.items[kSend]->SetText("1");
  ItemPokeData(state_, *state_.items[kSend]);
}

void TfrmMain::Button2Click() {
  if (!state_.items[kSend]) return;
  state_.items[kSend]->SetText("1");
  ItemPokeData(state_, *state_.items[kSend]);
}

LRESULT TfrmMain::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SENDDONE:
      WMSendDone(state_, wParam);
      return 0;
    case WM_STARTUPERROR:
      if (startupError_) {
        const std::wstring text = AnsiToWide(*startupError_);
        startupError_.reset();
        MessageBoxW(hwnd_, text.c_str(), ApplicationTitle().c_str(), MB_OK | MB_ICONERROR);
      }
      return 0;
    case WM_WORKERDONE:
    case WM_TIMER:
      if (closing_ && worker_ && worker_->Finished()) FinishShutdown();
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case ID_X1:
          X1Click();
          return 0;
        case ID_O2:
          O2Click();
          return 0;
        case ID_A1:
          A1Click();
          return 0;
        case ID_BUTTON1:
          if (HIWORD(wParam) == BN_CLICKED && IsWindowVisible(button1_)) Button1Click();
          return 0;
        case ID_BUTTON2:
          if (HIWORD(wParam) == BN_CLICKED && IsWindowVisible(button2_)) Button2Click();
          return 0;
        default:
          return DefWindowProcW(hwnd_, msg, wParam, lParam);
      }
    case WM_CLOSE:
      // Close box, system menu, Alt+F4 and File > Exit all come here.
      if (closing_) return 0;
      if (FormCloseQuery()) FormClose();
      return 0;
    case WM_QUERYENDSESSION:
      if (closing_) return TRUE;
      return FormCloseQuery() ? TRUE : FALSE;
    case WM_ENDSESSION:
      if (wParam) StopNowForEndSession();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd_, msg, wParam, lParam);
  }
}

}  // namespace varnix
