// Drives one SerialPort object step by step, as the command line says, and
// prints one line per step for the test to check:
//
//   open P B S Par Baud   PortOpen; portHandle keeps the result
//                                              -> "open <handle|-1>"
//   sendhex HEX           PortSend             -> "send <result>"
//   recv MAX              PortReceive into a 32-byte buffer of '#'
//                                              -> "recv <n> <buffer hex> <ms>"
//   sleep MS
//   inque                 bytes waiting in the driver -> "inque <n>"
//   dcb                   the line state and timeouts the driver holds
//   timeouts              the timeouts alone -> "timeouts ..."
//   close                 PortClose            -> "close <result>"
//   close-1               PortClose of a port object never opened
//                                              -> "close-1 <result>"
//   unset                 portHandle = -1 and the port object replaced by a
//                         new one, never opened (the old one is destroyed)
//   reuse                 after a close: opens files until one gets the old
//                         handle value (portHandle keeps it) -> "reuse <0|1>"
//   file                  that file's size and whether it is still open
//   again P B S Par Baud  PortOpen of a second port object, while the first
//                         stays as it is -> "again <handle|-1>" (closed
//                         again at once)
//   reopen P B S Par Baud PortOpen of the same object again; portHandle
//                         keeps its value -> "reopen <handle|-1>"
//   handles               the values the next four handles get (Wine has no
//                         handle count; a leaked handle shows as a gap)
//   mark TEXT             prints TEXT (a point the test can wait for)
//
// The raw-* steps use a second handle of their own on the Win32 calls
// directly, so a test sees the error codes the product's port hides:
//   raw-open N            CreateFileW \\.\COMN overlapped, read timeouts as
//                         the product sets them -> "raw-open ok" | "raw-open error <code>"
//   raw-reopen N MS       closes the raw handle, then raw-open and GetCommState
//                         every 100 ms until both succeed or MS ms passed
//                         -> "raw-reopen ok <ms>" | "raw-reopen error <open>/<state>"
//                         (Wine opens a COM port whose device is gone; only
//                         the first call on the handle fails)
//   raw-write HEX         overlapped WriteFile, waited for
//                         -> "raw-write <ok 0|1> <bytes> <error>"
//   raw-read MAX MS       overlapped ReadFile of MAX bytes, waited for at most
//                         MS ms (then cancelled)
//                         -> "raw-read <ok 0|1> <bytes> <hex> <error>" | "raw-read pending"
//   raw-status            ClearCommError and GetCommState
//                         -> "raw-status clear=<0|1>/<error> inque=<n> dcb=<0|1>/<error>"
//   raw-close             CloseHandle -> "raw-close <0|1>"
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "win32/SerialPort.h"

using varnix::GatewayState;

namespace {

void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vprintf(fmt, ap);
  va_end(ap);
  std::printf("\n");
  std::fflush(stdout);
}

std::string Hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::vector<unsigned char> FromHex(const std::wstring& h) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::wcstoul(h.substr(i, 2).c_str(), nullptr, 16)));
  }
  return out;
}

int Int(const wchar_t* s) { return static_cast<int>(std::wcstol(s, nullptr, 10)); }

void SayTimeouts(HANDLE h) {
  COMMTIMEOUTS t{};
  if (GetCommTimeouts(h, &t)) {
    Say("timeouts ReadInterval=%lu ReadMultiplier=%lu ReadConstant=%lu "
        "WriteMultiplier=%lu WriteConstant=%lu",
        t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
        t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant);
  } else {
    Say("timeouts error %lu", GetLastError());
  }
}

HANDLE RawOpen(int number, DWORD* error) {
  wchar_t name[32];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\COM%d", number);
  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  *error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (h != INVALID_HANDLE_VALUE) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutConstant = 1000;
    t.WriteTotalTimeoutConstant = 2000;
    SetCommTimeouts(h, &t);
  }
  return h;
}

// One overlapped transfer on `h`, waited for at most `ms`: (ok, bytes,
// error); error ERROR_IO_PENDING when it was still under way and cancelled.
struct Transfer {
  BOOL ok;
  DWORD bytes;
  DWORD error;
};

