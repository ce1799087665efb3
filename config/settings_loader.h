// Loading and freeing the process-wide settings.
//
// The settings come from the registry of the local machine: the values under
// "SOFTWARE\Turnpike" and the protected paths under its subkey "Paths". They
// are read once, at start-up. The required values have no defaults and no
// range checks, and their text is kept exactly as stored: no trimming, no
// case change, no validation. The optional values take their default when
// absent and are refused when present but unusable (ServerBaseURL,
// MaxValidations, ValidationTimeout). A failed load reports exactly one
// error event, naming what is missing or unusable, and leaves the record
// partly filled until FreeSettings.
//
// Not thread-safe: called only by the start and stop steps, with no request
// running.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "platform/registry_access.h"

namespace turnpike {

inline constexpr const char* kSettingsKey = "SOFTWARE\\Turnpike";
inline constexpr const char* kPathsKey = "SOFTWARE\\Turnpike\\Paths";
// ValidationTimeout when the registry has none: as long as libcurl and
// WinHTTP gave a validation before the value existed.
inline constexpr std::uint32_t kDefaultValidationTimeout = 15;
// The longest ValidationTimeout taken: its milliseconds still fit in the
// 32-bit signed count that ServerXMLHTTP's time-outs take (24 days).
inline constexpr std::uint32_t kMaxValidationTimeout = 2'147'483;
// Room for a value name while enumerating the paths, terminator included.
inline constexpr std::uint32_t kValueNameCapacity = 1000;

// True when every required value and at least one path were read.
bool LoadSettings(RegistryAccess& registry, const EventReporter& reporter,
                  FilterSettings& settings);

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

// The ServerBaseURL value as the service URL uses it: "http://" or
// "https://" and a server name with an optional port, a trailing slash
// dropped; nothing when the text is anything else (a path, a query, user
// information, blanks). Such a value is refused at start-up rather than
// producing service URLs that no CAS server would recognise.
std::optional<std::string> ServerBaseOf(std::string_view text);

// Releases every text and path; safe after a load that stopped half-way.
void FreeSettings(FilterSettings& settings);

}  // namespace turnpike
