// The COM port on the Win32 communications API.
#include "win32/SerialPort.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <utility>

namespace varnix {
namespace {

constexpr DWORD kQueueSize = 4096;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// A write ends at the latest after this many milliseconds plus the per-byte
// limit. The per-byte limit is 19200 / Baud in whole milliseconds, which is 0
// from 38400 baud up; without the constant such a write had no limit at all,
// and a modem that stops taking bytes held the worker, and with it the
// shutdown, for ever.
constexpr DWORD kWriteConstantMs = 2000;

// Windows' serial drivers refuse a second open of a port; Wine ignores the
// share mode on devices, so two programs could talk to one modem at once.
// A named object per port number keeps the open exclusive among the users
// of this code everywhere. Empty when the port is claimed already (or the
// object cannot be made: the open then fails rather than share).
win32::KernelHandle ClaimPort(int number) {
  wchar_t name[48];
  std::swprintf(name, sizeof name / sizeof name[0], L"Local\\Varnix.COM%d.InUse", number);
  win32::KernelHandle claim(CreateMutexW(nullptr, FALSE, name));
  if (claim && GetLastError() == ERROR_ALREADY_EXISTS) return {};
  return claim;
}

// The event of an overlapped record. Manual reset, as ReadFile and WriteFile
// expect: they clear it when they start and the system sets it at the end,
// and GetOverlappedResult only waits for it. An auto-reset event would be
// consumed by the first wait, and a second wait on the same transfer would
// never return.
win32::KernelHandle MakeDoneEvent() {
  return win32::KernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

// A fresh control record for the next transfer, waited on through its own
// event rather than through the device handle, which every transfer on the
// device signals alike.
OVERLAPPED& Arm(OVERLAPPED& record, const win32::KernelHandle& done) {
  record = OVERLAPPED{};
  record.hEvent = done.get();
  return record;
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

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() { PortClose(); }

std::intptr_t SerialPort::PortOpen(const PortSettings& settings) {
  if (device_) return kNoPort;
  // The write time limit divides by the baud rate; a port number of 0 or
  // below names no device. Both can only come from a hand-edited registry.
  if (settings.Baud <= 0 || settings.Port <= 0) return kNoPort;

  // The device namespace prefix is required for COM10 and above and
  // harmless for COM1 to COM9.
  wchar_t name[32];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\COM%d", settings.Port);

  // Everything is held by locals until the line is configured: any early
  // return closes what was opened so far, and the members stay untouched.
  win32::KernelHandle claim = ClaimPort(settings.Port);
  if (!claim) return kNoPort;
  win32::KernelHandle writeDone = MakeDoneEvent();
  win32::KernelHandle readDone = MakeDoneEvent();
  if (!writeDone || !readDone) return kNoPort;

  win32::FileHandle device(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL,
                                       nullptr));
  if (!device) return kNoPort;
  const HANDLE h = device.get();

  if (!SetupComm(h, kQueueSize, kQueueSize)) return kNoPort;
  PurgeComm(h, kPurgeAll);

  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 1000;
  timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(19200 / settings.Baud);
  timeouts.WriteTotalTimeoutConstant = kWriteConstantMs;
  SetCommTimeouts(h, &timeouts);

  // Start from what the driver reports so that every field not named here
  // (fBinary, error and event characters, abort-on-error...) stays as it is.
  // Should the read fail, the zeroed record still gets the named fields.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(h, &dcb);
  dcb.DCBlength = sizeof dcb;
  ConfigureLine(dcb, settings);
  if (!SetCommState(h, &dcb)) return kNoPort;

  claim_ = std::move(claim);
  writeDone_ = std::move(writeDone);
  readDone_ = std::move(readDone);
  device_ = std::move(device);
  lost_ = false;
  return reinterpret_cast<std::intptr_t>(h);
}

namespace {

// What a call on a port handle fails with once its device has gone: Wine
// gives ERROR_NOT_READY for writes and status calls and ERROR_BROKEN_PIPE
// for reads; Windows' USB serial drivers give the others.
bool IsDeviceGone(DWORD error) {
  switch (error) {
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
    case ERROR_INVALID_FUNCTION:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

}  // namespace

int SerialPort::PortClose() {
  if (!device_) return 0;
  const HANDLE h = device_.get();
  EscapeCommFunction(h, CLRDTR);
  PurgeComm(h, kPurgeAll);
  // From here on this object holds no handle value: after the close the
  // system may hand the same value to any other object (a file, an event),
  // which nothing here may then purge, write to or close.
  const BOOL closed = CloseHandle(device_.release());
  readDone_.reset();
  writeDone_.reset();
  claim_.reset();
  return closed ? 1 : 0;
}

int SerialPort::PortSend(const void* data, int count) {
  if (!device_ || count < 0 || (data == nullptr && count > 0)) return 0;
  const HANDLE h = device_.get();

  // Whatever the modem said before this command, and whatever did not go
  // out yet, is thrown away here: a reply is only ever read after the last
  // send of a dialogue.
  PurgeComm(h, kPurgeAll);
  // On a pty (and some USB adapters) the DTR changes fail; that is harmless.
  EscapeCommFunction(h, SETDTR);

  int result = 0;
  DWORD written = 0;
  OVERLAPPED& record = Arm(write_, writeDone_);
  if (WriteFile(h, data, static_cast<DWORD>(count), &written, &record)) {
    result = 1;
  } else if (const DWORD err = GetLastError(); err != ERROR_IO_PENDING) {
    if (IsDeviceGone(err)) lost_ = true;
  } else {
    // The wait has no limit of its own; the write timeouts end the transfer.
    DWORD total = 0;
    for (;;) {
      DWORD n = 0;
      BOOL ok = GetOverlappedResult(h, &record, &n, TRUE);
      total += n;
      if (ok) break;
      const DWORD err = GetLastError();
      if (err == ERROR_IO_INCOMPLETE) continue;
      if (IsDeviceGone(err)) lost_ = true;
      break;
    }
    result = total == static_cast<DWORD>(count) ? 1 : 0;
  }

  EscapeCommFunction(h, CLRDTR);
  return result;
}

int SerialPort::PortReceive(void* buffer, int max) {
  if (!device_ || buffer == nullptr || max <= 0) return 0;
  const HANDLE h = device_.get();

  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(h, &errors, &status)) {
    if (IsDeviceGone(GetLastError())) lost_ = true;
    return 0;
  }
  // Ask only for what has already arrived, so the read completes at once
  // and the caller's own polling decides how long to wait for a reply.
  const DWORD n = std::min(static_cast<DWORD>(max), status.cbInQue);
  if (n == 0) return 0;

  DWORD got = 0;
  OVERLAPPED& record = Arm(read_, readDone_);
  if (ReadFile(h, buffer, n, &got, &record)) {
    // Completed at once; the count passed to ReadFile is not reliable for
    // an overlapped handle, the control record's is.
    DWORD done = 0;
    if (GetOverlappedResult(h, &record, &done, FALSE)) got = done;
    return static_cast<int>(got);
  }
  if (const DWORD err = GetLastError(); err != ERROR_IO_PENDING) {
    if (IsDeviceGone(err)) lost_ = true;
    return 0;
  }

  DWORD done = 0;
  for (;;) {
    done = 0;
    if (GetOverlappedResult(h, &record, &done, TRUE)) break;
    const DWORD err = GetLastError();
    if (err == ERROR_IO_INCOMPLETE) continue;
    // Wine ends a read that ran into the read timeout with ERROR_TIMEOUT:
    // nothing was received.
    if (err == ERROR_TIMEOUT) return 0;
    if (IsDeviceGone(err)) lost_ = true;
    break;
  }
  return static_cast<int>(done);
}

}  // namespace varnix
