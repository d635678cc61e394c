// The program entry: the DDE service, then the three windows, then the
// message loop until the main window has closed.
#include <windows.h>
#include <commctrl.h>

#include <memory>
#include <vector>

#include "win32/DdeServer.h"
#include "uAbout/win32/frmAbout.h"
#include "uCom/win32/frmCom.h"
#include "uMain/GatewayState.h"
#include "uMain/win32/FormHelpers.h"
#include "uMain/win32/frmMain.h"
#include "uMeter/PortSettings.h"

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
    TfrmMain frmMain(state, settings);
    frmMain.SetDdeServer(dde.get());
    if (!frmMain.Create(instance)) return 0;
    TfrmCom frmCom(settings, frmMain.Registry());
    frmCom.Create(instance);
    TfrmAbout frmAbout;
    frmAbout.Create(instance);
    frmMain.SetDialogs(&frmCom, &frmAbout);
    // A client may also connect to the caption of any of the windows.
    dde->SetCaptionMatcher(win32::MatchCaptionsOf([&] {
      return std::vector<HWND>{frmMain.Handle(), frmCom.Handle(), frmAbout.Handle()};
    }));
    frmMain.Show();

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
