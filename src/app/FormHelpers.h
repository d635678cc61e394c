// What the forms share: the application title, fonts, centring, the modal
// loop, the window class and the window procedure, the one place where an
// error raised by a form's handler is reported, and the dialogs' skeleton.
#pragma once

#include <windows.h>

#include <exception>
#include <stdexcept>
#include <string>

#include "win32/Handle.h"

namespace varnix {

// The application title: the executable's base name with every letter after
// the first in lower case ("VARNIX.EXE" -> "Varnix"). It is the title of
// the error box.
std::wstring ApplicationTitle();

win32::GdiObject MakeFont(const wchar_t* face, int pixelHeight, bool bold, BYTE charset);
// A child control of `parent`: WS_CHILD is added to `style`, the id travels
// as the menu handle, and `font` (none when null) is set without a redraw.
HWND AddChild(HWND parent, HINSTANCE instance, DWORD exStyle, const wchar_t* cls,
              const wchar_t* text, DWORD style, int x, int y, int w, int h, int id,
              HGDIOBJ font);
void CenterOnScreen(HWND hwnd);
// The outer size of a window of `style` and `exStyle` whose client area is
// `clientWidth` by `clientHeight`.
SIZE OuterSize(int clientWidth, int clientHeight, DWORD style, DWORD exStyle);
// Disables `owner`, shows `dialog` and runs its loop until `done`; window
// messages and DDE transactions go on being served meanwhile. Enter presses
// the dialog's default button (DM_GETDEFID); a WM_QUIT ends the loop and is
// passed on to the outer loop.
void RunModal(HWND dialog, HWND owner, const bool& done);

// An error a handler raises for the user about the user's own entry (a text
// that is not a valid integer); its text is UTF-8. Every other error's
// what() is 8-bit text in the ANSI code page, as the registry's and the
// DDE library's error texts are.
class UserError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The error box: the text, the application title, an OK button and the
// error icon, owned by `owner` (nullptr before any window exists).
void ShowErrorBox(HWND owner, const std::wstring& text);
// The error box for the exception being handled (call from a catch block).
void ShowErrorBoxForCurrentException(HWND owner);

// The window procedure shared by the three forms: the form object travels in
// CreateWindowEx's parameter, is kept in GWLP_USERDATA from WM_NCCREATE on,
// and gets every message once its handle is known. Messages that arrive
// before that (WM_NCCREATE, WM_NCCALCSIZE, WM_CREATE) take the default path.
// A form clears GWLP_USERDATA before it goes, so that a message reaching
// the window afterwards (an error box pumps them) takes the default path.
//
// This is the boundary to Windows, which is C: no exception may leave it. A
// handler may throw RegistryError (a value that cannot be read or written),
// UserError (an entry that is not a valid integer) or anything the standard
// library throws. The error box here reports it, owned by the form's window;
// only that handler ends, the message counts as handled with the result 0,
// and the message loop goes on. DefWindowProc is not asked afterwards: for
// WM_CLOSE it would destroy the window the handler meant to keep.
template <typename Form>
LRESULT CALLBACK FormWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<Form*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self || !self->Handle()) return DefWindowProcW(hwnd, msg, wParam, lParam);
  try {
    return self->Dispatch(msg, wParam, lParam);
  } catch (...) {
    ShowErrorBoxForCurrentException(hwnd);
    return 0;
  }
}

// Registers a form's window class: the application icon in both sizes, the
// arrow cursor, the button-face background.
template <typename Form>
bool RegisterFormClass(HINSTANCE instance, const wchar_t* className) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = &FormWndProc<Form>;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(instance, L"MAINICON");
  wc.hIconSm = static_cast<HICON>(
      LoadImageW(instance, L"MAINICON", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                 GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = className;
  return RegisterClassExW(&wc) != 0;
}

// Registers the form's class and creates its top-level window, `width` by
// `height` outside, with the form object as the creation parameter.
template <typename Form>
HWND CreateFormWindow(Form* form, HINSTANCE instance, const wchar_t* className,
                      const wchar_t* caption, DWORD style, DWORD exStyle, int width, int height,
                      HMENU menu = nullptr) {
  if (!RegisterFormClass<Form>(instance, className)) return nullptr;
  return CreateWindowExW(exStyle, className, caption, style, CW_USEDEFAULT, CW_USEDEFAULT, width,
                         height, nullptr, menu, instance, form);
}

// Takes a form's window away from its object: from now on every message
// takes the default path; then destroys it. For the forms' destructors.
inline void ReleaseFormWindow(HWND& hwnd) {
  if (!hwnd) return;
  SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
  DestroyWindow(hwnd);
  hwnd = nullptr;
}

// The skeleton of the dialogs (communication settings, advanced settings,
// About): a top-level window of a class of its own, made hidden with all
// its controls, and shown by a modal loop until the form is closed. Enter
// presses the default button, the close button and the close box close,
// and Escape does nothing, as no button answers it.
class ModalForm {
 public:
  ModalForm(const ModalForm&) = delete;
  ModalForm& operator=(const ModalForm&) = delete;

  HWND Handle() const { return hwnd_; }

  // What the default button does: the settings dialogs store their values
  // and close; the About box, whose default button is its close button,
  // does nothing more. It may throw: FormWndProc reports the error, and the
  // dialog stays open.
  virtual void Apply() {}
  // Ends the modal loop.
  void Close() { done_ = true; }

 protected:
  ModalForm(int defaultId, int closeId) : defaultId_(defaultId), closeId_(closeId) {}
  // A form's own destructor calls ReleaseFormWindow(hwnd_) first, so that
  // the window goes before the fonts its controls use.
  virtual ~ModalForm() { ReleaseFormWindow(hwnd_); }

  // Registers `className`, creates the window `outer` in size and then its
  // controls (CreateControls). False when the window cannot be made.
  bool CreateForm(HINSTANCE instance, const wchar_t* className, const wchar_t* caption,
                  DWORD style, DWORD exStyle, SIZE outer);
  virtual void CreateControls() = 0;
  // Centres the window, gives the control `focusId` the focus (when not 0)
  // and runs the modal loop until Close; `owner` is disabled meanwhile.
  void RunModalLoop(HWND owner, int focusId = 0);

  HINSTANCE instance_ = nullptr;
  HWND hwnd_ = nullptr;

 private:
  template <typename Form>
  friend LRESULT CALLBACK FormWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);

  int defaultId_;
  int closeId_;
  bool done_ = false;
};

}  // namespace varnix
