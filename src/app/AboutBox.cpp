#include "app/AboutBox.h"

namespace varnix {
namespace {

constexpr DWORD kStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
constexpr DWORD kExStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
constexpr int kOuterWidth = 382;
constexpr int kOuterHeight = 283;

}  // namespace

bool AboutBox::Create(HINSTANCE instance) {
  return CreateForm(instance, kAboutClassName, kAboutCaption, kStyle, kExStyle,
                    {kOuterWidth, kOuterHeight});
}

void AboutBox::CreateControls() {
  boldFont_ = MakeFont(L"宋体", 12, true, GB2312_CHARSET);
  plainFont_ = MakeFont(L"宋体", 12, false, GB2312_CHARSET);

  auto add = [&](HWND parent, DWORD exStyle, const wchar_t* cls, const wchar_t* text, DWORD style,
                 int x, int y, int w, int h, int id, HGDIOBJ font) {
    return AddChild(parent, instance_, exStyle, cls, text, WS_VISIBLE | style, x, y, w, h, id,
                    font);
  };

  add(hwnd_, 0, L"BUTTON", L"关闭(&C)", BS_DEFPUSHBUTTON | WS_TABSTOP, 149, 208, 75, 25,
      ID_ABOUT_CLOSE, plainFont_.get());
  add(hwnd_, 0, L"STATIC", L"Varnix   (短信DDE 服务器)", SS_LEFT | SS_NOPREFIX, 101, 96, 170, 12,
      ID_ABOUT_LABEL1, boldFont_.get());
  add(hwnd_, 0, L"STATIC", L"V2.0.0  Korva 版权所有", SS_LEFT | SS_NOPREFIX, 110, 112, 154, 12,
      ID_ABOUT_LABEL2, boldFont_.get());
  add(hwnd_, 0, L"STATIC", L"技术支持: 010-5550-0199", SS_LEFT | SS_NOPREFIX, 112, 136, 200, 12,
      ID_ABOUT_PHONE, plainFont_.get());
  add(hwnd_, 0, L"STATIC", L"网址: www.korva.example.com", SS_LEFT | SS_NOPREFIX, 112, 152, 200,
      12, ID_ABOUT_WEB, plainFont_.get());
  add(hwnd_, 0, L"STATIC", L"邮箱: support@korva.example.com", SS_LEFT | SS_NOPREFIX, 112, 168,
      210, 12, ID_ABOUT_MAIL, plainFont_.get());

  // The panels are statics with a sunken edge; the logo sits inside the
  // first one, 8 pixels in from its outer edge (the edge itself takes one).
  HWND panel1 = add(hwnd_, WS_EX_STATICEDGE, L"STATIC", L"", SS_LEFT, 54, 24, 265, 57,
                    ID_ABOUT_PANEL1, nullptr);
  HWND image = add(panel1, 0, L"STATIC", L"", SS_BITMAP, 7, 7, 249, 41, ID_ABOUT_IMAGE1, nullptr);
  logo_ = win32::GdiObject(
      LoadImageW(instance_, L"LOGO", IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR | LR_CREATEDIBSECTION));
  // The control keeps the bitmap only on loan: logo_ deletes it.
  SendMessageW(image, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(logo_.get()));
  add(hwnd_, WS_EX_STATICEDGE, L"STATIC", L"", SS_LEFT, 15, 192, 345, 2, ID_ABOUT_PANEL2, nullptr);
}

void AboutBox::ShowModal(HWND owner) { RunModalLoop(owner, ID_ABOUT_CLOSE); }

}  // namespace varnix
