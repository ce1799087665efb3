// RegFileRegistry: the registry of the local machine, read from a .reg file.
//
// The file is the one an administrator would import with regedit on Windows:
//   - header "Windows Registry Editor Version 5.00" or "REGEDIT4";
//   - UTF-16LE with a byte-order mark (as regedit writes it), or UTF-8/ASCII
//     with or without a byte-order mark; UTF-16 reaches the filter as UTF-8,
//     8-bit text byte for byte (a REGEDIT4 file in an ANSI code page stays
//     in it);
//   - [HKEY_LOCAL_MACHINE\...] sections ([-...] removes a key read earlier,
//     with its subkeys); the other roots (HKEY_CURRENT_USER, ...) are read
//     but kept apart, out of reach of RegistryAccess;
//   - "Name"="text" (REG_SZ, with \\ and \" escapes), @= for the default
//     value, "Name"=dword:0000000a, "Name"=hex:... (REG_BINARY),
//     hex(2):... (REG_EXPAND_SZ), hex(7):... (REG_MULTI_SZ), hex(N):...,
//     "Name"=- to remove a value; hex lists may continue over lines ending
//     in '\'; lines starting with ';' are comments.
// In a version 5 file, hex(1), hex(2) and hex(7) data are UTF-16LE, as
// regedit writes them, and are converted to 8-bit text like every other
// string, as the registry's ANSI view would hand them over.
//
// A missing file is an empty registry (opening any key fails). A file that
// is malformed is refused whole: the registry is empty and problem() says
// "file:line: what is wrong". A file that cannot be read, or is larger than
// 1 MiB, is refused the same way with "file: reason". Nothing is half-loaded.
// Keys above a section exist without a section of their own, as in the
// registry.
//
// Keys and values written at run time (the event-source registration) live
// in memory only; the file is never written. Values of a key enumerate in
// file order. Key paths and value names compare without regard to ASCII case.
//
// Handles are never reused: a closed handle stays invalid.
//
// Thread-safe: any number of readers at once; writers (and opening or closing
// a key) take the lock alone. A moved-from registry refuses every operation.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/registry_access.h"

namespace turnpike {

inline constexpr const char* kDefaultRegistryFile = "/etc/turnpike/turnpike.reg";
inline constexpr const char* kRegistryFileVariable = "TURNPIKE_REGISTRY";

// The registry file to use: `configured` when given (a host's directive or a
// command-line option), else $TURNPIKE_REGISTRY, else kDefaultRegistryFile.
std::string ResolveRegistryPath(const char* configured);

class RegFileRegistry final : public RegistryAccess {
 public:
  RegFileRegistry();
  ~RegFileRegistry() override;
  RegFileRegistry(RegFileRegistry&&) noexcept;
  RegFileRegistry& operator=(RegFileRegistry&&) noexcept;

  // Reads `path`. See the class comment for what a missing or bad file gives.
  static RegFileRegistry FromFile(const std::string& path);

  // Parses `bytes` as the contents of a file named `source_name` (used in
  // problem descriptions).
  static RegFileRegistry FromText(std::string_view bytes, std::string_view source_name);

  // Why the file was refused, as "file:line: what is wrong"; nothing when it
  // was read, or when it does not exist.
  const std::optional<std::string>& problem() const noexcept;

  // Whether the file existed.
  bool file_found() const noexcept;

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
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace turnpike
