// The two places where Windows calls the program back, under Wine: an error
// thrown by a form's handler is shown in the error box and ends only that
// handler; an error thrown while a DDE transaction is served refuses that
// transaction and the service goes on. Needs a display (Xvfb).
#include <windows.h>
#include <ddeml.h>

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dde/DdeModel.h"
#include "app/FormHelpers.h"
#include "settings/PortSettings.h"
#include "win32/DdeServer.h"
#include "win32/WinText.h"

namespace varnix {
namespace {

constexpr DWORD kBoundMs = 10000;

std::wstring ClassOf(HWND hwnd) {
  wchar_t buf[64] = {};
  GetClassNameW(hwnd, buf, 64);
  return buf;
}

std::wstring TextOf(HWND hwnd) {
  wchar_t buf[512] = {};
  GetWindowTextW(hwnd, buf, 512);
  return buf;
}

// What a message box of this process showed, found and answered with OK
// from another thread.
struct SeenBox {
  bool seen = false;
  std::wstring title;
  std::wstring text;
  HWND owner = nullptr;
};

struct OwnBoxSearch {
  DWORD pid;
  HWND found;
};

// Window enumeration and DDEML callbacks are __stdcall on x86: a lambda does
// not convert to them there.
BOOL CALLBACK FindOwnBoxStep(HWND h, LPARAM p) {
  auto* c = reinterpret_cast<OwnBoxSearch*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == c->pid && IsWindowVisible(h) && ClassOf(h) == L"#32770") {
    c->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND FindOwnBox() {
  OwnBoxSearch ctx{GetCurrentProcessId(), nullptr};
  EnumWindows(&FindOwnBoxStep, reinterpret_cast<LPARAM>(&ctx));
  return ctx.found;
}

void AnswerBox(SeenBox& out) {
  const ULONGLONG end = GetTickCount64() + kBoundMs;
  HWND box = nullptr;
  while (!(box = FindOwnBox()) && GetTickCount64() < end) Sleep(20);
  if (!box) return;
  out.seen = true;
  out.title = TextOf(box);
  out.owner = GetWindow(box, GW_OWNER);
  for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    if (_wcsicmp(ClassOf(c).c_str(), L"Static") == 0) {
      const std::wstring t = TextOf(c);
      if (t.size() > out.text.size()) out.text = t;
    }
  }
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
  while (IsWindow(box) && GetTickCount64() < end) Sleep(20);
}

constexpr UINT kThrowRegistry = WM_APP + 1;
constexpr UINT kThrowUser = WM_APP + 2;
constexpr UINT kThrowBadAlloc = WM_APP + 3;
constexpr UINT kThrowInt = WM_APP + 4;
constexpr UINT kAnswer = WM_APP + 5;

class ThrowingForm {
 public:
  HWND Handle() const { return hwnd_; }
  LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case kThrowRegistry:
        throw RegistryError(FailedToSetData("Port"));
      case kThrowUser:
        throw UserError("'\xE4\xB8\x80\xE4\xBA\x8C' is not a valid integer value");
      case kThrowBadAlloc:
        throw std::bad_alloc();
      case kThrowInt:
        throw 7;
      case kAnswer:
        ++answered_;
        return 42;
      default:
        return DefWindowProcW(hwnd_, msg, wParam, lParam);
    }
  }
  HWND hwnd_ = nullptr;
  int answered_ = 0;
};

TEST(FormWindowProcedure, AnErrorOfAHandlerIsShownInTheErrorBoxAndTheWindowGoesOn) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  ASSERT_TRUE(RegisterFormClass<ThrowingForm>(instance, L"ThrowingForm"));
  ThrowingForm form;
  form.hwnd_ = CreateWindowExW(0, L"ThrowingForm", L"form", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                               nullptr, nullptr, instance, &form);
  ASSERT_NE(form.hwnd_, nullptr);
  EXPECT_EQ(ApplicationTitle(), L"varnix_win32_tests");

  const struct {
    UINT msg;
    std::wstring text;
  } cases[] = {
      {kThrowRegistry, L"Failed to set data for 'Port'"},
      {kThrowUser, L"'\u4E00\u4E8C' is not a valid integer value"},
      {kThrowBadAlloc, L"std::bad_alloc"},
      {kThrowInt, L"Unknown error"},
  };
  for (const auto& c : cases) {
    SeenBox box;
    std::thread answer([&box] { AnswerBox(box); });
    const LRESULT result = SendMessageW(form.hwnd_, c.msg, 0, 0);
    answer.join();
    EXPECT_EQ(result, 0) << c.msg;
    ASSERT_TRUE(box.seen) << c.msg;
    EXPECT_EQ(box.title, ApplicationTitle()) << c.msg;
    EXPECT_EQ(box.text, c.text) << c.msg;
    EXPECT_EQ(box.owner, form.hwnd_) << c.msg;
    // Only the handler ended: the next message is served as usual.
    EXPECT_EQ(SendMessageW(form.hwnd_, kAnswer, 0, 0), 42) << c.msg;
  }
  EXPECT_EQ(form.answered_, 4);

  // Released, the window no longer reaches the object.
  HWND hwnd = form.hwnd_;
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  EXPECT_EQ(SendMessageW(hwnd, kAnswer, 0, 0), 0);
  EXPECT_EQ(form.answered_, 4);
  ReleaseFormWindow(form.hwnd_);
  EXPECT_EQ(form.hwnd_, nullptr);
  EXPECT_FALSE(IsWindow(hwnd));
}

