// The modem's COM port on the Win32 communications API: PortOpen, PortClose,
// PortSend and PortReceive, and the ModemPort the send worker talks to.
//
// The four operations are plain functions returning plain integers and never
// throw. They hold no lock: the port is used from one thread at a time
// (start-up on the GUI thread, then only the worker, then the shutdown).
#pragma once

#include <cstdint>

#include "uMain/GatewayState.h"
#include "uMeter/PortSettings.h"
#include "uMeter/SendWorker.h"

namespace varnix {

// Opens "COM<Port>" exclusively for overlapped I/O and configures the line
// from Port, Bit, Stop, Parity and Baud (Delay is not used). Returns the
// handle, or -1 (kNoPort) on any failure, including Port or Baud <= 0.
std::intptr_t PortOpen(const PortSettings& settings);

// Drops DTR, purges and closes. Only a handle that PortOpen returned and that
// is still open is acted on; anything else (-1, a closed handle) returns 0.
int PortClose(std::intptr_t handle);

// Purges both directions, raises DTR, writes `count` bytes, drops DTR.
// 1 when all bytes were written, else 0. Works on state.portHandle.
int PortSend(GatewayState& state, const void* data, int count);

// Reads the bytes already waiting, at most `max`; never waits for more.
// Returns how many were placed in `buffer` (0 when none: the buffer is not
// touched). Works on state.portHandle.
int PortReceive(GatewayState& state, void* buffer, int max);

// The send worker's view of the gateway's port.
class Win32ModemPort final : public ModemPort {
 public:
  explicit Win32ModemPort(GatewayState& state) : state_(state) {}
  int Send(const void* data, int count) override { return PortSend(state_, data, count); }
  int Receive(void* buffer, int max) override { return PortReceive(state_, buffer, max); }

 private:
  GatewayState& state_;
};

}  // namespace varnix
