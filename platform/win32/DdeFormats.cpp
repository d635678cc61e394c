#include "win32/DdeFormats.h"

#include <climits>

#include "win32/WinText.h"

namespace varnix::win32 {

// wchar_t is UTF-16 on Windows: the units are the same.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

// CF_TEXT of a UTF-16 value: the ANSI code page, "?" for what it lacks.
// (A code page without a default character, such as UTF-8, refuses the
// explicit one: it then converts with its own.)
std::string NarrowToAnsi(std::u16string_view text) {
  const std::wstring_view wide(reinterpret_cast<const wchar_t*>(text.data()), text.size());
  if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int inLen = static_cast<int>(wide.size());
  const char* fallback = "?";
  int n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), inLen, nullptr, 0, fallback, nullptr);
  if (n <= 0) return WideToAnsi(wide);
  std::string out(static_cast<std::size_t>(n), '\0');
  n = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), inLen, out.data(), n, fallback, nullptr);
  out.resize(static_cast<std::size_t>(n > 0 ? n : 0));
  return out;
}

std::u16string WidenFromAnsi(std::string_view text) {
  const std::wstring wide = AnsiToWide(text);
  return std::u16string(wide.begin(), wide.end());
}

std::string ServedIn(const TDdeServerItem& item, UINT format, ClientKey to) {
  if (format == CF_TEXT) return item.ServedData(to);
  if (format != CF_UNICODETEXT || !item.Unicode) return {};
  const std::u16string wide = item.ServedUnicode(to);
  return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(char16_t));
}

bool Serves(const TDdeServerItem& item, UINT format) {
  return format == CF_TEXT || (format == CF_UNICODETEXT && item.Unicode);
}

}  // namespace varnix::win32
