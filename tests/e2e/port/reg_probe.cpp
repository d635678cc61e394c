// Drives TRegistry and the settings' load and save step by step, as the
// command line says, printing one line per step:
//
//   root lm|cu            SetRootKey
//   open PATH|settings    OpenKey(.., creation allowed) -> "open <0|1>"
//   openonly PATH         OpenKey(.., no creation)      -> "open <0|1>"
//   exists NAME           ValueExists                   -> "exists NAME <0|1>"
//   read NAME             ReadInteger      -> "read NAME <value>" | "error <text>"
//   write NAME VALUE      WriteInteger     -> "write NAME ok"     | "error <text>"
//   close                 CloseKey
//   load                  LoadPortSettings into a zeroed record
//                         -> "load ok|error <text>" and "fields P B S Par Baud Delay"
//   save P B S Par Baud D SavePortSettings -> "save ok" | "error <text>"
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "win32/Registry.h"
#include "win32/WinText.h"

namespace {

// Names and paths reach TRegistry in the ANSI code page, as the program's
// own are.
std::string Narrow(const wchar_t* w) { return varnix::win32::WideToAnsi(w); }

int Int(const wchar_t* s) { return static_cast<int>(std::wcstol(s, nullptr, 10)); }

void PrintFields(const varnix::PortSettings& s) {
  std::printf("fields %d %d %d %d %d %d\n", s.Port, s.Bit, s.Stop, s.Parity, s.Baud,
              s.Delay.load());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  varnix::TRegistry reg;
  varnix::PortSettings settings;
  for (int i = 1; i < argc; ++i) {
    const std::wstring op = argv[i];
    auto next = [&]() -> const wchar_t* {
      if (i + 1 >= argc) {
        std::printf("missing argument after %ls\n", op.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    try {
      if (op == L"root") {
        reg.SetRootKey(std::wstring(next()) == L"cu" ? varnix::RegistryRoot::kCurrentUser
                                                     : varnix::RegistryRoot::kLocalMachine);
      } else if (op == L"open" || op == L"openonly") {
        std::string path = Narrow(next());
        if (path == "settings") path = varnix::kSettingsKey;
        std::printf("open %d\n", reg.OpenKey(path, op == L"open") ? 1 : 0);
      } else if (op == L"exists") {
        const std::string name = Narrow(next());
        std::printf("exists %s %d\n", name.c_str(), reg.ValueExists(name) ? 1 : 0);
      } else if (op == L"read") {
        const std::string name = Narrow(next());
        const std::int32_t v = reg.ReadInteger(name);
        std::printf("read %s %d\n", name.c_str(), v);
      } else if (op == L"write") {
        const std::string name = Narrow(next());
        reg.WriteInteger(name, Int(next()));
        std::printf("write %s ok\n", name.c_str());
      } else if (op == L"close") {
        reg.CloseKey();
      } else if (op == L"load") {
        settings = varnix::PortSettings{};
        try {
          varnix::LoadPortSettings(settings, reg);
          std::printf("load ok\n");
        } catch (const varnix::RegistryError& e) {
          std::printf("load error %s\n", e.what());
        }
        PrintFields(settings);
      } else if (op == L"save") {
        varnix::PortSettings s;
        s.Port = Int(next());
        s.Bit = Int(next());
        s.Stop = Int(next());
        s.Parity = Int(next());
        s.Baud = Int(next());
        s.Delay = Int(next());
        varnix::SavePortSettings(reg, s);
        std::printf("save ok\n");
      } else {
        std::printf("unknown step %ls\n", op.c_str());
        return 2;
      }
    } catch (const varnix::RegistryError& e) {
      std::printf("error %s\n", e.what());
    }
    std::fflush(stdout);
  }
  std::printf("end\n");
  return 0;
}
