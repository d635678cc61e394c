// The modem's COM port on the Win32 communications API: one object that owns
// the open device, its claim on the port number and its two overlapped
// records, and that is the ModemPort the send worker talks to.
//
// The four operations return plain integers and never throw. They hold no
// lock: the port is used from one thread at a time (start-up on the GUI
// thread, then only the worker, then the shutdown), and at most one
// operation of an object runs at any moment.
#pragma once

#include <cstdint>

#include "win32/Handle.h"
#include "gateway/GatewayState.h"
#include "settings/PortSettings.h"
#include "gateway/SendWorker.h"

namespace varnix {

class SerialPort final : public ModemPort {
 public:
  SerialPort();
  ~SerialPort() override;  // closes an open port as PortClose does
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens "COM<Port>" exclusively for overlapped I/O and configures the line
  // from Port, Bit, Stop, Parity and Baud (Delay is not used). Returns the
  // handle value, or kNoPort on any failure, including Port or Baud <= 0,
  // and when this object is open already (the open port stays as it is).
  // A failed open leaves nothing open behind.
  std::intptr_t PortOpen(const PortSettings& settings);

  // Drops DTR, purges and closes. 1 when the device was closed, 0 when
  // nothing was open (never opened, closed already, or the open failed).
  int PortClose();

  // Purges both directions, raises DTR, writes `count` bytes, drops DTR.
  // 1 when all bytes were written, else 0 (and 0 without effect when the
  // port is not open).
  int PortSend(const void* data, int count);

  // Reads the bytes already waiting, at most `max`; never waits for more.
  // Returns how many were placed in `buffer` (0 when none: the buffer is not
  // touched, nor is it when the port is not open).
  int PortReceive(void* buffer, int max);

  // A write, read or status call failed as it does when the device went
  // away (a USB modem unplugged): such a handle never works again. Cleared
  // by the next successful PortOpen.
  bool DeviceLost() const { return lost_; }

  int Send(const void* data, int count) override { return PortSend(data, count); }
  int Receive(void* buffer, int max) override { return PortReceive(buffer, max); }

 private:
  // Declared in the order of opening, so that the members alone would also
  // close the device before the claim is given up.
  win32::KernelHandle claim_;
  win32::FileHandle device_;
  win32::KernelHandle writeDone_;
  win32::KernelHandle readDone_;
  OVERLAPPED write_{};
  OVERLAPPED read_{};
  bool lost_ = false;
};

}  // namespace varnix
