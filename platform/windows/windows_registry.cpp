#include "platform/windows/windows_registry.h"

#include <windows.h>

namespace turnpike {
namespace {

HKEY ToHkey(RegistryKeyHandle key) noexcept { return reinterpret_cast<HKEY>(key); }
RegistryKeyHandle FromHkey(HKEY key) noexcept { return reinterpret_cast<RegistryKeyHandle>(key); }

}  // namespace

bool WindowsRegistry::OpenKey(const char* path, RegistryAccessMode access,
                              RegistryKeyHandle* key) {
  const REGSAM rights = access == RegistryAccessMode::QueryValue ? KEY_QUERY_VALUE : KEY_READ;
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, rights, &opened) != ERROR_SUCCESS) return false;
  *key = FromHkey(opened);
  return true;
}

bool WindowsRegistry::CreateKey(const char* path, RegistryKeyHandle* key) {
  HKEY created = nullptr;
  if (RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &created) != ERROR_SUCCESS) return false;
  *key = FromHkey(created);
  return true;
}

void WindowsRegistry::CloseKey(RegistryKeyHandle key) { (void)RegCloseKey(ToHkey(key)); }

bool WindowsRegistry::QueryValue(RegistryKeyHandle key, const char* name, RegistryType* type,
                                 void* data, std::uint32_t* size) {
  DWORD stored_type = REG_NONE;
  DWORD stored_size = size != nullptr ? *size : 0;
  if (RegQueryValueExA(ToHkey(key), name, nullptr, &stored_type, static_cast<BYTE*>(data),
                       size != nullptr ? &stored_size : nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (type != nullptr) *type = static_cast<RegistryType>(stored_type);
  if (size != nullptr) *size = stored_size;
  return true;
}

bool WindowsRegistry::EnumValue(RegistryKeyHandle key, std::uint32_t index, char* name,
                                std::uint32_t* name_capacity, RegistryType* type, void* data,
                                std::uint32_t* data_size) {
  DWORD name_length = *name_capacity;
  DWORD stored_type = REG_NONE;
  DWORD stored_size = data_size != nullptr ? *data_size : 0;
  if (RegEnumValueA(ToHkey(key), index, name, &name_length, nullptr, &stored_type,
                    static_cast<BYTE*>(data),
                    data_size != nullptr ? &stored_size : nullptr) != ERROR_SUCCESS) {
    return false;
  }
  *name_capacity = name_length;
  if (type != nullptr) *type = static_cast<RegistryType>(stored_type);
  if (data_size != nullptr) *data_size = stored_size;
  return true;
}

bool WindowsRegistry::SetValue(RegistryKeyHandle key, const char* name, RegistryType type,
                               const void* data, std::uint32_t size) {
  return RegSetValueExA(ToHkey(key), name, 0, static_cast<DWORD>(type),
                        static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

}  // namespace turnpike
