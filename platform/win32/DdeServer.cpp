#include "win32/DdeServer.h"

#include <commctrl.h>
#include <dde.h>

#include <iterator>
#include <tuple>
#include <utility>

#include "win32/DdeFormats.h"
#include "win32/WinText.h"

namespace varnix::win32 {
namespace {

DdeServer* g_server = nullptr;

bool RunningOnWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

ClientKey KeyOf(HCONV conv) { return reinterpret_cast<ClientKey>(conv); }

bool SameTextInUserLocale(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                          b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

}  // namespace

DdeInitError::DdeInitError(unsigned code) : std::runtime_error(DdeInitErrorText(code)) {}

StringHandle::StringHandle(DWORD instance, const std::wstring& text)
    : instance_(instance), hsz_(::DdeCreateStringHandleW(instance, text.c_str(), CP_WINUNICODE)) {}

StringHandle::StringHandle(StringHandle&& o) noexcept
    : instance_(o.instance_), hsz_(std::exchange(o.hsz_, nullptr)) {}

StringHandle& StringHandle::operator=(StringHandle&& o) noexcept {
  if (this != &o) {
    reset();
    instance_ = o.instance_;
    hsz_ = std::exchange(o.hsz_, nullptr);
  }
  return *this;
}

void StringHandle::reset() {
  if (hsz_) ::DdeFreeStringHandle(instance_, std::exchange(hsz_, nullptr));
}

DdeServer::DdeServer(const std::wstring& service)
    : serviceName_(service), onWine_(RunningOnWine()) {
  // APPCLASS_STANDARD and no filter flags: every transaction type reaches
  // the callback, which refuses what it does not serve.
  const UINT rc = ::DdeInitializeW(&instance_, &DdeServer::Callback, APPCLASS_STANDARD, 0);
  if (rc != DMLERR_NO_ERROR) {
    instance_ = 0;
    throw DdeInitError(rc);
  }
  g_server = this;
  service_ = StringHandle(instance_, serviceName_);
  if (!service_.get() || !::DdeNameService(instance_, service_.get(), nullptr, DNS_REGISTER)) {
    const UINT code = ::DdeGetLastError(instance_);
    service_.reset();
    g_server = nullptr;
    ::DdeUninitialize(instance_);
    instance_ = 0;
    throw DdeInitError(code);
  }
  registered_ = true;
}

DdeServer::~DdeServer() {
  if (conv_ && conv_->Sink() == this) conv_->SetAdviseSink(nullptr);
  for (const auto& [conv, hwnd] : conversationWindows_)
    ::RemoveWindowSubclass(hwnd, &DdeServer::ConversationWindowProc, 0);
  conversationWindows_.clear();
  // End the open conversations, withdraw the name, then shut DDEML down
  // (which ends whatever conversation is still open).
  const auto open = std::exchange(conversations_, {});
  links_.clear();
  for (const auto& [conv, served] : open) ::DdeDisconnect(conv);
  if (registered_) ::DdeNameService(instance_, service_.get(), nullptr, DNS_UNREGISTER);
  itemHandles_.clear();
  topic_.reset();
  service_.reset();
  ::DdeUninitialize(instance_);
  g_server = nullptr;
}

void DdeServer::SetConversation(TDdeServerConv* conv) {
  if (conv_ && conv_->Sink() == this) conv_->SetAdviseSink(nullptr);
  conv_ = conv;
  topic_.reset();
  if (conv_) {
    conv_->SetAdviseSink(this);
    conv_->Narrow = &NarrowToAnsi;
    conv_->Widen = &WidenFromAnsi;
    topic_ = StringHandle(instance_, Utf8ToWide(conv_->Name()));
  }
}

HSZ DdeServer::ItemHandle(const std::string& name) {
  auto it = itemHandles_.find(name);
  if (it == itemHandles_.end()) {
    it = itemHandles_.emplace(name, StringHandle(instance_, AnsiToWide(name))).first;
  }
  return it->second.get();
}

void DdeServer::ItemChanged(const TDdeServerItem& item) {
  if (!instance_ || !topic_.get() || item.Name.empty()) return;
  const HSZ hsz = ItemHandle(item.Name);
  if (onWine_) {
    // Wine's DdePostAdvise takes one reference on the item name's atom for
    // all the WM_DDE_DATA it posts, while every client releases one: with
    // two or more links the atom dies and later updates get lost. Give it
    // the references it is short of.
    std::size_t links = 0;
    for (const auto& link : links_) links += std::get<1>(link) == item.Name ? 1 : 0;
    const std::wstring name = AnsiToWide(item.Name);
    for (std::size_t i = 1; i < links; ++i) ::GlobalAddAtomW(name.c_str());
  }
  // DDEML answers through XTYP_ADVREQ, once per link. No link, nothing sent.
  ::DdePostAdvise(instance_, topic_.get(), hsz);
}

std::wstring DdeServer::QueryW(HSZ hsz) const {
  if (!hsz) return {};
  const DWORD n = ::DdeQueryStringW(instance_, hsz, nullptr, 0, CP_WINUNICODE);
  std::wstring s(n + 1, L'\0');
  ::DdeQueryStringW(instance_, hsz, s.data(), n + 1, CP_WINUNICODE);
  s.resize(n);
  return s;
}

std::string DdeServer::QueryAnsi(HSZ hsz) const {
  if (!hsz) return {};
  const DWORD n = ::DdeQueryStringA(instance_, hsz, nullptr, 0, CP_WINANSI);
  std::string s(n + 1, '\0');
  ::DdeQueryStringA(instance_, hsz, s.data(), n + 1, CP_WINANSI);
  s.resize(n);
  return s;
}

bool DdeServer::Accepts(HSZ topic, HSZ service) const {
  if (!topic) return false;
  const std::wstring topicText = QueryW(topic);
  ConnectRequest request;
  request.serviceGiven = service != nullptr;
  // String handles compare as the platform compares them (case-insensitive).
  request.serviceMatches = service && ::DdeCmpStringHandles(service, service_.get()) == 0;
  const std::string topicUtf8 = WideToUtf8(topicText);
  request.topic = topicUtf8;
  return AcceptsConnect(request, conv_ ? std::string_view(conv_->Name()) : std::string_view(),
                        [&](std::string_view) {
                          return !topicText.empty() && captions_ && captions_(topicText);
                        });
}

bool DdeServer::IsServedTopic(HCONV conv, HSZ topic) const {
  if (!conv_) return false;
  const auto it = conversations_.find(conv);
  if (it != conversations_.end()) return it->second;
  return SameTopicName(WideToUtf8(QueryW(topic)), conv_->Name());
}

TDdeServerItem* DdeServer::FindItem(HCONV conv, HSZ topic, HSZ item) const {
  // A conversation opened on a window caption has no items; neither has the
  // topic before the items exist. Unnamed items are never reachable.
  if (!item || !IsServedTopic(conv, topic)) return nullptr;
  const std::string name = QueryAnsi(item);
  if (name.empty()) return nullptr;
  return conv_->FindItem(name);
}

// Wine's DDEML hands a Unicode server the command of an execute converted
// as if it were ANSI text whenever it holds a character above U+00FF: a
// UTF-16 "[Send(" arrives as "[" and the rest is gone. The client's own
// block is still intact when the conversation's window receives
// WM_DDE_EXECUTE, and DDEML calls back with XTYP_EXECUTE from inside that
// message, so the window is subclassed and the block copied on the way.
// Windows converts correctly; the block as written is right there too.
void DdeServer::WatchExecutes(HCONV conv) {
  CONVINFO info{};
  info.cb = sizeof info;
  if (!::DdeQueryConvInfo(conv, static_cast<DWORD>(QID_SYNC), &info) || !info.hwnd) return;
  if (::SetWindowSubclass(info.hwnd, &DdeServer::ConversationWindowProc, 0,
                          reinterpret_cast<DWORD_PTR>(this)))
    conversationWindows_[conv] = info.hwnd;
}

LRESULT CALLBACK DdeServer::ConversationWindowProc(HWND hwnd, UINT msg, WPARAM wParam,
                                                   LPARAM lParam, UINT_PTR, DWORD_PTR server) {
  auto* self = reinterpret_cast<DdeServer*>(server);
  if (msg == WM_DDE_EXECUTE && self) {
    // For WM_DDE_EXECUTE lParam is the command block itself, not packed.
    const HGLOBAL block = reinterpret_cast<HGLOBAL>(lParam);
    std::string copy;
    try {
      if (const void* bytes = block ? ::GlobalLock(block) : nullptr) {
        copy.assign(static_cast<const char*>(bytes), ::GlobalSize(block));
        ::GlobalUnlock(block);
      }
      self->executeBlocks_[hwnd] = std::move(copy);
    } catch (...) {
      // Without the copy the callback takes what DDEML hands it.
    }
    const LRESULT r = ::DefSubclassProc(hwnd, msg, wParam, lParam);
    self->executeBlocks_.erase(hwnd);
    return r;
  }
  if (msg == WM_NCDESTROY && self) {
    ::RemoveWindowSubclass(hwnd, &DdeServer::ConversationWindowProc, 0);
    for (auto it = self->conversationWindows_.begin(); it != self->conversationWindows_.end();)
      it = it->second == hwnd ? self->conversationWindows_.erase(it) : std::next(it);
    self->executeBlocks_.erase(hwnd);
  }
  return ::DefSubclassProc(hwnd, msg, wParam, lParam);
}

// The boundary to DDEML, which is C: no exception may leave here. A
// transaction's handler may throw what the standard library throws (no
// memory for a copy of a huge poke) and whatever an item's OnPokeData
// throws. The transaction is then answered as refused, which is 0 for every
// type: FALSE for XTYP_CONNECT and XTYP_ADVSTART, no data for XTYP_REQUEST,
// XTYP_ADVREQ and XTYP_WILDCONNECT, DDE_FNOTPROCESSED for XTYP_POKE and
// XTYP_EXECUTE; the results of the others are not looked at. The client
// reports the refusal; the program shows no box for it, since a box here
// would hold every client's transactions until someone answers it.
HDDEDATA CALLBACK DdeServer::Callback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2,
                                      HDDEDATA data, ULONG_PTR, ULONG_PTR) {
  static_assert(DDE_FNOTPROCESSED == 0);
  if (!g_server) return nullptr;
  try {
    return g_server->Dispatch(type, format, conv, hsz1, hsz2, data);
  } catch (...) {
    return nullptr;
  }
}

HDDEDATA DdeServer::Dispatch(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2,
                             HDDEDATA data) {
  switch (type) {
    case XTYP_CONNECT:  // hsz1 topic, hsz2 service
      return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(Accepts(hsz1, hsz2) ? TRUE : FALSE));

    case XTYP_WILDCONNECT: {
      if (!hsz1 || !Accepts(hsz1, hsz2)) return nullptr;
      HSZPAIR pairs[2] = {{service_.get(), hsz1}, {nullptr, nullptr}};
      return ::DdeCreateDataHandle(instance_, reinterpret_cast<LPBYTE>(pairs), sizeof pairs, 0,
                                   nullptr, 0, 0);
    }

    case XTYP_CONNECT_CONFIRM: {
      const bool served = conv_ && SameTopicName(WideToUtf8(QueryW(hsz1)), conv_->Name());
      conversations_[conv] = served;
      if (served) {
        WatchExecutes(conv);
        // String handles are global atoms, which ignore case and keep the
        // spelling of whoever created them first: a client's "send" reads
        // back as "Send" while our handle lives. Holding every item name
        // from the first conversation on makes that the same for all.
        for (const TDdeServerItem* item : conv_->Items()) {
          if (!item->Name.empty()) ItemHandle(item->Name);
        }
      }
      return nullptr;
    }

    case XTYP_DISCONNECT:
      if (conv_) conv_->ClientGone(KeyOf(conv));
      conversations_.erase(conv);
      if (const auto w = conversationWindows_.find(conv); w != conversationWindows_.end()) {
        ::RemoveWindowSubclass(w->second, &DdeServer::ConversationWindowProc, 0);
        executeBlocks_.erase(w->second);
        conversationWindows_.erase(w);
      }
      for (auto it = links_.begin(); it != links_.end();) {
        it = std::get<0>(*it) == conv ? links_.erase(it) : std::next(it);
      }
      return nullptr;

    case XTYP_REQUEST:
    case XTYP_ADVREQ: {
      TDdeServerItem* item = FindItem(conv, hsz1, hsz2);
      if (!item || !Serves(*item, format)) return nullptr;
      const std::string served = ServedIn(*item, format, KeyOf(conv));
      return ::DdeCreateDataHandle(instance_,
                                   reinterpret_cast<LPBYTE>(const_cast<char*>(served.data())),
                                   static_cast<DWORD>(served.size()), 0, hsz2, format, 0);
    }

    case XTYP_POKE: {
      if (format != CF_TEXT) return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
      TDdeServerItem* item = FindItem(conv, hsz1, hsz2);
      if (!item || item->ReadOnly || !data) return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
      DWORD size = 0;
      const LPBYTE bytes = ::DdeAccessData(data, &size);
      if (!bytes) return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
      // Copy out before anything else: storing notifies advise links, and
      // DDEML re-enters this callback for each of them.
      std::string copy(reinterpret_cast<const char*>(bytes), size);
      ::DdeUnaccessData(data);
      item->StorePoke(reinterpret_cast<const std::uint8_t*>(copy.data()), copy.size(),
                      KeyOf(conv));
      return reinterpret_cast<HDDEDATA>(DDE_FACK);
    }

    case XTYP_ADVSTART: {
      // DDEML keeps the link itself; nothing is sent until the next change.
      TDdeServerItem* item = FindItem(conv, hsz1, hsz2);
      if (!item || !Serves(*item, format)) return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(FALSE));
      links_.emplace(conv, item->Name, format);
      return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(TRUE));
    }

    case XTYP_ADVSTOP:
      links_.erase({conv, QueryAnsi(hsz2), format});
      return nullptr;

    case XTYP_EXECUTE: {
      if (!IsServedTopic(conv, hsz1) || !data) return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
      DWORD size = 0;
      const LPBYTE bytes = ::DdeAccessData(data, &size);
      if (!bytes) return reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED);
      // Copied out first, as for a poke. The client's own block, when the
      // conversation's window caught it, wins over DDEML's conversion.
      std::string copy(reinterpret_cast<const char*>(bytes), size);
      ::DdeUnaccessData(data);
      if (const auto w = conversationWindows_.find(conv); w != conversationWindows_.end()) {
        if (const auto b = executeBlocks_.find(w->second); b != executeBlocks_.end())
          copy = b->second;
      }
      const bool done = !conv_ || conv_->Execute(reinterpret_cast<const std::uint8_t*>(copy.data()),
                                                 copy.size(), KeyOf(conv));
      return reinterpret_cast<HDDEDATA>(done ? DDE_FACK : DDE_FNOTPROCESSED);
    }

    default:
      return nullptr;
  }
}

std::wstring ServiceNameOfThisProcess() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  return Utf8ToWide(ServiceNameFromPath(WideToUtf8(path)));
}

DdeServer::CaptionMatcher MatchCaptionsOf(std::function<std::vector<HWND>()> windows) {
  return [windows = std::move(windows)](const std::wstring& topic) {
    for (HWND hwnd : windows()) {
      const int n = ::GetWindowTextLengthW(hwnd);
      if (n <= 0) continue;
      std::wstring caption(static_cast<std::size_t>(n) + 1, L'\0');
      caption.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd, caption.data(), n + 1)));
      if (SameTextInUserLocale(caption, topic)) return true;
    }
    return false;
  };
}

}  // namespace varnix::win32
