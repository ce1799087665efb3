// RegistryAccess: the registry of the local machine, as the filter reads and
// (for the event-source registration only) writes it.
//
// The operations mirror the advapi32 calls they stand for, on keys below
// HKEY_LOCAL_MACHINE named by a backslash-separated path such as
// "SOFTWARE\Turnpike". Key paths and value names compare without regard to
// ASCII letter case, as in the Windows registry. Values of a key enumerate in
// a stable order, index 0 first.
//
// Text data is 8-bit (the ANSI view of the registry): a REG_SZ value's data
// is its bytes and a terminating NUL, and its size counts that NUL.
//
// Implementations must allow reads from several threads at once; the filter
// only reads and writes at start-up, with no request running.
#pragma once

#include <cstdint>
#include <utility>

namespace turnpike {

// Registry value types (REG_*), with their Windows numbers.
enum class RegistryType : std::uint32_t {
  None = 0,      // REG_NONE
  Sz = 1,        // REG_SZ
  ExpandSz = 2,  // REG_EXPAND_SZ
  Binary = 3,    // REG_BINARY
  Dword = 4,     // REG_DWORD (little-endian)
  MultiSz = 7,   // REG_MULTI_SZ
  Qword = 11,    // REG_QWORD
};

// Access asked for when opening a key.
enum class RegistryAccessMode {
  QueryValue,  // KEY_QUERY_VALUE
  Read,        // KEY_READ
};

// An open key; 0 is no key.
using RegistryKeyHandle = std::uintptr_t;

class RegistryAccess {
 public:
  virtual ~RegistryAccess() = default;

  // RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access): true with a handle.
  virtual bool OpenKey(const char* path, RegistryAccessMode access,
                       RegistryKeyHandle* key) = 0;

  // RegCreateKeyA(HKEY_LOCAL_MACHINE, path): creates the key (and the keys
  // above it) or opens it when it exists; true with a handle.
  virtual bool CreateKey(const char* path, RegistryKeyHandle* key) = 0;

  // RegCloseKey.
  virtual void CloseKey(RegistryKeyHandle key) = 0;

  // RegQueryValueExA. With `data` null: true with the type and the data size
  // in `*size`. With a buffer of `*size` bytes: true with the data, its size
  // in `*size`; false when the data does not fit. `type` may be null.
  virtual bool QueryValue(RegistryKeyHandle key, const char* name, RegistryType* type,
                          void* data, std::uint32_t* size) = 0;

  // RegEnumValueA for the value at `index`. `name` has room for
  // `*name_capacity` characters including the terminator; on success
  // `*name_capacity` holds the name's length. With `data` null only the type
  // and the size are given; otherwise `*data_size` is the buffer's size and
  // receives the data's. False when there is no value at `index`, when the
  // name does not fit, when the data does not fit, or on any other error.
  virtual bool EnumValue(RegistryKeyHandle key, std::uint32_t index, char* name,
                         std::uint32_t* name_capacity, RegistryType* type, void* data,
                         std::uint32_t* data_size) = 0;

  // RegSetValueExA: stores `size` bytes of `data` as the value `name`.
  virtual bool SetValue(RegistryKeyHandle key, const char* name, RegistryType type,
                        const void* data, std::uint32_t size) = 0;
};

// Owns an open key and closes it when it goes out of scope.
class ScopedRegistryKey {
 public:
  explicit ScopedRegistryKey(RegistryAccess& registry) noexcept : registry_(&registry) {}
  ScopedRegistryKey(const ScopedRegistryKey&) = delete;
  ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;
  ScopedRegistryKey(ScopedRegistryKey&& other) noexcept
      : registry_(other.registry_), key_(std::exchange(other.key_, 0)) {}
  ScopedRegistryKey& operator=(ScopedRegistryKey&&) = delete;
  ~ScopedRegistryKey() { Close(); }

  // Where the open call stores the handle.
  RegistryKeyHandle* out() noexcept { return &key_; }
  RegistryKeyHandle get() const noexcept { return key_; }

  void Close() noexcept {
    if (key_ != 0) registry_->CloseKey(std::exchange(key_, 0));
  }

 private:
  RegistryAccess* registry_;
  RegistryKeyHandle key_ = 0;
};

}  // namespace turnpike
