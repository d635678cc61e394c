// The baseline of the DDE round-trip benchmark: the least a DDEML server can
// do. It registers the service "VarnixAck", accepts the topic "SMS0" and
// acknowledges every CF_TEXT poke without looking at it. Everything else is
// refused. It runs until it is killed.
#include <windows.h>
#include <ddeml.h>

namespace {

DWORD g_inst = 0;
HSZ g_topic = nullptr;

HDDEDATA CALLBACK Callback(UINT type, UINT format, HCONV, HSZ hsz1, HSZ, HDDEDATA, ULONG_PTR,
                           ULONG_PTR) {
  switch (type) {
    case XTYP_CONNECT:
      return reinterpret_cast<HDDEDATA>(
          static_cast<ULONG_PTR>(DdeCmpStringHandles(hsz1, g_topic) == 0 ? TRUE : FALSE));
    case XTYP_POKE:
      return reinterpret_cast<HDDEDATA>(format == CF_TEXT ? DDE_FACK : DDE_FNOTPROCESSED);
    default:
      return nullptr;
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (DdeInitializeW(&g_inst, &Callback, APPCLASS_STANDARD, 0) != DMLERR_NO_ERROR) return 1;
  g_topic = DdeCreateStringHandleW(g_inst, L"SMS0", CP_WINUNICODE);
  HSZ service = DdeCreateStringHandleW(g_inst, L"VarnixAck", CP_WINUNICODE);
  if (!DdeNameService(g_inst, service, nullptr, DNS_REGISTER)) return 1;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DdeUninitialize(g_inst);
  return 0;
}
