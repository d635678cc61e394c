// The main window: status bar, menus, the hidden test controls, and the host
// of the gateway's start-up and shutdown.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "win32/Handle.h"
#include "uMain/win32/FormWindow.h"
#include "win32/Registry.h"
#include "uMain/DdeModel.h"
#include "uMain/GatewayState.h"
#include "uMain/SendRule.h"
#include "uMeter/ExtSettings.h"
#include "uMeter/PortSettings.h"
#include "win32/SerialPort.h"

namespace varnix {

class TGetDataThread;
class ModemPort;
class WorkerClock;
class AnsiCodec;
class TfrmCom;
class TfrmAbout;
namespace win32 {
class DdeServer;
}

inline constexpr wchar_t kMainClassName[] = L"TfrmMain";
inline constexpr wchar_t kMainCaption[] = L"Varnix";

// Menu commands and control ids of the main window.
enum MainIds : int {
  ID_X1 = 101,  // 文件 > 退出
  ID_O2 = 102,  // 工具 > 选项
  ID_A1 = 103,  // 帮助 > 关于
  ID_STATUSBAR = 110,
  ID_BUTTON1 = 111,
  ID_BUTTON2 = 112,
  ID_EDIT1 = 113,
};

// Private window messages of the main window.
inline constexpr UINT WM_STARTUPERROR = WM_APP + 101;  // show the start-up error box
inline constexpr UINT WM_WORKERDONE = WM_APP + 102;    // the worker has left its loop

inline constexpr int kMainClientWidth = 334;
inline constexpr int kMainClientHeight = 31;
inline constexpr int kStatusBarHeight = 19;

// Status bar texts.
inline constexpr wchar_t kTopicPanelPrefix[] = L"Topic: ";
inline constexpr wchar_t kPortFailedText[] = L"提示: 打开串口出错!";
inline constexpr wchar_t kStoppingText[] = L"正在停止…";

// The application title: the executable's base name with every letter after
// the first in lower case ("VARNIX.EXE" -> "Varnix").
std::wstring ApplicationTitle();

// Helpers shared by the three windows.
std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);
std::string WideToAnsi(std::wstring_view text);  // the system ANSI code page
std::wstring AnsiToWide(std::string_view text);
win32::GdiObject MakeFont(const wchar_t* face, int pixelHeight, bool bold, BYTE charset);
void CenterOnScreen(HWND hwnd);
// Disables `owner`, shows `dialog` and runs its loop until `done`; window
// messages and DDE transactions go on being served meanwhile. Enter presses
// the dialog's default button (DM_GETDEFID); a WM_QUIT ends the loop and is
// passed on to the outer loop.
void RunModal(HWND dialog, HWND owner, const bool& done);

class TfrmMain {
 public:
  TfrmMain(GatewayState& state, PortSettings& settings);
  ~TfrmMain();
  TfrmMain(const TfrmMain&) = delete;
  TfrmMain& operator=(const TfrmMain&) = delete;

  // Creates the window and runs FormCreate. Returns false when the window
  // could not be created at all.
  bool Create(HINSTANCE instance);
  // First showing: minimized when the gateway runs, else normal and centred.
  void Show();
  // The process's DDE service; the topic is handed to it in FormCreate.
  void SetDdeServer(win32::DdeServer* server) { ddeServer_ = server; }
  void SetDialogs(TfrmCom* com, TfrmAbout* about) {
    frmCom_ = com;
    frmAbout_ = about;
  }

  HWND Handle() const { return hwnd_; }
  void SetPanelText(int panel, const std::wstring& text);
  std::wstring PanelText(int panel) const;

  // Menu commands.
  void X1Click();
  void O2Click();
  void A1Click();
  // Test hooks behind the invisible buttons.
  void Button1Click();
  void Button2Click();

  RegistryAccessor& Registry() { return registry; }

 private:
  template <typename Form>
  friend LRESULT CALLBACK FormWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  HMENU CreateMainMenu();

  void FormCreate();
  bool FormCloseQuery();
  void FormClose();
  void FinishShutdown();
  void StopNowForEndSession();

  GatewayState& state_;
  PortSettings& settings_;
  TRegistry registry;
  std::unique_ptr<TDdeServerConv> ddeConv;
  ItemOwner itemOwner_;
  win32::DdeServer* ddeServer_ = nullptr;

  ExtSettings extSettings_;  // read by the worker: declared before it
  SerialPort port_;  // outlives the worker, which is declared after it
  std::unique_ptr<WorkerClock> workerClock_;
  std::unique_ptr<AnsiCodec> codec_;
  std::unique_ptr<TGetDataThread> worker_;

  HINSTANCE instance_ = nullptr;
  HWND hwnd_ = nullptr;
  HWND statusBar_ = nullptr;
  HWND button1_ = nullptr;
  HWND button2_ = nullptr;
  HWND edit1_ = nullptr;
  win32::GdiObject font_;
  TfrmCom* frmCom_ = nullptr;
  TfrmAbout* frmAbout_ = nullptr;

  std::optional<std::string> startupError_;
  bool startMinimized_ = false;
  bool asking_ = false;
  bool closing_ = false;
  bool finished_ = false;
};

}  // namespace varnix
