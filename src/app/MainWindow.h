// The main window: status bar, menus, the hidden test controls, and the host
// of the gateway's start-up and shutdown.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "win32/Handle.h"
#include "win32/Registry.h"
#include "gateway/GatewayState.h"
#include "app/FormHelpers.h"
#include "app/GatewayRuntime.h"
#include "settings/PortSettings.h"

namespace varnix {

class ComSettingsDialog;
class AboutBox;
class AdvancedSettingsDialog;
namespace win32 {
class DdeServer;
}

inline constexpr wchar_t kMainClassName[] = L"MainWindow";
inline constexpr wchar_t kMainCaption[] = L"Varnix";

// Menu commands and control ids of the main window.
enum MainIds : int {
  ID_X1 = 101,  // 文件 > 退出
  ID_O2 = 102,  // 工具 > 选项
  ID_A1 = 103,  // 帮助 > 关于
  ID_O3 = 104,  // 工具 > 高级设置
  ID_STATUSBAR = 110,
  ID_BUTTON1 = 111,
  ID_BUTTON2 = 112,
  ID_EDIT1 = 113,
};

// Private window messages of the main window.
// WM_WORKERDONE (WM_APP + 102, the worker has left its loop) is the
// runtime's.
inline constexpr UINT WM_STARTUPERROR = WM_APP + 101;  // show the start-up error box

inline constexpr int kMainClientWidth = 334;
inline constexpr int kMainClientHeight = 31;
inline constexpr int kStatusBarHeight = 19;

// Status bar texts.
inline constexpr wchar_t kTopicPanelPrefix[] = L"Topic: ";
inline constexpr wchar_t kPortFailedText[] = L"提示: 打开串口出错!";
inline constexpr wchar_t kStoppingText[] = L"正在停止…";
// With Watch, while the modem's port is away and opened again every 5 s.
inline constexpr wchar_t kModemLostText[] = L"提示: 调制解调器已断开, 正在重连";

class MainWindow {
 public:
  MainWindow(GatewayState& state, PortSettings& settings);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Creates the window and runs FormCreate. Returns false when the window
  // could not be created at all.
  bool Create(HINSTANCE instance);
  // First showing: minimized when the gateway runs, else normal and centred.
  void Show();
  // The process's DDE service; the topic is handed to it in FormCreate.
  void SetDdeServer(win32::DdeServer* server) { runtime_.SetDdeServer(server); }
  void SetDialogs(ComSettingsDialog* com, AboutBox* about) {
    comDialog_ = com;
    aboutBox_ = about;
  }

  HWND Handle() const { return hwnd_; }
  void SetPanelText(int panel, const std::wstring& text);
  std::wstring PanelText(int panel) const;

  // Menu commands.
  void X1Click();
  void O2Click();
  void O3Click();
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
  // The topic, its items, the port and the worker; it goes before the
  // registry accessor it uses.
  GatewayRuntime runtime_;

  HINSTANCE instance_ = nullptr;
  HWND hwnd_ = nullptr;
  HWND statusBar_ = nullptr;
  HWND button1_ = nullptr;
  HWND button2_ = nullptr;
  HWND edit1_ = nullptr;
  win32::GdiObject font_;
  ComSettingsDialog* comDialog_ = nullptr;
  AboutBox* aboutBox_ = nullptr;
  // Made when first asked for.
  std::unique_ptr<AdvancedSettingsDialog> advancedDialog_;

  std::optional<std::string> startupError_;
  bool startMinimized_ = false;
  bool asking_ = false;
  bool closing_ = false;
  bool finished_ = false;
};

}  // namespace varnix
