// WindowsRegistry: RegistryAccess over the advapi32 registry functions, on
// HKEY_LOCAL_MACHINE, in their ANSI forms.
//
// Each operation is one call: RegOpenKeyExA (KEY_QUERY_VALUE or KEY_READ),
// RegCreateKeyA, RegCloseKey, RegQueryValueExA, RegEnumValueA and
// RegSetValueExA. The handles it gives out are the HKEYs themselves; the
// caller owns them (ScopedRegistryKey) and closes them here. No state of its
// own: thread-safe as the registry is. A 32-bit worker process reads the
// 32-bit view of SOFTWARE (WOW6432Node), as Windows redirects it.
#pragma once

#include "platform/registry_access.h"

namespace turnpike {

class WindowsRegistry final : public RegistryAccess {
 public:
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
};

}  // namespace turnpike
