// The configuration, described once: one row per value, saying what it is
// called, what it holds, whether it must be there, its default, what makes
// it unusable, and which field of FilterSettings it fills.
//
// LoadSettings reads the rows in order from a SettingsSource (the registry
// today; a host's own directives may stand behind the same interface) and
// stops at the first value that is missing or unusable, naming it. A new
// optional value is one row here and one field in FilterSettings.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "config/filter_settings.h"

namespace turnpike {

// Where the values come from. Each answer is about the value as stored:
// Text gives nothing for a value that is absent, of another type or empty;
// Number gives nothing for one that is absent, of another type or not
// exactly a 32-bit number. Has tells whether a value of the name exists at
// all, whatever its type.
class SettingsSource {
 public:
  virtual ~SettingsSource() = default;
  virtual bool Has(const char* name) = 0;
  virtual std::optional<std::string> Text(const char* name) = 0;
  virtual std::optional<std::uint32_t> Number(const char* name) = 0;
  // As Text, but with every byte the value holds up to its trailing NULs, so
  // that a check can see a NUL inside it. A source that cannot hold one
  // answers Text.
  virtual std::optional<std::string> WholeText(const char* name) { return Text(name); }
};

enum class SettingKind {
  RequiredText,    // missing or empty: refused
  RequiredNumber,  // missing or of another type: refused
  OptionalText,    // missing, of another type or empty: absent; present: checked
  OptionalNumber,  // missing altogether: the default; present: checked
};

struct SettingDescription {
  const char* name;
  SettingKind kind;
  // The field it fills: one of the three, by kind.
  std::string FilterSettings::*text = nullptr;
  std::optional<std::string> FilterSettings::*optional_text = nullptr;
  std::uint32_t FilterSettings::*number = nullptr;
  // An optional number's value when the registry has none.
  std::uint32_t default_number = 0;
  // An optional value that is present must pass this: a text may be
  // brought into the form the filter uses (the answer), a number must lie
  // in [minimum, maximum]. Nothing / outside: refused at start-up.
  std::optional<std::string> (*check_text)(std::string_view) = nullptr;
  std::uint32_t minimum = 0;
  std::uint32_t maximum = UINT32_MAX;
  // An optional text read with WholeText: its check sees what a NUL hides.
  bool whole_text = false;
};

// Every value under SOFTWARE\Turnpike, in the order they are read.
std::span<const SettingDescription> SettingsTable() noexcept;

// ValidationTimeout when the registry has none: as long as libcurl and
// WinHTTP gave a validation before the value existed.
inline constexpr std::uint32_t kDefaultValidationTimeout = 15;
// The longest ValidationTimeout taken: its milliseconds still fit in the
// 32-bit signed count that ServerXMLHTTP's time-outs take (24 days).
inline constexpr std::uint32_t kMaxValidationTimeout = 2'147'483;

// The ServerBaseURL value as the service URL uses it: "http://" or
// "https://" and a server name with an optional port, a trailing slash
// dropped; nothing when the text is anything else (a path, a query, user
// information, blanks). Such a value is refused at start-up rather than
// producing service URLs that no CAS server would recognise.
std::optional<std::string> ServerBaseOf(std::string_view text);

// The LogoutPath value: a path that starts with '/', without query,
// fragment, blank or control byte; nothing for anything else.
std::optional<std::string> LogoutPathOf(std::string_view text);
// The SharedCache value as given, when ParseRedisAddress takes it; nothing
// otherwise, and the value is refused at start-up.
std::optional<std::string> SharedCacheOf(std::string_view text);
// The AttributeHeaderPrefix value when every byte of it may stand in a header
// name (the token characters of HTTP); nothing otherwise.
std::optional<std::string> AttributeHeaderPrefixOf(std::string_view text);

// The CookieAttributes value without the blanks and ';' around it; nothing
// when it holds a control character (CR, LF and NUL among them: they would
// end the Set-Cookie line, or cut it, and add a header of their own) or
// nothing but blanks and ';'.
std::optional<std::string> CookieAttributesOf(std::string_view text);

}  // namespace turnpike
