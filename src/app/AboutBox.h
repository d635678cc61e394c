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

class AboutBox {
 public:
  AboutBox() = default;
  ~AboutBox() { ReleaseFormWindow(hwnd_); }
  AboutBox(const AboutBox&) = delete;
  AboutBox& operator=(const AboutBox&) = delete;

  bool Create(HINSTANCE instance);
  HWND Handle() const { return hwnd_; }
  // Shows the box until its Close button or its close box; `owner` is
  // disabled meanwhile.
  void ShowModal(HWND owner);

 private:
  template <typename Form>
  friend LRESULT CALLBACK FormWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
  void CreateControls();

  HINSTANCE instance_ = nullptr;
  HWND hwnd_ = nullptr;
  win32::GdiObject boldFont_;
  win32::GdiObject plainFont_;
  win32::GdiObject logo_;
  bool done_ = false;
};

}  // namespace varnix
