#include "DdeSession.h"

#include <utility>

namespace varnix_send {

namespace {

// DDEML's callback gets no pointer of ours, so what it collects, and which
// session's link each conversation holds, live here.
struct LinkOf {
  HCONV conv;
  std::wstring item;
};
std::vector<LinkOf> g_links;
std::vector<Advised> g_advised;

// How long a transaction's leftovers are given to arrive (see Transact).
constexpr DWORD kSettleMs = 20;

HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV conv, HSZ, HSZ, HDDEDATA data, ULONG_PTR,
                           ULONG_PTR) {
  if (type != XTYP_ADVDATA) return nullptr;
  Advised a{conv, {}, {}};
  for (const LinkOf& l : g_links)
    if (l.conv == conv) a.item = l.item;
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
  Hsz(DWORD inst, const wchar_t* s)
      : inst_(inst), h_(s ? DdeCreateStringHandleW(inst, s, CP_WINUNICODE) : nullptr) {}
  ~Hsz() {
    if (h_) DdeFreeStringHandle(inst_, h_);
  }
  Hsz(const Hsz&) = delete;
  Hsz& operator=(const Hsz&) = delete;
  HSZ get() const { return h_; }

 private:
  DWORD inst_;
  HSZ h_;
};

}  // namespace

DdeSession::~DdeSession() {
  if (conv_ && !link_.empty()) {
    Hsz item(inst_, link_.c_str());
    DdeClientTransaction(nullptr, 0, conv_, item.get(), CF_TEXT, XTYP_ADVSTOP, 5000, nullptr);
  }
  if (conv_) DdeDisconnect(conv_);
  if (inst_) DdeUninitialize(inst_);
}

UINT DdeSession::Open(const std::wstring& service, const std::wstring& topic, bool unicode) {
  const UINT rc = unicode ? DdeInitializeW(&inst_, Callback, APPCMD_CLIENTONLY, 0)
                          : DdeInitializeA(&inst_, Callback, APPCMD_CLIENTONLY, 0);
  if (rc != DMLERR_NO_ERROR) {
    inst_ = 0;
    return rc;
  }
  {
    Hsz s(inst_, service.c_str()), t(inst_, topic.c_str());
    conv_ = DdeConnect(inst_, s.get(), t.get(), nullptr);
  }
  if (!conv_) return DdeGetLastError(inst_);
  Pump(kSettleMs, false);
  return DMLERR_NO_ERROR;
}

UINT DdeSession::LastError() const { return inst_ ? DdeGetLastError(inst_) : 0; }

// Every transaction is followed by a short pump that lets its leftovers
// arrive before the next begins: after a request's data Wine's server sends
// a positive acknowledgement as well, which would otherwise be taken for
// the answer of the next transaction. A refused poke can still return
// non-NULL there: the DDE_FACK bit of the result decides.
HDDEDATA DdeSession::Transact(const void* data, DWORD size, const wchar_t* item, UINT format,
                              UINT type, DWORD timeoutMs, DWORD* result) {
  Hsz hsz(inst_, item);
  DWORD flags = 0;
  HDDEDATA r = DdeClientTransaction(static_cast<LPBYTE>(const_cast<void*>(data)), size, conv_,
                                    hsz.get(), format, type, timeoutMs, &flags);
  Pump(kSettleMs, false);
  if (result) *result = flags;
  return r;
}

bool DdeSession::Request(const wchar_t* item, std::string* data, DWORD timeoutMs) {
  HDDEDATA r = Transact(nullptr, 0, item, CF_TEXT, XTYP_REQUEST, timeoutMs, nullptr);
  if (!r) return false;
  const DWORD n = DdeGetData(r, nullptr, 0, 0);
  data->assign(n, '\0');
  if (n) DdeGetData(r, reinterpret_cast<LPBYTE>(data->data()), n, 0);
  DdeFreeDataHandle(r);
  return true;
}

bool DdeSession::Poke(const wchar_t* item, std::string text, DWORD timeoutMs) {
  text.push_back('\0');
  DWORD result = 0;
  HDDEDATA r = Transact(text.data(), static_cast<DWORD>(text.size()), item, CF_TEXT, XTYP_POKE,
                        timeoutMs, &result);
  return r && (result & DDE_FACK);
}

bool DdeSession::Execute(const std::wstring& command, DWORD timeoutMs) {
  DWORD result = 0;
  const DWORD size = static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t));
  HDDEDATA r =
      Transact(command.c_str(), size, nullptr, CF_UNICODETEXT, XTYP_EXECUTE, timeoutMs, &result);
  return r && (result & DDE_FACK);
}

bool DdeSession::ExecuteAnsi(std::string command, DWORD timeoutMs) {
  command.push_back('\0');
  DWORD result = 0;
  HDDEDATA r = Transact(command.data(), static_cast<DWORD>(command.size()), nullptr, CF_TEXT,
                        XTYP_EXECUTE, timeoutMs, &result);
  return r && (result & DDE_FACK);
}

bool DdeSession::Advise(const wchar_t* item, DWORD timeoutMs) {
  g_links.push_back({conv_, item});
  if (!Transact(nullptr, 0, item, CF_TEXT, XTYP_ADVSTART, timeoutMs, nullptr)) return false;
  link_ = item;
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
