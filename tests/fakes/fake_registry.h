// FakeRegistry: a registry built by tests, value by value, that can be told
// to fail any of its operations and counts the keys left open.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/registry_access.h"

namespace turnpike {

class FakeRegistry final : public RegistryAccess {
 public:
  struct Value {
    std::string name;
    RegistryType type;
    std::string data;  // raw bytes, as stored
  };

  // Builders. Key paths are below HKEY_LOCAL_MACHINE.
  void AddKey(const std::string& path);
  // REG_SZ: the text and its terminating NUL.
  void SetString(const std::string& path, const std::string& name, const std::string& text);
  void SetDword(const std::string& path, const std::string& name, std::uint32_t value);
  void SetRaw(const std::string& path, const std::string& name, RegistryType type,
              std::string data);

  // Failure switches, by operation name: "OpenKey", "CreateKey", "QueryValue",
  // "EnumValue", "SetValue".
  void Fail(const std::string& operation) { failing_.insert(operation); }

  bool HasKey(const std::string& path) const;
  const std::vector<Value>* ValuesOf(const std::string& path) const;
  int open_keys() const { return open_keys_; }

  bool OpenKey(const char* path, RegistryAccessMode access, RegistryKeyHandle* key) override;
  bool CreateKey(const char* path, RegistryKeyHandle* key) override;
  void CloseKey(RegistryKeyHandle key) override;
  bool QueryValue(RegistryKeyHandle key, const char* name, RegistryType* type, void* data,
                  std::uint32_t* size) override;
  bool EnumValue(RegistryKeyHandle key, std::uint32_t index, char* name,
                 std::uint32_t* name_capacity, RegistryType* type, void* data,
                 std::uint32_t* data_size) override;
  bool SetValue(RegistryKeyHandle key, const char* name, RegistryType type, const void* data,
                std::uint32_t size) override;

 private:
  static std::string Fold(const std::string& text);
  Value* FindValue(const std::string& path, const std::string& name);
  bool Failing(const char* operation) const { return failing_.count(operation) != 0; }

  std::map<std::string, std::vector<Value>> keys_;  // folded path -> values in order
  std::map<RegistryKeyHandle, std::string> handles_;
  RegistryKeyHandle next_handle_ = 1;
  int open_keys_ = 0;
  std::set<std::string> failing_;
};

}  // namespace turnpike
