// The communication settings dialog: edits the six values of PortSettings
// and stores them in the registry.
#pragma once

#include <windows.h>

#include "win32/Handle.h"
#include "app/FormHelpers.h"
#include "settings/ComSettings.h"
#include "settings/PortSettings.h"

namespace varnix {

inline constexpr wchar_t kComClassName[] = L"ComSettingsDialog";
inline constexpr wchar_t kComCaption[] = L"设置通信参数";
inline constexpr wchar_t kParityItems[kParityItemCount][4] = {L"无", L"奇校验", L"偶校验"};

enum ComIds : int {
  ID_BTNAPPLY = 201,
  ID_BTNCLOSE = 202,
  ID_CBPORT = 211,
  ID_CBDATABITS = 212,
  ID_CBSTOPBITS = 213,
  ID_CBPARITY = 214,
  ID_CBBAUD = 215,
  ID_EDDELAY = 216,
  ID_GROUPBOX2 = 221,
  ID_GROUPBOX1 = 222,
};

class ComSettingsDialog final : public ModalForm {
 public:
  // The record and the registry accessor are the main window's; both live
  // longer than the dialog.
  ComSettingsDialog(PortSettings& settings, RegistryAccessor& registry);
  ~ComSettingsDialog() override { ReleaseFormWindow(hwnd_); }

  bool Create(HINSTANCE instance);

  // The controls as values and back.
  void Fill(const ComDialogValues& values);
  ComDialogValues Values() const;

  // Shows the dialog and runs its modal loop until Apply succeeded, Cancel
  // was pressed or the close box was used; `owner` is disabled meanwhile.
  void ShowModal(HWND owner);

  // Throws UserError for an entry that is not a valid integer and
  // RegistryError when the settings cannot be stored; the form's window
  // procedure reports either, and the dialog stays open.
  void Apply() override;

 private:
  void CreateControls() override;

  PortSettings& settings_;
  RegistryAccessor& registry_;
  win32::GdiObject font_;
  win32::GdiObject unitFont_;
};

}  // namespace varnix
