#include "client_io.h"

#include <cstdio>

#include "win32/WinText.h"

namespace ddeclient {

using varnix::win32::Utf8ToWide;
using varnix::win32::WideToAnsi;

namespace {

double NowMs() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  ULARGE_INTEGER u;
  u.LowPart = ft.dwLowDateTime;
  u.HighPart = ft.dwHighDateTime;
  return static_cast<double>(u.QuadPart - 116444736000000000ULL) / 10000.0;
}

}  // namespace

void Out(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::string Hex(const void* data, std::size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

std::string Word(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == ' ') {
      out += "\\s";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

std::string HexWord(unsigned v) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%x", v);
  return b;
}

std::string TimeText() {
  char b[48];
  std::snprintf(b, sizeof b, "%.3f", NowMs());
  return b;
}

std::string DecodeName(const std::string& arg) {
  std::string utf8;
  for (std::size_t i = 0; i < arg.size(); ++i) {
    if (arg[i] != '\\' || i + 1 >= arg.size()) {
      utf8 += arg[i];
      continue;
    }
    const char c = arg[++i];
    switch (c) {
      case 'r': utf8 += '\r'; break;
      case 'n': utf8 += '\n'; break;
      case 't': utf8 += '\t'; break;
      case '0': utf8 += '\0'; break;
      case 's': utf8 += ' '; break;
      case '\\': utf8 += '\\'; break;
      case 'x':
        utf8 += static_cast<char>(std::stoi(arg.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      default: utf8 += c; break;
    }
  }
  return utf8;
}

std::string DecodeText(const std::string& arg, bool unicode) {
  if (arg.rfind("hex:", 0) == 0) {
    std::string out;
    for (std::size_t i = 4; i + 1 < arg.size(); i += 2) {
      out += static_cast<char>(std::stoi(arg.substr(i, 2), nullptr, 16));
    }
    return out;
  }
  // Embedded NULs are converted like any other character.
  const std::wstring wide = Utf8ToWide(DecodeName(arg));
  if (!unicode) return WideToAnsi(wide);
  return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
}

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void PumpFor(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    Pump();
    const ULONGLONG now = GetTickCount64();
    if (now >= end) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}

}  // namespace ddeclient
