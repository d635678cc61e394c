// The baseline of the DDE benchmarks: the least a DDEML server can do. It
// registers the service "VarnixAck", accepts the topic "SMS0" and
// acknowledges every CF_TEXT poke without looking at it. To tell the
// platform's share of the advise path from the gateway's, a poke into
// "Send" also publishes "0" to the advise links on "Status", as the gateway
// does after each message. Everything else is refused. It has one hidden
// window, "VarnixAckWnd": WM_CLOSE to it ends the program the plain way,
// the baseline of the close benchmark.
#include <windows.h>
#include <ddeml.h>

namespace {

DWORD g_inst = 0;
HSZ g_topic = nullptr;
HSZ g_send = nullptr;
HSZ g_status = nullptr;

HDDEDATA CALLBACK Callback(UINT type, UINT format, HCONV, HSZ hsz1, HSZ hsz2, HDDEDATA,
                           ULONG_PTR, ULONG_PTR) {
  switch (type) {
    case XTYP_CONNECT:
      return reinterpret_cast<HDDEDATA>(
          static_cast<ULONG_PTR>(DdeCmpStringHandles(hsz1, g_topic) == 0 ? TRUE : FALSE));
    case XTYP_POKE:
      if (format != CF_TEXT) return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
      if (DdeCmpStringHandles(hsz2, g_send) == 0) DdePostAdvise(g_inst, g_topic, g_status);
      return reinterpret_cast<HDDEDATA>(DDE_FACK);
    case XTYP_ADVSTART:
      return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(
          format == CF_TEXT && DdeCmpStringHandles(hsz2, g_status) == 0 ? TRUE : FALSE));
    case XTYP_ADVREQ: {
      static char zero[] = "0\r\n";
      return DdeCreateDataHandle(g_inst, reinterpret_cast<LPBYTE>(zero), sizeof zero, 0, hsz2,
                                 CF_TEXT, 0);
    }
    default:
      return nullptr;
  }
}

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_CLOSE) {
    DestroyWindow(hwnd);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  if (DdeInitializeW(&g_inst, &Callback, APPCLASS_STANDARD, 0) != DMLERR_NO_ERROR) return 1;
  g_topic = DdeCreateStringHandleW(g_inst, L"SMS0", CP_WINUNICODE);
  g_send = DdeCreateStringHandleW(g_inst, L"Send", CP_WINUNICODE);
  g_status = DdeCreateStringHandleW(g_inst, L"Status", CP_WINUNICODE);
  HSZ service = DdeCreateStringHandleW(g_inst, L"VarnixAck", CP_WINUNICODE);
  if (!DdeNameService(g_inst, service, nullptr, DNS_REGISTER)) return 1;
  WNDCLASSW wc{};
  wc.lpfnWndProc = &WndProc;
  wc.hInstance = instance;
  wc.lpszClassName = L"VarnixAckWnd";
  RegisterClassW(&wc);
  CreateWindowW(L"VarnixAckWnd", L"VarnixAck", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                nullptr, instance, nullptr);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DdeNameService(g_inst, service, nullptr, DNS_UNREGISTER);
  DdeUninitialize(g_inst);
  return 0;
}
