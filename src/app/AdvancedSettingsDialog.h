// The advanced settings dialog: edits the nine opt-in values beside the
// six (ExtSettings) and stores them in the instance's settings key.
#pragma once

#include <windows.h>

#include "win32/Handle.h"
#include "app/FormHelpers.h"
#include "settings/AdvancedSettings.h"
#include "settings/ExtSettings.h"

namespace varnix {

inline constexpr wchar_t kAdvancedClassName[] = L"AdvancedSettingsDialog";
inline constexpr wchar_t kAdvancedCaption[] = L"高级设置";

enum AdvancedIds : int {
  ID_ADV_APPLY = 301,
  ID_ADV_CLOSE = 302,
  ID_ADV_NOTE_MESSAGE = 303,  // what applies from the next message
  ID_ADV_NOTE_START = 304,    // what applies at the next start
  // One control per value, in the order of kExtValues.
  ID_ADV_FIRST_FIELD = 311,
};

class AdvancedSettingsDialog final : public ModalForm {
 public:
  // The registry accessor is the main window's and lives longer than the
  // dialog. `running` is the record the send worker reads, or null when no
  // worker runs: the values that apply from the next message go there too.
  AdvancedSettingsDialog(RegistryAccessor& registry, ExtSettings* running);
  ~AdvancedSettingsDialog() override { ReleaseFormWindow(hwnd_); }

  bool Create(HINSTANCE instance);
  void SetRunning(ExtSettings* running) { running_ = running; }

  void Fill(const AdvancedDialogValues& values);
  AdvancedDialogValues Values() const;

  // Fills the dialog from what the key holds now (a value that cannot be
  // read shows as 0, as it counts at the next start) and runs its modal
  // loop until Apply succeeded, Cancel was pressed or the close box used.
  void ShowModal(HWND owner);

  // Throws UserError for a refused field, before anything is stored, and
  // RegistryError when the key cannot be written; the form's window
  // procedure reports either, and the dialog stays open.
  void Apply() override;

 private:
  void CreateControls() override;

  RegistryAccessor& registry_;
  ExtSettings* running_;
  win32::GdiObject font_;
};

}  // namespace varnix
