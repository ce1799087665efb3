#include "config/settings_loader.h"

#include <cstdint>
#include <memory>

#include "common/ascii.h"

namespace turnpike {
namespace {

constexpr const char* kKeyUnreadable =
    "The Turnpike configuration registry key could not be read, please verify that the key "
    "exists and is set correctly";
constexpr const char* kValueMissing =
    "A Turnpike registry configuration value is missing or null, please set a valid value for";
constexpr const char* kNoPaths =
    "The Turnpike Paths registry key could not be read or does not have any path values "
    "defined, please set up one or more paths in";

// A number that may be left out: `absent` when it is, otherwise a REG_DWORD
// from 1 to `maximum`.
struct OptionalNumber {
  const char* name;
  std::uint32_t FilterSettings::*field;
  std::uint32_t absent;
  std::uint32_t maximum;
};

// False when the value is there but unusable. An administrator who wrote it
// expects it to apply, so it is refused rather than silently replaced by the
// default. 0 is unusable for both numbers: no ticket could ever be validated
// (MaxValidations), or a validation would wait on the CAS server for ever
// (ValidationTimeout).
bool ReadOptionalNumber(RegistryAccess& registry, RegistryKeyHandle key,
                        const OptionalNumber& value, FilterSettings& settings) {
  std::uint32_t size = 0;
  if (!registry.QueryValue(key, value.name, nullptr, nullptr, &size)) {
    settings.*value.field = value.absent;
    return true;
  }
  std::uint32_t number = 0;
  if (!ReadDwordValue(registry, key, value.name, number) || number == 0 ||
      number > value.maximum) {
    return false;
  }
  settings.*value.field = number;
  return true;
}

// The text of REG_SZ data: its bytes up to the first NUL, whether or not the
// stored data ends in one.
std::string TextOf(const char* data, std::uint32_t size) {
  std::string_view text(data, size);
  return std::string(text.substr(0, text.find('\0')));
}

}  // namespace

std::optional<std::string> ServerBaseOf(std::string_view text) {
  std::size_t scheme = 0;
  if (text.size() > 7 && AsciiEqualsIgnoreCase(text.substr(0, 7), "http://")) scheme = 7;
  if (text.size() > 8 && AsciiEqualsIgnoreCase(text.substr(0, 8), "https://")) scheme = 8;
  if (scheme == 0) return std::nullopt;
  if (text.back() == '/') text.remove_suffix(1);
  const std::string_view authority = text.substr(scheme);
  if (authority.empty() || authority.front() == ':' || authority.back() == ':') return std::nullopt;
  for (const char c : authority) {
    // A name, an IPv4 or bracketed IPv6 address, a port: no path, query,
    // user information, blank or control byte, which would change the URL's
    // meaning or the answers' header lines.
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                         c == '-' || c == '.' || c == ':' || c == '[' || c == ']' || c == '_';
    if (!allowed) return std::nullopt;
  }
  return std::string(text);
}

std::optional<std::string> ReadStringValue(RegistryAccess& registry, RegistryKeyHandle key,
                                           const char* name) {
  RegistryType type = RegistryType::None;
  std::uint32_t size = 0;
  if (!registry.QueryValue(key, name, &type, nullptr, &size)) return std::nullopt;
  if (type != RegistryType::Sz || size <= 1) return std::nullopt;
  auto data = std::make_unique<char[]>(size);
  if (!registry.QueryValue(key, name, nullptr, data.get(), &size)) return std::nullopt;
  return TextOf(data.get(), size);
}

bool ReadDwordValue(RegistryAccess& registry, RegistryKeyHandle key, const char* name,
                    std::uint32_t& field) {
  RegistryType type = RegistryType::None;
  std::uint32_t size = 0;
  unsigned char data[4];
  // A REG_DWORD of another size is as unusable as a value of another type:
  // a shorter one would leave part of the number unset.
  if (!registry.QueryValue(key, name, &type, nullptr, &size)) return false;
  if (type != RegistryType::Dword || size != sizeof data) return false;
  if (!registry.QueryValue(key, name, nullptr, data, &size) || size != sizeof data) return false;
  field = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
          static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
  return true;
}

bool LoadSettings(RegistryAccess& registry, const EventReporter& reporter,
                  FilterSettings& settings) {
  ScopedRegistryKey key(registry);
  if (!registry.OpenKey(kSettingsKey, RegistryAccessMode::QueryValue, key.out())) {
    reporter.LogEvent(EventType::Error, kKeyUnreadable, kSettingsKey);
    return false;
  }

  struct TextValue {
    const char* name;
    std::optional<std::string> FilterSettings::*field;
  };
  static constexpr TextValue kTextValues[] = {
      {"ServerURL", &FilterSettings::ServerURL},
      {"LoginPath", &FilterSettings::LoginPath},
      {"ValidationPath", &FilterSettings::ValidationPath},
      {"AuthHeader", &FilterSettings::AuthHeader},
  };
  for (const TextValue& value : kTextValues) {
    settings.*value.field = ReadStringValue(registry, key.get(), value.name);
    if (!(settings.*value.field)) {
      reporter.LogEvent(EventType::Error, kValueMissing, value.name);
      return false;
    }
  }

  struct NumberValue {
    const char* name;
    std::uint32_t FilterSettings::*field;
  };
  static constexpr NumberValue kNumberValues[] = {
      {"Debug", &FilterSettings::Debug},
      {"SessionTimeout", &FilterSettings::SessionTimeout},
      {"CacheCleanTimeout", &FilterSettings::CacheCleanTimeout},
  };
  for (const NumberValue& value : kNumberValues) {
    if (!ReadDwordValue(registry, key.get(), value.name, settings.*value.field)) {
      reporter.LogEvent(EventType::Error, kValueMissing, value.name);
      return false;
    }
  }

  settings.ServiceURL = ReadStringValue(registry, key.get(), "ServiceURL");
  if (std::optional<std::string> base = ReadStringValue(registry, key.get(), "ServerBaseURL")) {
    settings.ServerBaseURL = ServerBaseOf(*base);
    if (!settings.ServerBaseURL) {
      reporter.LogEvent(EventType::Error, kValueMissing, "ServerBaseURL");
      return false;
    }
  }

  static constexpr OptionalNumber kOptionalNumbers[] = {
      {"MaxValidations", &FilterSettings::MaxValidations, 0, UINT32_MAX},
      {"ValidationTimeout", &FilterSettings::ValidationTimeout, kDefaultValidationTimeout,
       kMaxValidationTimeout},
  };
  for (const OptionalNumber& value : kOptionalNumbers) {
    if (!ReadOptionalNumber(registry, key.get(), value, settings)) {
      reporter.LogEvent(EventType::Error, kValueMissing, value.name);
      return false;
    }
  }
  key.Close();
  return LoadProtectedPaths(registry, reporter, settings);
}

bool LoadProtectedPaths(RegistryAccess& registry, const EventReporter& reporter,
                        FilterSettings& settings) {
  ProtectedPathList& list = settings.ProtectedPaths;
  ScopedRegistryKey key(registry);
  if (registry.OpenKey(kPathsKey, RegistryAccessMode::QueryValue, key.out())) {
    char name[kValueNameCapacity];
    for (std::uint32_t index = 0; list.Count < kMaxProtectedPaths; ++index) {
      std::uint32_t name_capacity = kValueNameCapacity;
      RegistryType type = RegistryType::None;
      std::uint32_t size = 0;
      if (!registry.EnumValue(key.get(), index, name, &name_capacity, &type, nullptr, &size)) {
        break;
      }
      if (type != RegistryType::Sz || size <= 1) continue;  // skipped without a report
      auto data = std::make_unique<char[]>(size);
      name_capacity = kValueNameCapacity;
      if (!registry.EnumValue(key.get(), index, name, &name_capacity, nullptr, data.get(),
                              &size)) {
        continue;  // changed under us: skipped like any other unusable value
      }
      std::string path = TextOf(data.get(), size);
      std::string lowered = path;
      for (char& c : lowered) c = AsciiToLower(c);
      list.Paths[list.Count] = std::move(path);
      list.LoweredPaths[list.Count] = std::move(lowered);
      ++list.Count;
    }
    key.Close();
    if (list.Count > 0) return true;
  }
  reporter.LogEvent(EventType::Error, kNoPaths, kPathsKey);
  return false;
}

void FreeSettings(FilterSettings& settings) {
  settings.ServerURL.reset();
  settings.LoginPath.reset();
  settings.ValidationPath.reset();
  settings.ServiceURL.reset();
  settings.ServerBaseURL.reset();
  settings.AuthHeader.reset();
  ProtectedPathList& list = settings.ProtectedPaths;
  for (std::size_t i = 0; i < list.Count; ++i) {
    list.Paths[i] = std::string();
    list.LoweredPaths[i] = std::string();
  }
  list.Count = 0;
}

}  // namespace turnpike
