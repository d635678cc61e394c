// The About box: product name, version, logo and the maker's contacts.
#pragma once

#include <windows.h>

#include "win32/Handle.h"
#include "app/FormHelpers.h"

namespace varnix {

inline constexpr wchar_t kAboutClassName[] = L"AboutBox";
inline constexpr wchar_t kAboutCaption[] = L"关于";

enum AboutIds : int {
  ID_ABOUT_CLOSE = 301,  // Button1 "关闭(&C)"
  ID_ABOUT_LABEL1 = 311,
  ID_ABOUT_LABEL2 = 312,
  ID_ABOUT_PHONE = 313,
  ID_ABOUT_WEB = 314,
  ID_ABOUT_MAIL = 315,
  ID_ABOUT_PANEL1 = 321,
  ID_ABOUT_IMAGE1 = 322,
  ID_ABOUT_PANEL2 = 323,
};

// Its Close button is the default button, not a cancel button: Escape
// (IDCANCEL) does nothing.
class AboutBox final : public ModalForm {
 public:
  AboutBox() : ModalForm(ID_ABOUT_CLOSE, ID_ABOUT_CLOSE) {}
  ~AboutBox() override { ReleaseFormWindow(hwnd_); }

  bool Create(HINSTANCE instance);
  // Shows the box until its Close button or its close box; `owner` is
  // disabled meanwhile.
  void ShowModal(HWND owner);

 private:
  void CreateControls() override;

  win32::GdiObject boldFont_;
  win32::GdiObject plainFont_;
  win32::GdiObject logo_;
};

}  // namespace varnix
