// Settings loading from whatever the registry holds: values of any type and
// size under both roots, roots that cannot be opened for writing, values
// whose write fails.
//
// Input: one flag byte (bit 0: HKLM read-only, bit 1: HKCU read-only,
// bits 2-7: the six value names whose write fails), then records of one
// byte (bit 0 root, bits 1-3 name: the six names, "port" and "Other"; bits
// 4-5 type: DWORD, string, binary; bit 6: leave the value out), one byte of
// size (mod 9) and that many data bytes.
#include <cstdint>
#include <exception>
#include <string>

#include "FuzzInput.h"
#include "support/MemoryRegistry.h"
#include "settings/PortSettings.h"

using namespace varnix;
using varnix::fuzz::FuzzInput;
using Registry = varnix::testing::MemoryRegistry;

namespace {

const char* const kNames[] = {"Port", "Bit", "Stop", "Parity", "Baud", "Delay", "port", "Other"};

bool IsRegistryText(const std::string& text) {
  for (int i = 0; i < 6; ++i) {
    const std::string name = kNames[i];
    if (text == FailedToGetData(name) || text == InvalidDataType(name) ||
        text == FailedToSetData(name)) {
      return true;
    }
  }
  return false;
}

void Fill(Registry& reg, FuzzInput& in) {
  const std::uint8_t flags = in.Byte();
  if (flags & 1) reg.readOnlyRoots.insert(RegistryRoot::kLocalMachine);
  if (flags & 2) reg.readOnlyRoots.insert(RegistryRoot::kCurrentUser);
  for (int i = 0; i < 6; ++i) {
    if (flags & (4 << i)) reg.failingWrites.insert(kNames[i]);
  }
  for (int records = 0; !in.Empty() && records < 32; ++records) {
    const std::uint8_t r = in.Byte();
    const RegistryRoot root = (r & 1) ? RegistryRoot::kCurrentUser : RegistryRoot::kLocalMachine;
    const std::string name = kNames[(r >> 1) & 7];
    const auto type = static_cast<Registry::Type>(((r >> 4) & 3) % 3);
    const std::string bytes = in.Bytes(in.Byte() % 9);
    if (r & 0x40) {
      reg.KeyAt(root, kSettingsKey);  // the key exists, the value not
      continue;
    }
    // Never a null data() for an empty value: the in-memory registry
    // memcpy's from it, which is undefined for a null source even at size 0.
    std::vector<std::uint8_t> value;
    value.reserve(8);
    value.assign(bytes.begin(), bytes.end());
    reg.PutRaw(root, kSettingsKey, name, type, std::move(value));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Start-up: never throws, reports one of the registry texts, leaves the
  // key closed.
  {
    FuzzInput in(data, size);
    Registry reg;
    Fill(reg, in);
    PortSettings s;
    std::optional<std::string> error;
    try {
      error = LoadSettingsAtStartup(s, reg);
    } catch (...) {
      varnix::fuzz::Fail("LoadSettingsAtStartup threw");
    }
    if (error) FUZZ_CHECK(IsRegistryText(*error), *error);
    FUZZ_CHECK(!reg.KeyOpen(), "key left open");
    FUZZ_CHECK(!reg.log.empty() && reg.log.back() == "close", "no close at the end");
    if (!error && !reg.SettingsReadOnly()) {
      // Loaded or defaulted: either way the key it used now holds them all
      // (the administrator's read-only key is never written).
      Registry::Key* key = nullptr;
      for (RegistryRoot root : {RegistryRoot::kLocalMachine, RegistryRoot::kCurrentUser}) {
        if (!reg.readOnlyRoots.count(root) && reg.HasKey(root, kSettingsKey)) {
          key = &reg.KeyAt(root, kSettingsKey);
          break;
        }
      }
      FUZZ_CHECK(key != nullptr, "loaded without a usable key");
      FUZZ_CHECK(key->count("Port") == 1);
    }
  }
  // The load itself on an open key: only RegistryError, only its texts;
  // values read before a failure are kept.
  {
    FuzzInput in(data, size);
    Registry reg;
    Fill(reg, in);
    reg.SetRootKey(RegistryRoot::kLocalMachine);
    reg.OpenKey(kSettingsKey, true);
    PortSettings s;
    try {
      LoadPortSettings(s, reg);
      FUZZ_CHECK(reg.ValueExists("Port"));
    } catch (const RegistryError& e) {
      FUZZ_CHECK(IsRegistryText(e.what()), e.what());
    } catch (const std::exception& e) {
      varnix::fuzz::Fail("LoadPortSettings threw something else", e.what());
    } catch (...) {
      varnix::fuzz::Fail("LoadPortSettings threw a non-exception");
    }
  }
  return 0;
}
