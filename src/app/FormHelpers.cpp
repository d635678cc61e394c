#include "app/FormHelpers.h"

#include <cwctype>

#include "win32/WinText.h"

namespace varnix {

std::wstring ApplicationTitle() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name = path;
  name = name.substr(name.find_last_of(L"\\/") + 1);
  if (auto dot = name.rfind(L'.'); dot != std::wstring::npos) name.resize(dot);
  for (size_t i = 1; i < name.size(); ++i) name[i] = static_cast<wchar_t>(std::towlower(name[i]));
  return name;
}

win32::GdiObject MakeFont(const wchar_t* face, int pixelHeight, bool bold, BYTE charset) {
  // A negative height asks for that character height, without the internal
  // leading, which is how the forms' pixel sizes are meant.
  return win32::GdiObject(CreateFontW(-pixelHeight, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE,
                                      FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
                                      CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                      DEFAULT_PITCH | FF_DONTCARE, face));
}

HWND AddChild(HWND parent, HINSTANCE instance, DWORD exStyle, const wchar_t* cls,
              const wchar_t* text, DWORD style, int x, int y, int w, int h, int id,
              HGDIOBJ font) {
  HWND c = CreateWindowExW(exStyle, cls, text, WS_CHILD | style, x, y, w, h, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  if (font) SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return c;
}

void CenterOnScreen(HWND hwnd) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  const int w = r.right - r.left;
  const int h = r.bottom - r.top;
  const int x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
  const int y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  SetWindowPos(hwnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

SIZE OuterSize(int clientWidth, int clientHeight, DWORD style, DWORD exStyle) {
  RECT r{0, 0, clientWidth, clientHeight};
  AdjustWindowRectEx(&r, style, FALSE, exStyle);
  return {r.right - r.left, r.bottom - r.top};
}

void RunModal(HWND dialog, HWND owner, const bool& done) {
  if (owner) EnableWindow(owner, FALSE);
  ShowWindow(dialog, SW_SHOW);
  SetForegroundWindow(dialog);
  // Activation leaves the focus on the frame; keys are meant for a control.
  if (!IsChild(dialog, GetFocus())) SetFocus(GetNextDlgTabItem(dialog, nullptr, FALSE));
  MSG msg;
  while (!done) {
    const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    if (got < 0) break;
    if (!IsDialogMessageW(dialog, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  // The owner is enabled again before the dialog disappears, or Windows
  // would hand the activation to some other program's window.
  if (owner) EnableWindow(owner, TRUE);
  ShowWindow(dialog, SW_HIDE);
  if (owner) SetActiveWindow(owner);
}

void ShowErrorBox(HWND owner, const std::wstring& text) {
  MessageBoxW(owner, text.c_str(), ApplicationTitle().c_str(), MB_OK | MB_ICONERROR);
}

void ShowErrorBoxForCurrentException(HWND owner) {
  // Called at a boundary to Windows: nothing may escape from here either.
  try {
    try {
      throw;
    } catch (const UserError& e) {
      ShowErrorBox(owner, win32::Utf8ToWide(e.what()));
    } catch (const std::exception& e) {
      ShowErrorBox(owner, win32::AnsiToWide(e.what()));
    } catch (...) {
      ShowErrorBox(owner, L"Unknown error");
    }
  } catch (...) {
    // Not even the box could be shown (no memory for its text).
  }
}

bool ModalForm::CreateForm(HINSTANCE instance, const wchar_t* className, const wchar_t* caption,
                           DWORD style, DWORD exStyle, SIZE outer) {
  instance_ = instance;
  hwnd_ = CreateFormWindow(this, instance, className, caption, style, exStyle, outer.cx, outer.cy);
  if (!hwnd_) return false;
  CreateControls();
  return true;
}

void ModalForm::RunModalLoop(HWND owner, int focusId) {
  done_ = false;
  CenterOnScreen(hwnd_);
  if (focusId) SetFocus(GetDlgItem(hwnd_, focusId));
  RunModal(hwnd_, owner, done_);
}

LRESULT ModalForm::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case DM_GETDEFID:
      return MAKELRESULT(defaultId_, DC_HASDEFID);
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == defaultId_) Apply();
      if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == closeId_) Close();
      // IDCANCEL from Escape: no button answers it.
      return 0;
    case WM_CLOSE:
      Close();
      return 0;
    default:
      return DefWindowProcW(hwnd_, msg, wParam, lParam);
  }
}

}  // namespace varnix
