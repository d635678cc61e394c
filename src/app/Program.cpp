// The program entry: the DDE service, then the three windows, then the
// message loop until the main window has closed.
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <vector>

#include "win32/DdeServer.h"
#include "app/AboutBox.h"
#include "app/ComSettingsDialog.h"
#include "gateway/GatewayState.h"
#include "app/FormHelpers.h"
#include "app/MainWindow.h"
#include "settings/PortSettings.h"

using namespace varnix;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_BAR_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);

  // The process-wide records: the worker and the windows share them until
  // the process ends.
  static GatewayState state;
  static PortSettings settings;
  try {
    // The service is registered before any window exists. Without it no
    // client could ever reach the gateway, so a refusal ends the program
    // before the port is touched.
    std::unique_ptr<win32::DdeServer> dde;
    try {
      dde = std::make_unique<win32::DdeServer>(win32::ServiceNameOfThisProcess());
    } catch (const win32::DdeInitError&) {
      ShowErrorBoxForCurrentException(nullptr);
      return 0;
    }
    MainWindow mainWindow(state, settings);
    mainWindow.SetDdeServer(dde.get());
    if (!mainWindow.Create(instance)) return 0;
    ComSettingsDialog comDialog(settings, mainWindow.Registry());
    comDialog.Create(instance);
    AboutBox aboutBox;
    aboutBox.Create(instance);
    mainWindow.SetDialogs(&comDialog, &aboutBox);
    // A client may also connect to the caption of any of the windows.
    dde->SetCaptionMatcher(win32::MatchCaptionsOf([&] {
      return std::vector<HWND>{mainWindow.Handle(), comDialog.Handle(), aboutBox.Handle()};
    }));
    mainWindow.Show();

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  } catch (...) {
    // What escapes the creation of the windows or the loop itself (the
    // handlers' errors are reported at the window procedure, FormHelpers.h).
    ShowErrorBoxForCurrentException(nullptr);
  }
  return 0;
}
