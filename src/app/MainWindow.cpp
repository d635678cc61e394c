#include "app/MainWindow.h"

#include <commctrl.h>

#include "win32/DdeServer.h"
#include "win32/WinText.h"
#include "dde/ResultItems.h"
#include "app/AboutBox.h"
#include "app/AdvancedSettingsDialog.h"
#include "app/ComSettingsDialog.h"

namespace varnix {

// ---------------------------------------------------------------------------
// MainWindow

namespace {

constexpr DWORD kMainStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr UINT_PTR kStopTimer = 1;
constexpr UINT kStopPollMs = 20;

}  // namespace

MainWindow::MainWindow(GatewayState& state, PortSettings& settings)
    : state_(state), settings_(settings), runtime_(state, settings, registry) {}

MainWindow::~MainWindow() {
  // The window may outlive a shutdown that did not run (a failed creation,
  // an error that ended the message loop): it must not reach this object
  // any more. The runtime then stops the worker.
  ReleaseFormWindow(hwnd_);
}

bool MainWindow::Create(HINSTANCE instance) {
  instance_ = instance;
  // A copy of the program under another name serves its own modem: its
  // settings live in a key of their own, from the first load on.
  registry.SetSettingsKey(SettingsKeyFor(win32::WideToAnsi(win32::ServiceNameOfThisProcess())));
  HMENU menu = CreateMainMenu();
  RECT r{0, 0, kMainClientWidth, kMainClientHeight};
  AdjustWindowRectEx(&r, kMainStyle, TRUE, 0);
  hwnd_ = CreateFormWindow(this, instance, kMainClassName, kMainCaption, kMainStyle, 0,
                           r.right - r.left, r.bottom - r.top, menu);
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

HMENU MainWindow::CreateMainMenu() {
  HMENU bar = CreateMenu();
  HMENU f1 = CreatePopupMenu();
  AppendMenuW(f1, MF_STRING, ID_X1, L"退出(&X)");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(f1), L"文件(&F)");
  HMENU o1 = CreatePopupMenu();
  AppendMenuW(o1, MF_STRING, ID_O2, L"选项(&O)");
  AppendMenuW(o1, MF_STRING, ID_O3, L"高级设置(&G)");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(o1), L"工具(&T)");
  HMENU h1 = CreatePopupMenu();
  AppendMenuW(h1, MF_STRING, ID_A1, L"关于(&A)");
  AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(h1), L"帮助(&H)");
  return bar;
}

