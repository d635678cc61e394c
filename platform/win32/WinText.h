// Text conversion between UTF-16 and 8-bit code pages (UTF-8, the system
// ANSI code page, any other), for the program, its tools and its test
// programs. Header-only: the tools link nothing of the product.
//
// Every conversion takes an explicit length, so embedded NULs are converted
// like any other character and the result is as long as the input asks;
// the empty text gives the empty text without calling Windows (which
// reports a length of 0 as an error). Bytes or units that are not valid in
// the code page are replaced (U+FFFD, or the code page's default
// character), never refused: no flag asks for MB_ERR_INVALID_CHARS. A
// conversion that still fails as a whole gives the empty text.
#pragma once

#include <windows.h>

#include <climits>
#include <cstddef>
#include <string>
#include <string_view>

namespace varnix::win32 {

inline std::wstring ToWide(UINT codePage, std::string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int inLen = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(codePage, 0, text.data(), inLen, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  const int written = ::MultiByteToWideChar(codePage, 0, text.data(), inLen, out.data(), n);
  out.resize(static_cast<std::size_t>(written > 0 ? written : 0));
  return out;
}

inline std::string FromWide(UINT codePage, std::wstring_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return {};
  const int inLen = static_cast<int>(text.size());
  const int n =
      ::WideCharToMultiByte(codePage, 0, text.data(), inLen, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  const int written =
      ::WideCharToMultiByte(codePage, 0, text.data(), inLen, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(written > 0 ? written : 0));
  return out;
}

inline std::wstring Utf8ToWide(std::string_view text) { return ToWide(CP_UTF8, text); }
inline std::string WideToUtf8(std::wstring_view text) { return FromWide(CP_UTF8, text); }
// The system ANSI code page (CP_ACP): the code page of CF_TEXT, of the
// registry's value names as the program spells them, of its error texts.
inline std::wstring AnsiToWide(std::string_view text) { return ToWide(CP_ACP, text); }
inline std::string WideToAnsi(std::wstring_view text) { return FromWide(CP_ACP, text); }

}  // namespace varnix::win32
