#include "app/ComSettingsDialog.h"

#include <string>
#include <type_traits>

#include "win32/WinText.h"

namespace varnix {
namespace {

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
constexpr int kClientWidth = 339;
constexpr int kClientHeight = 254;

// The group boxes are plain siblings of their contents: a BUTTON-class
// parent would swallow the lists' notifications. Positions inside a group
// are therefore offset by the group's origin.
constexpr POINT kGroup2 = {16, 16};
constexpr POINT kGroup1 = {16, 144};

// A drop-down list's window height includes its open list.
constexpr int kDropHeight = 200;

}  // namespace

ComSettingsDialog::ComSettingsDialog(PortSettings& settings, RegistryAccessor& registry)
    : ModalForm(ID_BTNAPPLY, ID_BTNCLOSE), settings_(settings), registry_(registry) {}

bool ComSettingsDialog::Create(HINSTANCE instance) {
  return CreateForm(instance, kComClassName, kComCaption, kStyle, kExStyle,
                    OuterSize(kClientWidth, kClientHeight, kStyle, kExStyle));
}

void ComSettingsDialog::CreateControls() {
  font_ = MakeFont(L"宋体", 12, false, GB2312_CHARSET);
  unitFont_ = MakeFont(L"Arial", 12, true, DEFAULT_CHARSET);

  auto add = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h,
                 int id, HGDIOBJ font) {
    return AddChild(hwnd_, instance_, 0, cls, text, WS_VISIBLE | style, x, y, w, h, id, font);
  };
  auto list = [&](int x, int y, int w, int id, auto&& items) {
    HWND c = add(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, kGroup2.x + x,
                 kGroup2.y + y, w, kDropHeight, id, font_.get());
    for (const auto& item : items) {
      if constexpr (std::is_same_v<std::decay_t<decltype(item)>, const char*>) {
        const std::wstring text = win32::Utf8ToWide(item);
        SendMessageW(c, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
      } else {
        SendMessageW(c, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
      }
    }
    return c;
  };
  HGDIOBJ f = font_.get();

  // Creation order is the tab order.
  add(L"BUTTON", L"确定(&O)", BS_DEFPUSHBUTTON | WS_TABSTOP, 97, 210, 57, 25, ID_BTNAPPLY, f);
  add(L"BUTTON", L"取消(&C)", BS_PUSHBUTTON | WS_TABSTOP, 186, 210, 56, 25, ID_BTNCLOSE, f);

  add(L"BUTTON", L"通信参数", BS_GROUPBOX, kGroup2.x, kGroup2.y, 305, 121, ID_GROUPBOX2, f);
  add(L"STATIC", L"端口", SS_LEFT, kGroup2.x + 24, kGroup2.y + 21, 24, 12, -1, f);
  add(L"STATIC", L"数据位", SS_LEFT, kGroup2.x + 136, kGroup2.y + 21, 36, 12, -1, f);
  add(L"STATIC", L"停止位", SS_LEFT, kGroup2.x + 232, kGroup2.y + 21, 36, 12, -1, f);
  add(L"STATIC", L"奇偶校验", SS_LEFT, kGroup2.x + 24, kGroup2.y + 69, 48, 12, -1, f);
  add(L"STATIC", L"波特率", SS_LEFT, kGroup2.x + 136, kGroup2.y + 69, 36, 12, -1, f);
  HWND port = list(24, 36, 65, ID_CBPORT, kPortItems);
  SetWindowLongPtrW(port, GWL_STYLE, GetWindowLongPtrW(port, GWL_STYLE) | WS_GROUP);
  list(136, 36, 49, ID_CBDATABITS, kDataBitItems);
  list(24, 84, 65, ID_CBPARITY, kParityItems);
  list(136, 84, 65, ID_CBBAUD, kBaudItems);
  list(232, 36, 49, ID_CBSTOPBITS, kStopBitItems);

  add(L"BUTTON", L"超时时间", BS_GROUPBOX | WS_GROUP, kGroup1.x, kGroup1.y, 305, 49, ID_GROUPBOX1,
      f);
  HWND delay = AddChild(hwnd_, instance_, WS_EX_CLIENTEDGE, L"EDIT", L"",
                        WS_VISIBLE | WS_TABSTOP | WS_GROUP | ES_AUTOHSCROLL, kGroup1.x + 109,
                        kGroup1.y + 18, 49, 20, ID_EDDELAY, f);
  SendMessageW(delay, EM_LIMITTEXT, kMaxDelayChars, 0);
  add(L"STATIC", L"(ms)", SS_LEFT, kGroup1.x + 168, kGroup1.y + 21, 26, 15, -1, unitFont_.get());
}

void ComSettingsDialog::Fill(const ComDialogValues& v) {
  SendDlgItemMessageW(hwnd_, ID_CBPORT, CB_SETCURSEL, static_cast<WPARAM>(v.port), 0);
  SendDlgItemMessageW(hwnd_, ID_CBDATABITS, CB_SETCURSEL, static_cast<WPARAM>(v.dataBits), 0);
  SendDlgItemMessageW(hwnd_, ID_CBSTOPBITS, CB_SETCURSEL, static_cast<WPARAM>(v.stopBits), 0);
  SendDlgItemMessageW(hwnd_, ID_CBPARITY, CB_SETCURSEL, static_cast<WPARAM>(v.parity), 0);
  LRESULT baud = CB_ERR;
  if (!v.baudText.empty()) {
    const std::wstring text = win32::Utf8ToWide(v.baudText);
    baud = SendDlgItemMessageW(hwnd_, ID_CBBAUD, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                               reinterpret_cast<LPARAM>(text.c_str()));
  }
  // CB_ERR (-1) as the position clears the selection.
  SendDlgItemMessageW(hwnd_, ID_CBBAUD, CB_SETCURSEL, static_cast<WPARAM>(baud), 0);
  SetDlgItemTextW(hwnd_, ID_EDDELAY, win32::Utf8ToWide(v.delayText).c_str());
}

ComDialogValues ComSettingsDialog::Values() const {
  auto pos = [&](int id) {
    return static_cast<int>(SendDlgItemMessageW(hwnd_, id, CB_GETCURSEL, 0, 0));
  };
  auto text = [&](int id) {
    HWND c = GetDlgItem(hwnd_, id);
    std::wstring w(static_cast<size_t>(GetWindowTextLengthW(c)) + 1, L'\0');
    w.resize(static_cast<size_t>(GetWindowTextW(c, w.data(), static_cast<int>(w.size()))));
    return win32::WideToUtf8(w);
  };
  ComDialogValues v;
  v.port = pos(ID_CBPORT);
  v.dataBits = pos(ID_CBDATABITS);
  v.stopBits = pos(ID_CBSTOPBITS);
  v.parity = pos(ID_CBPARITY);
  // A drop-down list's text is its selected item, or empty.
  v.baudText = text(ID_CBBAUD);
  v.delayText = text(ID_EDDELAY);
  return v;
}

void ComSettingsDialog::ShowModal(HWND owner) { RunModalLoop(owner); }

void ComSettingsDialog::Apply() {
  // The administrator's machine key: shown, never written, not half applied.
  if (registry_.SettingsReadOnly()) throw UserError(kMachineKeyReadOnlyText);
  ApplyOutcome outcome = ComputeComApply(Values(), settings_);
  // Nothing has been stored; the entries stay for the user to correct.
  if (!outcome.ok) throw UserError(outcome.error);
  // The registry first: when it refuses, the running record keeps matching
  // what the next start will load.
  SaveSettingsToRegistry(registry_, outcome.settings);
  // Delay is one atomic store: the worker picks it up at its next pause.
  settings_ = outcome.settings;
  Close();
}

}  // namespace varnix
