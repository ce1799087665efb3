#include "config/settings_loader.h"

#include <cstdint>
#include <memory>

#include "common/ascii.h"

namespace turnpike {
namespace {

constexpr const char* kKeyUnreadable =
    "The Turnpike configuration registry key could not be read, please verify that the key "
    "exists and is set correctly";
constexpr const char* kNoPaths =
    "The Turnpike Paths registry key could not be read or does not have any path values "
    "defined, please set up one or more paths in";

// The text of REG_SZ data: its bytes up to the first NUL, whether or not the
// stored data ends in one.
std::string TextOf(const char* data, std::uint32_t size) {
  std::string_view text(data, size);
  return std::string(text.substr(0, text.find('\0')));
}

// The registry key SOFTWARE\Turnpike as the table's source.
class RegistrySettingsSource final : public SettingsSource {
 public:
  RegistrySettingsSource(RegistryAccess& registry, RegistryKeyHandle key) noexcept
      : registry_(registry), key_(key) {}

  bool Has(const char* name) override {
    std::uint32_t size = 0;
    return registry_.QueryValue(key_, name, nullptr, nullptr, &size);
  }
  std::optional<std::string> Text(const char* name) override {
    return ReadStringValue(registry_, key_, name);
  }
  std::optional<std::string> WholeText(const char* name) override {
    RegistryType type = RegistryType::None;
    std::uint32_t size = 0;
    if (!registry_.QueryValue(key_, name, &type, nullptr, &size)) return std::nullopt;
    if (type != RegistryType::Sz || size <= 1) return std::nullopt;
    auto data = std::make_unique<char[]>(size);
    if (!registry_.QueryValue(key_, name, nullptr, data.get(), &size)) return std::nullopt;
    std::string_view text(data.get(), size);
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    if (text.empty()) return std::nullopt;
    return std::string(text);
  }
  std::optional<std::uint32_t> Number(const char* name) override {
    std::uint32_t number = 0;
    if (!ReadDwordValue(registry_, key_, name, number)) return std::nullopt;
    return number;
  }

 private:
  RegistryAccess& registry_;
  RegistryKeyHandle key_;
};

}  // namespace

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
  // Everything goes into a record of its own first: a refused load leaves
  // the settings as they were.
  FilterSettings loaded;
  {
    ScopedRegistryKey key(registry);
    if (!registry.OpenKey(kSettingsKey, RegistryAccessMode::QueryValue, key.out())) {
      reporter.LogEvent(EventType::Error, kKeyUnreadable, kSettingsKey);
      return false;
    }
    RegistrySettingsSource source(registry, key.get());
    if (!LoadSettingsFrom(source, reporter, loaded)) return false;
  }
  if (!LoadProtectedPaths(registry, reporter, loaded)) return false;
  settings = std::move(loaded);
  return true;
}

bool LoadSettingsFrom(SettingsSource& source, const EventReporter& reporter, FilterSettings& settings) {
  for (const SettingDescription& value : SettingsTable()) {
    bool usable = true;
    switch (value.kind) {
      case SettingKind::RequiredText: {
        std::optional<std::string> text = source.Text(value.name);
        usable = text.has_value();
        if (usable) settings.*value.text = std::move(*text);
        break;
      }
      case SettingKind::RequiredNumber: {
        const std::optional<std::uint32_t> number = source.Number(value.name);
        usable = number.has_value();
        if (usable) settings.*value.number = *number;
        break;
      }
      case SettingKind::OptionalText: {
        std::optional<std::string> text = value.whole_text ? source.WholeText(value.name) : source.Text(value.name);
        if (text && value.check_text != nullptr) {
          text = value.check_text(*text);
          usable = text.has_value();
        }
        settings.*value.optional_text = std::move(text);
        break;
      }
      case SettingKind::OptionalNumber: {
        if (!source.Has(value.name)) {
          settings.*value.number = value.default_number;
          break;
        }
        // An administrator who wrote the value expects it to apply, so one
        // that cannot is refused rather than silently replaced by the default.
        const std::optional<std::uint32_t> number = source.Number(value.name);
        usable = number && *number >= value.minimum && *number <= value.maximum;
        if (usable) settings.*value.number = *number;
        break;
      }
    }
    if (!usable) {
      reporter.LogEvent(EventType::Error, kValueMissing, value.name);
      return false;
    }
  }
  return true;
}

namespace {

// The REG_SZ values of `key_name`, in the registry's order, into `list`, up
// to kMaxProtectedPaths; values of another type or empty are passed over.
// A key that cannot be opened leaves the list empty.
void ReadPathList(RegistryAccess& registry, const char* key_name, ProtectedPathList& list) {
  ScopedRegistryKey key(registry);
  if (!registry.OpenKey(key_name, RegistryAccessMode::QueryValue, key.out())) return;
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
    if (!registry.EnumValue(key.get(), index, name, &name_capacity, nullptr, data.get(), &size)) {
      continue;  // changed under us: skipped like any other unusable value
    }
    std::string path = TextOf(data.get(), size);
    std::string lowered = path;
    for (char& c : lowered) c = AsciiToLower(c);
    list.Paths[list.Count] = std::move(path);
    list.LoweredPaths[list.Count] = std::move(lowered);
    ++list.Count;
  }
}

}  // namespace

bool LoadProtectedPaths(RegistryAccess& registry, const EventReporter& reporter,
                        FilterSettings& settings) {
  ReadPathList(registry, kPathsKey, settings.ProtectedPaths);
  if (settings.ProtectedPaths.Count > 0) {
    // Optional: without the key no page is a gateway page.
    ReadPathList(registry, kGatewayPathsKey, settings.GatewayPaths);
    return true;
  }
  reporter.LogEvent(EventType::Error, kNoPaths, kPathsKey);
  return false;
}

void FreeSettings(FilterSettings& settings) { settings = FilterSettings{}; }

}  // namespace turnpike
