// The send worker on the real COM1: opens it with the default line settings,
// queues the entries given on the command line (converted to the ANSI code
// page, as DDE clients deliver them), runs SendWorker until every entry
// has been reported, then stops it and closes the port.
//
//   worker_probe DELAY ENTRY...
//
// Prints "acp <code page>", "entry <ANSI bytes in hex>" per entry,
// "done <statusText>" after each report and "end".
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "win32/SerialPort.h"
#include "win32/WinText.h"
#include "text/AnsiCodec.h"
#include "gateway/SendWorker.h"
#include "message/ClientMessage.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::printf("usage: worker_probe DELAY ENTRY...\n");
    return 2;
  }
  std::printf("acp %u\n", GetACP());

  varnix::GatewayState state;
  varnix::SerialPort port;
  varnix::PortSettings settings = varnix::PortSettings::Defaults();
  settings.Delay = static_cast<std::int32_t>(std::wcstol(argv[1], nullptr, 10));
  state.portHandle = port.PortOpen(settings);
  std::printf("open %d\n", state.portHandle != varnix::kNoPort ? 1 : 0);
  std::fflush(stdout);
  if (state.portHandle == varnix::kNoPort) return 1;

  std::mutex m;
  std::condition_variable cv;
  int done = 0;
  varnix::SystemWorkerClock clock;
  auto codec = varnix::MakeSystemAnsiCodec();
  varnix::SendWorker worker(state, port, clock, settings.Delay, [&] {
    std::lock_guard<std::mutex> lock(m);
    std::printf("done %s\n", state.statusText.Get().c_str());
    std::fflush(stdout);
    ++done;
    cv.notify_all();
  });

  const int entries = argc - 2;
  for (int i = 2; i < argc; ++i) {
    const std::string entry = varnix::win32::WideToAnsi(argv[i]);
    std::string hex;
    for (unsigned char c : entry) {
      char b[3];
      std::snprintf(b, sizeof b, "%02x", c);
      hex += b;
    }
    std::printf("entry %s\n", hex.c_str());
    // Decoded as a poked entry is where it is accepted.
    state.sendQueue.Append(varnix::Decode(varnix::ClientMessage{0, entry, false, {}}, codec.get()));
  }
  std::fflush(stdout);

  worker.Start();
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, std::chrono::seconds(30 * entries), [&] { return done == entries; });
  }
  state.RequestStop();
  worker.Join();
  state.sendQueue.Release();
  port.PortClose();
  std::printf("end %d\n", done);
  std::fflush(stdout);
  return done == entries ? 0 : 1;
}