Transfer RawTransfer(HANDLE h, bool write, void* data, DWORD count, DWORD ms) {
  OVERLAPPED o{};
  o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Transfer r{FALSE, 0, 0};
  const BOOL started = write ? WriteFile(h, data, count, nullptr, &o)
                             : ReadFile(h, data, count, nullptr, &o);
  if (!started && GetLastError() != ERROR_IO_PENDING) {
    r.error = GetLastError();
  } else if (WaitForSingleObject(o.hEvent, ms) != WAIT_OBJECT_0) {
    CancelIo(h);
    GetOverlappedResult(h, &o, &r.bytes, TRUE);
    r.error = ERROR_IO_PENDING;
  } else {
    r.ok = GetOverlappedResult(h, &o, &r.bytes, FALSE);
    r.error = r.ok ? 0 : GetLastError();
  }
  CloseHandle(o.hEvent);
  return r;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  GatewayState state;
  auto port = std::make_unique<varnix::SerialPort>();
  HANDLE reused = INVALID_HANDLE_VALUE;
  HANDLE raw = INVALID_HANDLE_VALUE;
  std::wstring reusedPath;

  for (int i = 1; i < argc; ++i) {
    const std::wstring op = argv[i];
    auto next = [&]() -> const wchar_t* {
      if (i + 1 >= argc) {
        Say("missing argument after %ls", op.c_str());
        std::exit(2);
      }
      return argv[++i];
    };

    auto settings = [&] {
      varnix::PortSettings s;
      s.Port = Int(next());
      s.Bit = Int(next());
      s.Stop = Int(next());
      s.Parity = Int(next());
      s.Baud = Int(next());
      return s;
    };

    if (op == L"open") {
      state.portHandle = port->PortOpen(settings());
      Say("open %lld", static_cast<long long>(state.portHandle));
    } else if (op == L"sendhex") {
      std::vector<unsigned char> data = FromHex(next());
      Say("send %d", port->PortSend(data.data(), static_cast<int>(data.size())));
    } else if (op == L"recv") {
      const int max = Int(next());
      unsigned char buffer[32];
      std::memset(buffer, '#', sizeof buffer);
      const ULONGLONG t0 = GetTickCount64();
      const int n = port->PortReceive(buffer, max);
      const ULONGLONG t1 = GetTickCount64();
      Say("recv %d %s %llu", n, Hex(buffer, sizeof buffer).c_str(), t1 - t0);
    } else if (op == L"sleep") {
      Sleep(static_cast<DWORD>(Int(next())));
    } else if (op == L"inque") {
      DWORD errors = 0;
      COMSTAT st{};
      if (ClearCommError(reinterpret_cast<HANDLE>(state.portHandle), &errors, &st)) {
        Say("inque %lu", st.cbInQue);
      } else {
        Say("inque error %lu", GetLastError());
      }
    } else if (op == L"dcb") {
      HANDLE h = reinterpret_cast<HANDLE>(state.portHandle);
      DCB d{};
      d.DCBlength = sizeof d;
      if (!GetCommState(h, &d)) {
        Say("dcb error %lu", GetLastError());
        continue;
      }
      Say("dcb BaudRate=%lu ByteSize=%u Parity=%u StopBits=%u fParity=%u fBinary=%u "
          "fOutxCtsFlow=%u fOutxDsrFlow=%u fDtrControl=%u fRtsControl=%u fOutX=%u fInX=%u "
          "XonChar=%u XoffChar=%u XonLim=%u XoffLim=%u",
          d.BaudRate, d.ByteSize, d.Parity, d.StopBits, d.fParity, d.fBinary, d.fOutxCtsFlow,
          d.fOutxDsrFlow, d.fDtrControl, d.fRtsControl, d.fOutX, d.fInX,
          static_cast<unsigned>(static_cast<unsigned char>(d.XonChar)),
          static_cast<unsigned>(static_cast<unsigned char>(d.XoffChar)), d.XonLim, d.XoffLim);
      SayTimeouts(h);
    } else if (op == L"timeouts") {
      SayTimeouts(reinterpret_cast<HANDLE>(state.portHandle));
    } else if (op == L"close") {
      Say("close %d", port->PortClose());
    } else if (op == L"close-1") {
      varnix::SerialPort never;
      Say("close-1 %d", never.PortClose());
    } else if (op == L"unset") {
      state.portHandle = varnix::kNoPort;
      port = std::make_unique<varnix::SerialPort>();
    } else if (op == L"reuse") {
      // Handle values are recycled: keep opening files until one of them
      // gets the value the closed port had, then keep that one.
      wchar_t dir[MAX_PATH];
      GetTempPathW(MAX_PATH, dir);
      std::vector<HANDLE> others;
      for (int k = 0; k < 64 && reused == INVALID_HANDLE_VALUE; ++k) {
        wchar_t path[MAX_PATH + 40];
        std::swprintf(path, MAX_PATH + 40, L"%lsport_probe_%lu_%d.tmp", dir,
                      GetCurrentProcessId(), k);
        HANDLE f = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (f == INVALID_HANDLE_VALUE) break;
        if (reinterpret_cast<std::intptr_t>(f) == state.portHandle) {
          reused = f;
          reusedPath = path;
        } else {
          others.push_back(f);
        }
      }
      for (HANDLE o : others) CloseHandle(o);
      Say("reuse %d", reused != INVALID_HANDLE_VALUE ? 1 : 0);
    } else if (op == L"file") {
      LARGE_INTEGER size{};
      const BOOL ok = GetFileSizeEx(reused, &size);
      Say("file size=%lld open=%d", ok ? static_cast<long long>(size.QuadPart) : -1LL,
          ok ? 1 : 0);
    } else if (op == L"again") {
      varnix::SerialPort other;
      Say("again %lld", static_cast<long long>(other.PortOpen(settings())));
      other.PortClose();
    } else if (op == L"reopen") {
      Say("reopen %lld", static_cast<long long>(port->PortOpen(settings())));
    } else if (op == L"handles") {
      HANDLE events[4];
      for (HANDLE& e : events) e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      Say("handles %p %p %p %p", events[0], events[1], events[2], events[3]);
      for (HANDLE e : events) CloseHandle(e);
    } else if (op == L"raw-open") {
      DWORD error = 0;
      if (raw != INVALID_HANDLE_VALUE) CloseHandle(raw);
      raw = RawOpen(Int(next()), &error);
      if (raw != INVALID_HANDLE_VALUE) Say("raw-open ok"); else Say("raw-open error %lu", error);
    } else if (op == L"raw-reopen") {
      const int number = Int(next());
      const ULONGLONG limit = static_cast<ULONGLONG>(Int(next()));
      const ULONGLONG t0 = GetTickCount64();
      DWORD openError = 0;
      DWORD stateError = 0;
      if (raw != INVALID_HANDLE_VALUE) CloseHandle(raw);
      for (;;) {
        raw = RawOpen(number, &openError);
        stateError = 0;
        if (raw != INVALID_HANDLE_VALUE) {
          DCB d{};
          d.DCBlength = sizeof d;
          if (GetCommState(raw, &d)) break;
          stateError = GetLastError();
          CloseHandle(raw);
          raw = INVALID_HANDLE_VALUE;
        }
        if (GetTickCount64() - t0 >= limit) break;
        Sleep(100);
      }
      if (raw != INVALID_HANDLE_VALUE) {
        Say("raw-reopen ok %llu", GetTickCount64() - t0);
      } else {
        Say("raw-reopen error %lu/%lu", openError, stateError);
      }
    } else if (op == L"raw-write") {
      std::vector<unsigned char> data = FromHex(next());
      const Transfer r = RawTransfer(raw, true, data.data(), static_cast<DWORD>(data.size()), 5000);
      Say("raw-write %d %lu %lu", r.ok ? 1 : 0, r.bytes, r.error);
    } else if (op == L"raw-read") {
      unsigned char buffer[64] = {};
      const DWORD max = std::min<DWORD>(static_cast<DWORD>(Int(next())), sizeof buffer);
      const DWORD ms = static_cast<DWORD>(Int(next()));
      const Transfer r = RawTransfer(raw, false, buffer, max, ms);
      if (r.error == ERROR_IO_PENDING) {
        Say("raw-read pending");
      } else {
        Say("raw-read %d %lu %s %lu", r.ok ? 1 : 0, r.bytes,
            r.bytes ? Hex(buffer, r.bytes).c_str() : "-", r.error);
      }
    } else if (op == L"raw-status") {
      DWORD errors = 0;
      COMSTAT st{};
      const BOOL cleared = ClearCommError(raw, &errors, &st);
      const DWORD clearError = cleared ? 0 : GetLastError();
      DCB d{};
      d.DCBlength = sizeof d;
      const BOOL got = GetCommState(raw, &d);
      Say("raw-status clear=%d/%lu inque=%lu dcb=%d/%lu", cleared ? 1 : 0, clearError,
          cleared ? st.cbInQue : 0, got ? 1 : 0, got ? 0 : GetLastError());
    } else if (op == L"raw-close") {
      Say("raw-close %d", CloseHandle(raw) ? 1 : 0);
      raw = INVALID_HANDLE_VALUE;
    } else if (op == L"mark") {
      Say("mark %ls", next());
    } else {
      Say("unknown step %ls", op.c_str());
      return 2;
    }
  }
  if (reused != INVALID_HANDLE_VALUE) CloseHandle(reused);
  if (raw != INVALID_HANDLE_VALUE) CloseHandle(raw);
  Say("end");
  return 0;
}
