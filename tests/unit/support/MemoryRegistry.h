// An in-memory registry for the settings tests: two roots, keys by path,
// values with a type and raw bytes, and switches to make opens or writes
// fail the way a user without rights sees them.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "settings/PortSettings.h"

namespace varnix::testing {

class MemoryRegistry final : public RegistryAccessor {
 public:
  enum class Type { kDword, kString, kBinary };
  struct Value {
    Type type = Type::kDword;
    std::vector<std::uint8_t> data;
  };
  using Key = std::map<std::string, Value>;

  // Roots whose keys cannot be opened for writing.
  std::set<RegistryRoot> readOnlyRoots;
  // Value names whose write fails.
  std::set<std::string> failingWrites;
  std::vector<std::string> log;  // operations in order, for sequence checks

  Key& KeyAt(RegistryRoot root, const std::string& path) { return keys_[{root, path}]; }
  bool HasKey(RegistryRoot root, const std::string& path) const {
    return keys_.count({root, path}) != 0;
  }
  void PutDword(RegistryRoot root, const std::string& path, const std::string& name,
                std::int32_t v) {
    Value value;
    value.data.resize(4);
    std::memcpy(value.data.data(), &v, 4);
    KeyAt(root, path)[name] = value;
  }
  void PutRaw(RegistryRoot root, const std::string& path, const std::string& name, Type type,
              std::vector<std::uint8_t> data) {
    KeyAt(root, path)[name] = Value{type, std::move(data)};
  }
  bool KeyOpen() const { return open_ != nullptr; }

  void SetRootKey(RegistryRoot root) override {
    log.push_back(root == RegistryRoot::kLocalMachine ? "root HKLM" : "root HKCU");
    root_ = root;
  }
  bool OpenKey(const std::string& path, bool canCreate) override {
    log.push_back("open " + path);
    open_ = nullptr;
    openReadOnly_ = false;
    if (readOnlyRoots.count(root_)) return false;
    auto it = keys_.find({root_, path});
    if (it == keys_.end()) {
      if (!canCreate) return false;
      it = keys_.emplace(std::make_pair(root_, path), Key{}).first;
    }
    open_ = &it->second;
    return true;
  }
  bool OpenKeyReadOnly(const std::string& path) override {
    log.push_back("open read-only " + path);
    auto it = keys_.find({root_, path});
    open_ = it == keys_.end() ? nullptr : &it->second;
    openReadOnly_ = open_ != nullptr;
    return open_ != nullptr;
  }
  bool ValueExists(const std::string& name) override {
    return open_ != nullptr && open_->count(name) != 0;
  }
  std::int32_t ReadInteger(const std::string& name) override {
    log.push_back("read " + name);
    if (open_ == nullptr || !open_->count(name)) throw RegistryError(FailedToGetData(name));
    const Value& v = open_->at(name);
    if (v.data.size() > 4) throw RegistryError(FailedToGetData(name));
    if (v.type != Type::kDword) throw RegistryError(InvalidDataType(name));
    std::int32_t out = 0;
    if (!v.data.empty()) std::memcpy(&out, v.data.data(), v.data.size());
    return out;
  }
  void WriteInteger(const std::string& name, std::int32_t value) override {
    log.push_back("write " + name);
    if (open_ == nullptr || openReadOnly_ || failingWrites.count(name))
      throw RegistryError(FailedToSetData(name));
    Value v;
    v.data.resize(4);
    std::memcpy(v.data.data(), &value, 4);
    (*open_)[name] = v;
  }
  void CloseKey() override {
    log.push_back("close");
    open_ = nullptr;
  }

 private:
  std::map<std::pair<RegistryRoot, std::string>, Key> keys_;
  RegistryRoot root_ = RegistryRoot::kLocalMachine;
  Key* open_ = nullptr;
  bool openReadOnly_ = false;
};

}  // namespace varnix::testing
