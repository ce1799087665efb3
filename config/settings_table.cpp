#include "config/settings_table.h"

#include "common/ascii.h"
#include "common/redis_address.h"

namespace turnpike {
namespace {

constexpr SettingDescription RequiredText(const char* name, std::string FilterSettings::*field) {
  SettingDescription d{name, SettingKind::RequiredText};
  d.text = field;
  return d;
}

constexpr SettingDescription RequiredNumber(const char* name, std::uint32_t FilterSettings::*field) {
  SettingDescription d{name, SettingKind::RequiredNumber};
  d.number = field;
  return d;
}

constexpr SettingDescription OptionalText(const char* name,
                                          std::optional<std::string> FilterSettings::*field,
                                          std::optional<std::string> (*check)(std::string_view) = nullptr,
                                          bool whole_text = false) {
  SettingDescription d{name, SettingKind::OptionalText};
  d.optional_text = field;
  d.check_text = check;
  d.whole_text = whole_text;
  return d;
}

constexpr SettingDescription OptionalNumber(const char* name, std::uint32_t FilterSettings::*field,
                                            std::uint32_t default_value, std::uint32_t maximum,
                                            std::uint32_t minimum = 1) {
  SettingDescription d{name, SettingKind::OptionalNumber};
  d.number = field;
  d.default_number = default_value;
  // 0 is unusable for most optional numbers: no ticket could ever be
  // validated (MaxValidations), or a validation would wait on the CAS
  // server for ever (ValidationTimeout). A switch takes it as off.
  d.minimum = minimum;
  d.maximum = maximum;
  return d;
}

// A switch: absent 0, any number taken, non-zero is on.
constexpr SettingDescription OptionalSwitch(const char* name, std::uint32_t FilterSettings::*field) {
  SettingDescription d{name, SettingKind::OptionalNumber};
  d.number = field;
  return d;
}

constexpr SettingDescription kTable[] = {
    RequiredText("ServerURL", &FilterSettings::ServerURL),
    RequiredText("LoginPath", &FilterSettings::LoginPath),
    RequiredText("ValidationPath", &FilterSettings::ValidationPath),
    RequiredText("AuthHeader", &FilterSettings::AuthHeader),
    RequiredNumber("Debug", &FilterSettings::Debug),
    RequiredNumber("SessionTimeout", &FilterSettings::SessionTimeout),
    RequiredNumber("CacheCleanTimeout", &FilterSettings::CacheCleanTimeout),
    OptionalText("ServiceURL", &FilterSettings::ServiceURL),
    OptionalText("ServerBaseURL", &FilterSettings::ServerBaseURL, &ServerBaseOf),
    // Absent: 0, which tells the host to use its own default.
    OptionalNumber("MaxValidations", &FilterSettings::MaxValidations, 0, UINT32_MAX),
    OptionalNumber("ValidationTimeout", &FilterSettings::ValidationTimeout,
                   kDefaultValidationTimeout, kMaxValidationTimeout),
    OptionalSwitch("SingleLogout", &FilterSettings::SingleLogout),
    OptionalText("LogoutPath", &FilterSettings::LogoutPath, &LogoutPathOf),
    OptionalText("LogoutReturnURL", &FilterSettings::LogoutReturnURL),
    OptionalSwitch("Renew", &FilterSettings::Renew),
    OptionalSwitch("ScriptsGet401", &FilterSettings::ScriptsGet401),
    // Whether the platform can read it is decided by the start steps.
    OptionalText("CACertificateFile", &FilterSettings::CACertificateFile),
    OptionalText("SharedCache", &FilterSettings::SharedCache, &SharedCacheOf),
    OptionalText("SharedCachePassword", &FilterSettings::SharedCachePassword),
    OptionalText("AttributeHeaderPrefix", &FilterSettings::AttributeHeaderPrefix, &AttributeHeaderPrefixOf),
    OptionalText("CookieAttributes", &FilterSettings::CookieAttributes, &CookieAttributesOf, true),
    OptionalNumber("OpaqueCookie", &FilterSettings::OpaqueCookie, 0, 1, 0),
};

}  // namespace

std::span<const SettingDescription> SettingsTable() noexcept { return kTable; }

std::optional<std::string> LogoutPathOf(std::string_view text) {
  if (text.front() != '/') return std::nullopt;
  for (const char c : text) {
    // A path alone: a query or fragment could never match a request's path,
    // and a blank or control byte is no part of one.
    if (c == '?' || c == '#' || static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return std::nullopt;
  }
  return std::string(text);
}

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

std::optional<std::string> SharedCacheOf(std::string_view text) {
  if (!ParseRedisAddress(text)) return std::nullopt;
  return std::string(text);
}

std::optional<std::string> AttributeHeaderPrefixOf(std::string_view text) {
  for (const char c : text) {
    if (!IsHeaderTokenChar(c)) return std::nullopt;
  }
  return std::string(text);
}

std::optional<std::string> CookieAttributesOf(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) return std::nullopt;
  }
  const auto edge = [](char c) { return c == ' ' || c == '\t' || c == ';'; };
  while (!text.empty() && edge(text.front())) text.remove_prefix(1);
  while (!text.empty() && edge(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

}  // namespace turnpike
