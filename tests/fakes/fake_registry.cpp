#include "fakes/fake_registry.h"

#include <cstring>

#include "common/ascii.h"

namespace turnpike {

std::string FakeRegistry::Fold(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) c = AsciiToLower(c);
  return folded;
}

void FakeRegistry::AddKey(const std::string& path) { keys_[Fold(path)]; }

void FakeRegistry::SetRaw(const std::string& path, const std::string& name, RegistryType type,
                          std::string data) {
  AddKey(path);
  if (Value* existing = FindValue(path, name)) {
    existing->type = type;
    existing->data = std::move(data);
    return;
  }
  keys_[Fold(path)].push_back(Value{name, type, std::move(data)});
}

void FakeRegistry::SetString(const std::string& path, const std::string& name,
                             const std::string& text) {
  SetRaw(path, name, RegistryType::Sz, text + '\0');
}

void FakeRegistry::SetDword(const std::string& path, const std::string& name,
                            std::uint32_t value) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
  SetRaw(path, name, RegistryType::Dword, std::move(data));
}

bool FakeRegistry::HasKey(const std::string& path) const { return keys_.count(Fold(path)) != 0; }

const std::vector<FakeRegistry::Value>* FakeRegistry::ValuesOf(const std::string& path) const {
  auto it = keys_.find(Fold(path));
  return it == keys_.end() ? nullptr : &it->second;
}

FakeRegistry::Value* FakeRegistry::FindValue(const std::string& path, const std::string& name) {
  auto it = keys_.find(Fold(path));
  if (it == keys_.end()) return nullptr;
  for (Value& value : it->second) {
    if (AsciiEqualsIgnoreCase(value.name, name)) return &value;
  }
  return nullptr;
}

bool FakeRegistry::OpenKey(const char* path, RegistryAccessMode, RegistryKeyHandle* key) {
  if (Failing("OpenKey") || !HasKey(path)) return false;
  *key = next_handle_++;
  handles_[*key] = path;
  ++open_keys_;
  return true;
}

bool FakeRegistry::CreateKey(const char* path, RegistryKeyHandle* key) {
  if (Failing("CreateKey")) return false;
  AddKey(path);
  *key = next_handle_++;
  handles_[*key] = path;
  ++open_keys_;
  return true;
}

void FakeRegistry::CloseKey(RegistryKeyHandle key) {
  if (handles_.erase(key) != 0) --open_keys_;
}

bool FakeRegistry::QueryValue(RegistryKeyHandle key, const char* name, RegistryType* type,
                              void* data, std::uint32_t* size) {
  if (Failing("QueryValue") || handles_.count(key) == 0) return false;
  const Value* value = FindValue(handles_[key], name);
  if (value == nullptr) return false;
  if (type != nullptr) *type = value->type;
  const auto stored = static_cast<std::uint32_t>(value->data.size());
  if (data != nullptr) {
    if (*size < stored) {
      *size = stored;
      return false;
    }
    std::memcpy(data, value->data.data(), stored);
  }
  *size = stored;
  return true;
}

bool FakeRegistry::EnumValue(RegistryKeyHandle key, std::uint32_t index, char* name,
                             std::uint32_t* name_capacity, RegistryType* type, void* data,
                             std::uint32_t* data_size) {
  if (Failing("EnumValue") || handles_.count(key) == 0) return false;
  const std::vector<Value>& values = keys_[Fold(handles_[key])];
  if (index >= values.size()) return false;
  const Value& value = values[index];
  if (value.name.size() + 1 > *name_capacity) return false;
  std::memcpy(name, value.name.c_str(), value.name.size() + 1);
  *name_capacity = static_cast<std::uint32_t>(value.name.size());
  if (type != nullptr) *type = value.type;
  const auto stored = static_cast<std::uint32_t>(value.data.size());
  if (data != nullptr) {
    if (*data_size < stored) return false;
    std::memcpy(data, value.data.data(), stored);
  }
  *data_size = stored;
  return true;
}

bool FakeRegistry::SetValue(RegistryKeyHandle key, const char* name, RegistryType type,
                            const void* data, std::uint32_t size) {
  if (Failing("SetValue") || handles_.count(key) == 0) return false;
  SetRaw(handles_[key], name, type, std::string(static_cast<const char*>(data), size));
  return true;
}

}  // namespace turnpike
