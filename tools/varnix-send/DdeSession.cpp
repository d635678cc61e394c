#include "DdeSession.h"

#include <utility>

namespace varnix_send {

namespace {

// DDEML calls back with the instance id only, so the one instance of the
// program and what its callback collected live here.
DWORD g_inst = 0;
std::vector<Advised> g_advised;

// How long a transaction's leftovers are given to arrive (see Transact).
constexpr DWORD kSettleMs = 20;

std::wstring HszText(HSZ hsz) {
  wchar_t buf[256];
  const DWORD n = DdeQueryStringW(g_inst, hsz, buf, 256, CP_WINUNICODE);
  return std::wstring(buf, n < 256 ? n : 255);
}

HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV conv, HSZ, HSZ item, HDDEDATA data, ULONG_PTR,
                           ULONG_PTR) {
  if (type != XTYP_ADVDATA) return nullptr;
  Advised a{conv, HszText(item), {}};
  if (data) {
    const DWORD n = DdeGetData(data, nullptr, 0, 0);
    a.data.resize(n);
    if (n) DdeGetData(data, reinterpret_cast<LPBYTE>(a.data.data()), n, 0);
  }
  g_advised.push_back(std::move(a));
  return reinterpret_cast<HDDEDATA>(DDE_FACK);
}

class Hsz {
 public:
  explicit Hsz(const wchar_t* s) : h_(s ? DdeCreateStringHandleW(g_inst, s, CP_WINUNICODE) : nullptr) {}
  ~Hsz() {
    if (h_) DdeFreeStringHandle(g_inst, h_);
  }
  Hsz(const Hsz&) = delete;
  Hsz& operator=(const Hsz&) = delete;
  HSZ get() const { return h_; }

 private:
  HSZ h_;
};

}  // namespace

DdeSession::~DdeSession() {
  for (const Link& l : links_) {
    Hsz item(l.item.c_str());
    DdeClientTransaction(nullptr, 0, l.conv, item.get(), CF_TEXT, XTYP_ADVSTOP, 5000, nullptr);
  }
  for (HCONV c : convs_) DdeDisconnect(c);
  if (g_inst) DdeUninitialize(g_inst);
  g_inst = 0;
}

UINT DdeSession::Start() {
  const UINT rc = DdeInitializeW(&g_inst, Callback, APPCMD_CLIENTONLY, 0);
  if (rc != DMLERR_NO_ERROR) g_inst = 0;
  return rc;
}

UINT DdeSession::LastError() const { return g_inst ? DdeGetLastError(g_inst) : 0; }

HCONV DdeSession::Connect(const std::wstring& service, const std::wstring& topic) {
  HCONV conv;
  {
    Hsz s(service.c_str()), t(topic.c_str());
    conv = DdeConnect(g_inst, s.get(), t.get(), nullptr);
  }
  if (conv) {
    convs_.push_back(conv);
    Pump(kSettleMs, false);
  }
  return conv;
}

// Wine's DDEML ends a synchronous transaction at the first DDE message that
// reaches the conversation's window, whatever it is: advise data of the
// same conversation is taken for the answer, and a stray positive
// acknowledgement (Wine's server sends one after a request's data) for the
// answer of the next transaction. So advise links live on a conversation of
// their own, and every transaction is followed by a short pump that lets
// its leftovers arrive before the next begins. A refused poke can still
// return non-NULL there: the DDE_FACK bit of the result decides.
HDDEDATA DdeSession::Transact(const void* data, DWORD size, HCONV conv, const wchar_t* item,
                              UINT format, UINT type, DWORD timeoutMs, DWORD* result) {
  Hsz hsz(item);
  DWORD flags = 0;
  HDDEDATA r = DdeClientTransaction(static_cast<LPBYTE>(const_cast<void*>(data)), size, conv,
                                    hsz.get(), format, type, timeoutMs, &flags);
  Pump(kSettleMs, false);
  if (result) *result = flags;
  return r;
}

bool DdeSession::Request(HCONV conv, const wchar_t* item, std::string* data, DWORD timeoutMs) {
  HDDEDATA r = Transact(nullptr, 0, conv, item, CF_TEXT, XTYP_REQUEST, timeoutMs, nullptr);
  if (!r) return false;
  const DWORD n = DdeGetData(r, nullptr, 0, 0);
  data->assign(n, '\0');
  if (n) DdeGetData(r, reinterpret_cast<LPBYTE>(data->data()), n, 0);
  DdeFreeDataHandle(r);
  return true;
}

bool DdeSession::Poke(HCONV conv, const wchar_t* item, std::string text, DWORD timeoutMs) {
  text.push_back('\0');
  DWORD result = 0;
  HDDEDATA r = Transact(text.data(), static_cast<DWORD>(text.size()), conv, item, CF_TEXT,
                        XTYP_POKE, timeoutMs, &result);
  return r && (result & DDE_FACK);
}

bool DdeSession::Execute(HCONV conv, const std::wstring& command, DWORD timeoutMs) {
  DWORD result = 0;
  const DWORD size = static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t));
  HDDEDATA r = Transact(command.c_str(), size, conv, nullptr, CF_UNICODETEXT, XTYP_EXECUTE,
                        timeoutMs, &result);
  return r && (result & DDE_FACK);
}

bool DdeSession::Advise(HCONV conv, const wchar_t* item, DWORD timeoutMs) {
  if (!Transact(nullptr, 0, conv, item, CF_TEXT, XTYP_ADVSTART, timeoutMs, nullptr)) return false;
  links_.push_back({conv, item});
  return true;
}

void DdeSession::Pump(DWORD ms, bool stopOnData) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (stopOnData && !g_advised.empty()) return;
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

std::vector<Advised> DdeSession::TakeAdvised() { return std::exchange(g_advised, {}); }

}  // namespace varnix_send
