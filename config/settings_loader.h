// Loading and freeing the process-wide settings.
//
// The settings come from the registry of the local machine: the values under
// "SOFTWARE\Turnpike" and the protected paths under its subkey "Paths". They
// are read once, at start-up. The required values have no defaults and no
// range checks, and their text is kept exactly as stored: no trimming, no
// case change, no validation. The optional values take their default when
// absent and are refused when present but unusable (ServerBaseURL,
// MaxValidations, ValidationTimeout); settings_table.h describes each. A
// failed load reports exactly one error event, naming what is missing or
// unusable, and leaves the record as it was.
//
// Not thread-safe: called only by the start and stop steps, with no request
// running.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/filter_settings.h"
#include "config/settings_table.h"
#include "eventlog/event_reporter.h"
#include "platform/registry_access.h"

namespace turnpike {

inline constexpr const char* kSettingsKey = "SOFTWARE\\Turnpike";
inline constexpr const char* kPathsKey = "SOFTWARE\\Turnpike\\Paths";
// The event that names a required value that is missing, or an optional one
// that is unusable.
inline constexpr const char* kValueMissing =
    "A Turnpike registry configuration value is missing or null, please set a valid value for";
// Room for a value name while enumerating the paths, terminator included.
inline constexpr std::uint32_t kValueNameCapacity = 1000;

// True when every required value and at least one path were read, and every
// optional value present was usable; `settings` then holds them. False after
// one error event naming the cause; `settings` is then left as it was.
bool LoadSettings(RegistryAccess& registry, const EventReporter& reporter,
                  FilterSettings& settings);

// The values of the settings table from `source`, in the table's order, into
// `settings`; false at the first missing or unusable one, after its event.
bool LoadSettingsFrom(SettingsSource& source, const EventReporter& reporter, FilterSettings& settings);

// True when at least one path was read into settings.ProtectedPaths.
bool LoadProtectedPaths(RegistryAccess& registry, const EventReporter& reporter,
                        FilterSettings& settings);

// The text of a REG_SZ value up to its first NUL; nothing when the value is
// missing, of another type, or empty.
std::optional<std::string> ReadStringValue(RegistryAccess& registry, RegistryKeyHandle key,
                                           const char* name);

// Stores a REG_DWORD value into `field`; false, leaving `field` unchanged,
// when the value is missing or of another type.
bool ReadDwordValue(RegistryAccess& registry, RegistryKeyHandle key, const char* name,
                    std::uint32_t& field);

// Empties the record: every text and path released.
void FreeSettings(FilterSettings& settings);

}  // namespace turnpike
