// The COM port on the Win32 communications API.
#include "win32/SerialPort.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>

namespace varnix {
namespace {

constexpr DWORD kQueueSize = 4096;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// One control record for every write and one for every read, process-wide
// and without an event: completion is awaited on the port handle itself,
// which is why no two operations may run at the same time.
OVERLAPPED gWriteOverlapped{};
OVERLAPPED gReadOverlapped{};

// The handles this module opened and has not closed yet. After a close the
// system may hand the same value to any other object (a file, an event);
// a stale portHandle must then fail instead of purging or writing to it.
struct OpenPort {
  HANDLE device = nullptr;
  HANDLE inUse = nullptr;  // see ClaimPort
};
constexpr int kMaxOpenPorts = 8;
OpenPort gOpenPorts[kMaxOpenPorts] = {};

OpenPort* FreeSlot() {
  for (OpenPort& slot : gOpenPorts) {
    if (slot.device == nullptr) return &slot;
  }
  return nullptr;
}

OpenPort* FindOpen(std::intptr_t value) {
  if (value == kNoPort) return nullptr;
  HANDLE h = reinterpret_cast<HANDLE>(value);
  for (OpenPort& slot : gOpenPorts) {
    if (slot.device != nullptr && slot.device == h) return &slot;
  }
  return nullptr;
}

HANDLE OpenPortOrNull(std::intptr_t value) {
  OpenPort* port = FindOpen(value);
  return port != nullptr ? port->device : nullptr;
}

// Windows' serial drivers refuse a second open of a port; Wine ignores the
// share mode on devices, so two programs could talk to one modem at once.
// A named object per port number keeps the open exclusive among the users
// of this code everywhere. Returns null when the port is claimed already
// (or the object cannot be made: the open then fails rather than share).
HANDLE ClaimPort(int number) {
  wchar_t name[48];
  std::swprintf(name, sizeof name / sizeof name[0], L"Local\\Varnix.COM%d.InUse", number);
  HANDLE m = CreateMutexW(nullptr, FALSE, name);
  if (m != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(m);
    return nullptr;
  }
  return m;
}

void ConfigureLine(DCB& dcb, const PortSettings& s) {
  dcb.BaudRate = static_cast<DWORD>(s.Baud);
  dcb.ByteSize = static_cast<BYTE>(s.Bit & 0xFF);
  dcb.Parity = static_cast<BYTE>(s.Parity & 0xFF);
  // The stored value is the number of stop bits; the line wants a code in
  // which 1 means one and a half, so 2 has to be spelled out.
  dcb.StopBits = s.Stop == 2 ? TWOSTOPBITS : static_cast<BYTE>((s.Stop - 1) & 0xFF);
  dcb.fParity = s.Parity != 0 ? TRUE : FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.XonLim = 100;
  dcb.XoffLim = 100;
}

}  // namespace

std::intptr_t PortOpen(const PortSettings& settings) {
  // The write time limit divides by the baud rate; a port number of 0 or
  // below names no device. Both can only come from a hand-edited registry.
  if (settings.Baud <= 0 || settings.Port <= 0) return kNoPort;

  // The device namespace prefix is required for COM10 and above and
  // harmless for COM1 to COM9.
  wchar_t name[32];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\COM%d", settings.Port);

  OpenPort* slot = FreeSlot();
  if (slot == nullptr) return kNoPort;
  HANDLE inUse = ClaimPort(settings.Port);
  if (inUse == nullptr) return kNoPort;

  HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    CloseHandle(inUse);
    return kNoPort;
  }

  // Nobody closes a handle that was never handed out.
  auto fail = [h, inUse] {
    CloseHandle(h);
    CloseHandle(inUse);
    return kNoPort;
  };

  if (!SetupComm(h, kQueueSize, kQueueSize)) return fail();
  PurgeComm(h, kPurgeAll);

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1000;
  timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(19200 / settings.Baud);
  timeouts.WriteTotalTimeoutConstant = 0;
  SetCommTimeouts(h, &timeouts);

  // Start from what the driver reports so that every field not named here
  // (fBinary, error and event characters, abort-on-error...) stays as it is.
  // Should the read fail, the zeroed record still gets the named fields.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(h, &dcb);
  dcb.DCBlength = sizeof dcb;
  ConfigureLine(dcb, settings);
  if (!SetCommState(h, &dcb)) return fail();

  slot->device = h;
  slot->inUse = inUse;
  return reinterpret_cast<std::intptr_t>(h);
}

int PortClose(std::intptr_t handle) {
  OpenPort* port = FindOpen(handle);
  if (port == nullptr) return 0;
  const OpenPort closing = *port;
  *port = OpenPort{};
  EscapeCommFunction(closing.device, CLRDTR);
  PurgeComm(closing.device, kPurgeAll);
  const BOOL closed = CloseHandle(closing.device);
  CloseHandle(closing.inUse);
  return closed ? 1 : 0;
}

int PortSend(GatewayState& state, const void* data, int count) {
  HANDLE h = OpenPortOrNull(state.portHandle);
  if (h == nullptr || count < 0 || (data == nullptr && count > 0)) return 0;

  // Whatever the modem said before this command, and whatever did not go
  // out yet, is thrown away here: a reply is only ever read after the last
  // send of a dialogue.
  PurgeComm(h, kPurgeAll);
  // On a pty (and some USB adapters) the DTR changes fail; that is harmless.
  EscapeCommFunction(h, SETDTR);

  int result = 0;
  DWORD written = 0;
  if (WriteFile(h, data, static_cast<DWORD>(count), &written, &gWriteOverlapped)) {
    result = 1;
  } else if (GetLastError() == ERROR_IO_PENDING) {
    // The wait has no limit of its own; the write timeouts end the transfer.
    DWORD total = 0;
    for (;;) {
      DWORD n = 0;
      BOOL ok = GetOverlappedResult(h, &gWriteOverlapped, &n, TRUE);
      total += n;
      if (ok || GetLastError() != ERROR_IO_INCOMPLETE) break;
    }
    result = total == static_cast<DWORD>(count) ? 1 : 0;
  }

  EscapeCommFunction(h, CLRDTR);
  return result;
}

int PortReceive(GatewayState& state, void* buffer, int max) {
  HANDLE h = OpenPortOrNull(state.portHandle);
  if (h == nullptr || buffer == nullptr || max <= 0) return 0;

  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(h, &errors, &status)) return 0;
  // Ask only for what has already arrived, so the read completes at once
  // and the caller's own polling decides how long to wait for a reply.
  const DWORD n = std::min(static_cast<DWORD>(max), status.cbInQue);
  if (n == 0) return 0;

  DWORD got = 0;
  if (ReadFile(h, buffer, n, &got, &gReadOverlapped)) {
    // Completed at once; the count passed to ReadFile is not reliable for
    // an overlapped handle, the control record's is.
    DWORD done = 0;
    if (GetOverlappedResult(h, &gReadOverlapped, &done, FALSE)) got = done;
    return static_cast<int>(got);
  }
  if (GetLastError() != ERROR_IO_PENDING) return 0;

  DWORD done = 0;
  for (;;) {
    done = 0;
    if (GetOverlappedResult(h, &gReadOverlapped, &done, TRUE)) break;
    const DWORD err = GetLastError();
    if (err == ERROR_IO_INCOMPLETE) continue;
    // Wine ends a read that ran into the read timeout with ERROR_TIMEOUT:
    // nothing was received.
    if (err == ERROR_TIMEOUT) return 0;
    break;
  }
  return static_cast<int>(done);
}

}  // namespace varnix