void MainWindow::CreateControls() {
  font_ = MakeFont(L"MS Sans Serif", 11, false, DEFAULT_CHARSET);
  auto child = [&](DWORD exStyle, const wchar_t* cls, const wchar_t* text, DWORD style, int x,
                   int y, int w, int h, int id) {
    return AddChild(hwnd_, instance_, exStyle, cls, text, style, x, y, w, h, id, font_.get());
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

void MainWindow::SetPanelText(int panel, const std::wstring& text) {
  SendMessageW(statusBar_, SB_SETTEXTW, static_cast<WPARAM>(panel),
               reinterpret_cast<LPARAM>(text.c_str()));
}

std::wstring MainWindow::PanelText(int panel) const {
  const LRESULT len = SendMessageW(statusBar_, SB_GETTEXTLENGTHW, static_cast<WPARAM>(panel), 0);
  std::wstring text(static_cast<size_t>(LOWORD(len)) + 1, L'\0');
  SendMessageW(statusBar_, SB_GETTEXTW, static_cast<WPARAM>(panel),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(LOWORD(len)));
  return text;
}

void MainWindow::FormCreate() {
  // 1.-4. Settings: whatever cannot be loaded keeps its default, and the
  // error is shown once the window runs instead of holding up the start.
  startupError_ = runtime_.LoadSettings();
  if (startupError_) PostMessageW(hwnd_, WM_STARTUPERROR, 0, 0);

  // 5.-7. The target of WM_SENDDONE; the topic, whatever the port does.
  runtime_.CreateTopic(hwnd_);

  // 8.-10. Port failed: the window stays in view with the error, no items,
  // no modem dialogue, no worker.
  if (!runtime_.OpenPort()) {
    SetPanelText(0, kPortFailedText);
    SetPanelText(1, L"");
    return;
  }

  // 11.-14.
  startMinimized_ = true;
  runtime_.CreateItems();
  SetPanelText(0, std::wstring(kTopicPanelPrefix) + win32::Utf8ToWide(kTopicName));

  // 15.-16. Modem initialisation, then the worker.
  runtime_.InitModemAndStartWorker(hwnd_);
}

void MainWindow::Show() {
  if (startMinimized_) {
    ShowWindow(hwnd_, SW_SHOWMINNOACTIVE);
  } else {
    CenterOnScreen(hwnd_);
    ShowWindow(hwnd_, SW_SHOWNORMAL);
  }
  UpdateWindow(hwnd_);
}

bool MainWindow::FormCloseQuery() {
  if (asking_) return false;
  asking_ = true;
  const int answer = MessageBoxW(hwnd_, L"确认退出 SMS?", L"Confirm",
                                 MB_OKCANCEL | MB_ICONQUESTION | MB_DEFBUTTON1);
  asking_ = false;
  return answer == IDOK;
}

void MainWindow::FormClose() {
  if (closing_) return;
  closing_ = true;
  // The flag first; an idle worker is woken and leaves at once, a message
  // under way is finished and reported before the worker leaves.
  runtime_.RequestStop();
  if (runtime_.WorkerFinished()) {
    FinishShutdown();
    return;
  }
  // The GUI thread keeps serving window messages and DDE while the worker
  // finishes: the worker posts WM_WORKERDONE, and a timer looks as well in
  // case that post is lost (a full message queue).
  SetPanelText(0, kStoppingText);
  SetTimer(hwnd_, kStopTimer, kStopPollMs, nullptr);
}

void MainWindow::FinishShutdown() {
  if (finished_) return;
  finished_ = true;
  KillTimer(hwnd_, kStopTimer);
  runtime_.FinishStop(hwnd_);
  // WM_DESTROY ends the message loop; the handle is not used after this.
  DestroyWindow(hwnd_);
  hwnd_ = nullptr;
}

void MainWindow::StopNowForEndSession() {
  // Windows ends the process once WM_ENDSESSION returns: wait here.
  closing_ = true;
  runtime_.RequestStop();
  FinishShutdown();
}

void MainWindow::X1Click() { PostMessageW(hwnd_, WM_CLOSE, 0, 0); }

void MainWindow::O2Click() {
  if (!comDialog_ || closing_) return;
  comDialog_->Fill(FillComDialog(settings_));
  comDialog_->ShowModal(hwnd_);
}

void MainWindow::O3Click() {
  if (closing_) return;
  if (!advancedDialog_) {
    advancedDialog_ = std::make_unique<AdvancedSettingsDialog>(registry, &runtime_.Extensions());
    if (!advancedDialog_->Create(instance_)) {
      advancedDialog_.reset();
      return;
    }
  }
  advancedDialog_->ShowModal(hwnd_);
}

void MainWindow::A1Click() {
  if (!aboutBox_ || closing_) return;
  aboutBox_->ShowModal(hwnd_);
}

void MainWindow::Button1Click() {
  if (!state_.items[kSend]) return;
  wchar_t text[1024] = {};
  GetWindowTextW(edit1_, text, 1024);
  state_.items[kNum]->SetText("12345678901");
  state_.items[kSms]->SetText(win32::WideToAnsi(text));
  state_.items[kSend]->SetText("1");
  ItemPokeData(state_, *state_.items[kSend]);
}

void MainWindow::Button2Click() {
  if (!state_.items[kSend]) return;
  state_.items[kSend]->SetText("1");
  ItemPokeData(state_, *state_.items[kSend]);
}

LRESULT MainWindow::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SENDDONE:
      WMSendDone(state_, wParam);
      return 0;
    case WM_RESULTS:
      PublishResults(state_);
      return 0;
    case WM_INBOX:
      runtime_.PublishInbox();
      return 0;
    case WM_MODEMSTATUS:
      if (!closing_) SetPanelText(1, runtime_.PublishModemStatus());
      return 0;
    case WM_PRESENCE:
      if (closing_) return 0;
      runtime_.PublishPresence(wParam != 0);
      SetPanelText(0, wParam != 0 ? std::wstring(kTopicPanelPrefix) + win32::Utf8ToWide(kTopicName)
                                  : std::wstring(kModemLostText));
      return 0;
    case WM_STARTUPERROR:
      if (startupError_) {
        const std::wstring text = win32::AnsiToWide(*startupError_);
        startupError_.reset();
        ShowErrorBox(hwnd_, text);
      }
      return 0;
    case WM_WORKERDONE:
    case WM_TIMER:
      if (closing_ && runtime_.WorkerFinished()) FinishShutdown();
      return 0;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case ID_X1:
          X1Click();
          return 0;
        case ID_O2:
          O2Click();
          return 0;
        case ID_O3:
          O3Click();
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
