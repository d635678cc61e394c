#include "app/AdvancedSettingsDialog.h"

#include <string>

#include "win32/WinText.h"

namespace varnix {
namespace {

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;

// One row per value: its label, its box, and the allowed values beside it.
constexpr int kMargin = 16;
constexpr int kRowTop = 16;
constexpr int kRowHeight = 26;
constexpr int kLabelWidth = 120;
constexpr int kBoxLeft = kMargin + kLabelWidth + 8;
constexpr int kBoxWidth = 56;
constexpr int kHintLeft = kBoxLeft + kBoxWidth + 10;
constexpr int kHintWidth = 180;
constexpr int kClientWidth = kHintLeft + kHintWidth + kMargin;
constexpr int kNoteTop = kRowTop + static_cast<int>(kAdvancedFieldCount) * kRowHeight + 6;
constexpr int kNoteLine = 16;
constexpr int kNoteHeight = 3 * kNoteLine;  // the note of the next start takes two lines
constexpr int kButtonTop = kNoteTop + kNoteHeight + 12;
constexpr int kClientHeight = kButtonTop + 25 + kMargin;

int FieldId(std::size_t i) { return ID_ADV_FIRST_FIELD + static_cast<int>(i); }

}  // namespace

AdvancedSettingsDialog::AdvancedSettingsDialog(RegistryAccessor& registry, ExtSettings* running)
    : ModalForm(ID_ADV_APPLY, ID_ADV_CLOSE), registry_(registry), running_(running) {}

bool AdvancedSettingsDialog::Create(HINSTANCE instance) {
  return CreateForm(instance, kAdvancedClassName, kAdvancedCaption, kStyle, kExStyle,
                    OuterSize(kClientWidth, kClientHeight, kStyle, kExStyle));
}

void AdvancedSettingsDialog::CreateControls() {
  font_ = MakeFont(L"宋体", 12, false, GB2312_CHARSET);
  auto add = [&](DWORD exStyle, const wchar_t* cls, const std::wstring& text, DWORD style, int x,
                 int y, int w, int h, int id) {
    return AddChild(hwnd_, instance_, exStyle, cls, text.c_str(), WS_VISIBLE | style, x, y, w, h,
                    id, font_.get());
  };

  // Creation order is the tab order: the values from the top, then the
  // buttons.
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i) {
    const AdvancedField& f = kAdvancedFields[i];
    const int y = kRowTop + static_cast<int>(i) * kRowHeight;
    add(0, L"STATIC", win32::Utf8ToWide(f.label), SS_LEFT, kMargin, y + 3, kLabelWidth, 14, -1);
    if (f.checkBox) {
      add(0, L"BUTTON", L"启用", BS_AUTOCHECKBOX | WS_TABSTOP, kBoxLeft, y, kBoxWidth, 20,
          FieldId(i));
    } else {
      HWND box = add(WS_EX_CLIENTEDGE, L"EDIT", L"", ES_AUTOHSCROLL | WS_TABSTOP, kBoxLeft, y,
                     kBoxWidth, 20, FieldId(i));
      SendMessageW(box, EM_LIMITTEXT, kMaxAdvancedChars, 0);
    }
    add(0, L"STATIC", win32::Utf8ToWide(f.hint), SS_LEFT, kHintLeft, y + 3, kHintWidth, 14, -1);
  }
  const int noteWidth = kClientWidth - 2 * kMargin;
  add(0, L"STATIC", win32::Utf8ToWide(AdvancedAppliesNote(Applies::kNextMessage)), SS_LEFT,
      kMargin, kNoteTop, noteWidth, kNoteLine, ID_ADV_NOTE_MESSAGE);
  add(0, L"STATIC", win32::Utf8ToWide(AdvancedAppliesNote(Applies::kNextStart)), SS_LEFT,
      kMargin, kNoteTop + kNoteLine, noteWidth, 2 * kNoteLine, ID_ADV_NOTE_START);

  const int buttons = kClientWidth / 2;
  add(0, L"BUTTON", L"确定(&O)", BS_DEFPUSHBUTTON | WS_TABSTOP, buttons - 72, kButtonTop, 57, 25,
      ID_ADV_APPLY);
  add(0, L"BUTTON", L"取消(&C)", BS_PUSHBUTTON | WS_TABSTOP, buttons + 16, kButtonTop, 56, 25,
      ID_ADV_CLOSE);
}

void AdvancedSettingsDialog::Fill(const AdvancedDialogValues& values) {
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i) {
    if (kAdvancedFields[i].checkBox) {
      CheckDlgButton(hwnd_, FieldId(i), values[i] == "0" ? BST_UNCHECKED : BST_CHECKED);
    } else {
      SetDlgItemTextW(hwnd_, FieldId(i), win32::Utf8ToWide(values[i]).c_str());
    }
  }
}

AdvancedDialogValues AdvancedSettingsDialog::Values() const {
  AdvancedDialogValues values;
  for (std::size_t i = 0; i < kAdvancedFieldCount; ++i) {
    if (kAdvancedFields[i].checkBox) {
      // A character, not a literal: GCC 12 at -O3 warns falsely
      // (-Wrestrict) about assigning a short literal to a string.
      values[i].assign(1, IsDlgButtonChecked(hwnd_, FieldId(i)) == BST_CHECKED ? '1' : '0');
      continue;
    }
    HWND c = GetDlgItem(hwnd_, FieldId(i));
    std::wstring w(static_cast<size_t>(GetWindowTextLengthW(c)) + 1, L'\0');
    w.resize(static_cast<size_t>(GetWindowTextW(c, w.data(), static_cast<int>(w.size()))));
    values[i] = win32::WideToUtf8(w);
  }
  return values;
}

void AdvancedSettingsDialog::ShowModal(HWND owner) {
  // What the key holds, not what runs: a value changed for the next start
  // is shown as stored. A value of another type shows as off, which is
  // what the next start makes of it; the start-up box reported it.
  ExtSettings stored;
  LoadExtSettingsAtStartup(stored, registry_);
  Fill(FillAdvancedDialog(stored));
  RunModalLoop(owner);
}

void AdvancedSettingsDialog::Apply() {
  if (registry_.SettingsReadOnly()) throw UserError(kMachineKeyReadOnlyText);
  const AdvancedApplyOutcome outcome = ComputeAdvancedApply(Values());
  // Nothing has been stored; the entries stay for the user to correct.
  if (!outcome.ok) throw UserError(outcome.error);
  ExtSettings next;
  StoreAll(outcome, next);
  // The registry first: when it refuses, the worker keeps what the key held.
  SaveExtSettingsToRegistry(registry_, next);
  if (running_) StoreNextMessageValues(outcome, *running_);
  Close();
}

}  // namespace varnix