// A DDEML client on its own thread: pokes and requests, each outcome kept.
struct ClientOutcome {
  bool connected = false;
  std::vector<bool> pokesAcked;
  std::vector<std::string> requested;
};

void Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    const ULONGLONG now = GetTickCount64();
    if (now >= end) return;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

HDDEDATA CALLBACK IgnoreClientCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR,
                                       ULONG_PTR) {
  return nullptr;
}

void RunClient(const std::wstring& service, ClientOutcome& out) {
  DWORD inst = 0;
  if (DdeInitializeW(&inst, &IgnoreClientCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) {
    return;
  }
  auto hsz = [&](const wchar_t* s) { return DdeCreateStringHandleW(inst, s, CP_WINUNICODE); };
  HSZ svc = hsz(service.c_str()), topic = hsz(L"SMS0"), num = hsz(L"Num"), sms = hsz(L"SMS");
  HCONV conv = DdeConnect(inst, svc, topic, nullptr);
  out.connected = conv != nullptr;
  if (conv) {
    Pump(15);
    for (auto [item, text] : {std::pair{num, "abc"}, std::pair{sms, "def"}}) {
      std::string bytes = text;
      bytes.push_back('\0');
      DWORD result = 0;
      HDDEDATA r = DdeClientTransaction(reinterpret_cast<LPBYTE>(bytes.data()),
                                        static_cast<DWORD>(bytes.size()), conv, item, CF_TEXT,
                                        XTYP_POKE, 2000, &result);
      // Under Wine a refused poke can return non-NULL: the DDE_FACK bit says.
      out.pokesAcked.push_back(r && (result & DDE_FACK));
      Pump(15);
    }
    for (HSZ item : {num, sms}) {
      HDDEDATA data = DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_REQUEST, 2000,
                                           nullptr);
      std::string bytes;
      if (data) {
        bytes.resize(DdeGetData(data, nullptr, 0, 0));
        DdeGetData(data, reinterpret_cast<LPBYTE>(bytes.data()), static_cast<DWORD>(bytes.size()),
                   0);
        DdeFreeDataHandle(data);
      }
      out.requested.push_back(bytes);
      Pump(15);
    }
    DdeDisconnect(conv);
  }
  for (HSZ h : {svc, topic, num, sms}) DdeFreeStringHandle(inst, h);
  DdeUninitialize(inst);
}

TEST(DdeCallback, AnErrorWhileServingAPokeRefusesThatPokeAndTheServiceGoesOn) {
  const std::wstring service = L"VarnixBoundaryTest";
  win32::DdeServer server(service);
  TDdeServerConv conv("SMS0");
  TDdeServerItem num, sms;
  num.Name = "Num";
  sms.Name = "SMS";
  int thrown = 0;
  num.OnPokeData = [&thrown](TDdeServerItem&) {
    ++thrown;
    throw std::runtime_error("refused");
  };
  num.SetServerConv(&conv);
  sms.SetServerConv(&conv);
  server.SetConversation(&conv);

  ClientOutcome out;
  std::atomic<bool> done{false};
  std::thread client([&] {
    RunClient(service, out);
    done = true;
  });
  // The server is served from this thread's message loop.
  const ULONGLONG end = GetTickCount64() + 4 * kBoundMs;
  while (!done && GetTickCount64() < end) Pump(10);
  client.join();

  ASSERT_TRUE(out.connected);
  EXPECT_EQ(thrown, 1);
  EXPECT_EQ(out.pokesAcked, (std::vector<bool>{false, true}));
  // The poke was stored before its handler threw; both items are served.
  EXPECT_EQ(out.requested, (std::vector<std::string>{std::string("abc\r\n\0", 6),
                                                     std::string("def\r\n\0", 6)}));
  server.SetConversation(nullptr);
}

// The conversion module's traps, on the code pages the program meets.
TEST(WinText, EmptyTextEmbeddedNulsAndInvalidInput) {
  EXPECT_EQ(win32::Utf8ToWide(""), L"");
  EXPECT_EQ(win32::WideToUtf8(L""), "");
  EXPECT_EQ(win32::Utf8ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
  EXPECT_EQ(win32::WideToUtf8(std::wstring(L"\u4F60\0", 2)), std::string("\xE4\xBD\xA0\0", 4));
  // A cut sequence becomes U+FFFD, not an error and not an empty result.
  EXPECT_EQ(win32::Utf8ToWide("x\xE4\xBD"), L"x\uFFFD");
  EXPECT_EQ(win32::ToWide(936, "\xC4\xE3\xBA\xC3"), L"\u4F60\u597D");
  EXPECT_EQ(win32::FromWide(936, L"\u4F60\u597D"), "\xC4\xE3\xBA\xC3");
  EXPECT_EQ(win32::FromWide(1252, std::wstring(L"\u00E9\0z", 3)), std::string("\xE9\0z", 3));
  // What the code page cannot hold becomes its default character.
  EXPECT_EQ(win32::FromWide(1252, L"\u4F60"), "?");
}

}  // namespace
}  // namespace varnix
