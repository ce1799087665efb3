#include "config/settings_loader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fakes/fake_registry.h"
#include "fakes/test_configuration.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {
namespace {

constexpr const char* kKeyUnreadable =
    "The Turnpike configuration registry key could not be read, please verify that the key exists "
    "and is set correctly";
constexpr const char* kValueMissing =
    "A Turnpike registry configuration value is missing or null, please set a valid value for";
constexpr const char* kNoPaths =
    "The Turnpike Paths registry key could not be read or does not have any path values defined, "
    "please set up one or more paths in";

// A value written over the test configuration.
struct Write {
  std::string name;
  RegistryType type;
  std::string data;
  const char* key = kSettingsKey;
};
Write Sz(std::string name, const std::string& text, const char* key = kSettingsKey) {
  return {std::move(name), RegistryType::Sz, text + '\0', key};
}
Write Dword(std::string name, std::uint32_t value, const char* key = kSettingsKey) {
  std::string data;
  for (int byte = 0; byte < 4; ++byte) data += static_cast<char>(value >> (8 * byte));
  return {std::move(name), RegistryType::Dword, data, key};
}
Write Path(std::string name, const std::string& text) { return Sz(std::move(name), text, kPathsKey); }

struct Loaded {
  bool ok;
  FilterSettings settings;
  std::vector<RecordedEvent> events;
};

Loaded Load(const std::vector<Write>& writes, const char* failing = nullptr) {
  FakeRegistry registry;
  WriteTestConfiguration(registry);
  for (const Write& write : writes) registry.SetRaw(write.key, write.name, write.type, write.data);
  if (failing != nullptr) registry.Fail(failing);
  RecordingEventLog log;
  Loaded loaded{false, {}, {}};
  loaded.ok = LoadSettings(registry, EventReporter(log, loaded.settings.Debug), loaded.settings);
  loaded.events = log.events();
  EXPECT_EQ(registry.open_keys(), 0) << "every opened key is closed";
  return loaded;
}

// Every field, so that a row also shows that nothing else changed.
std::string Show(const FilterSettings& s) {
  std::string shown = s.ServerURL + " | " + s.LoginPath + " | " + s.ValidationPath + " | " + s.AuthHeader + " | " +
                      std::to_string(s.Debug) + " " + std::to_string(s.SessionTimeout) + " " +
                      std::to_string(s.CacheCleanTimeout) + " | " + s.ServiceURL.value_or("(none)") + " | " +
                      s.ServerBaseURL.value_or("(none)") + " | " + std::to_string(s.MaxValidations) + " " +
                      std::to_string(s.ValidationTimeout) + " | " + s.AttributeHeaderPrefix.value_or("(none)") + " | " +
                      s.CookieAttributes.value_or("(none)") + " | " + std::to_string(s.OpaqueCookie) + " |";
  for (std::size_t i = 0; i < s.ProtectedPaths.Count; ++i) {
    shown += " " + s.ProtectedPaths.Paths[i] + "=" + s.ProtectedPaths.LoweredPaths[i];
  }
  shown += " | " + std::to_string(s.SingleLogout) + " " + std::to_string(s.Renew) + " " +
           std::to_string(s.ScriptsGet401) + " | " + s.LogoutPath.value_or("(none)") + " | " +
           s.LogoutReturnURL.value_or("(none)") + " | gateway";
  for (std::size_t i = 0; i < s.GatewayPaths.Count; ++i) {
    shown += " " + s.GatewayPaths.Paths[i] + "=" + s.GatewayPaths.LoweredPaths[i];
  }
  return shown + " | " + s.SharedCache.value_or("(none)") + " " + s.SharedCachePassword.value_or("(none)");
}

// What the test configuration loads as.
FilterSettings Configured(const std::function<void(FilterSettings&)>& change) {
  FilterSettings s;
  s.ServerURL = "https://cas.example.org/cas";
  s.LoginPath = "login";
  s.ValidationPath = "serviceValidate";
  s.AuthHeader = "CASUser";
  s.SessionTimeout = 480;
  s.CacheCleanTimeout = 60;
  s.ValidationTimeout = 15;  // MaxValidations 0: the host's default applies
  s.ProtectedPaths.Count = 1;
  s.ProtectedPaths.Paths[0] = "/Secure";
  s.ProtectedPaths.LoweredPaths[0] = "/secure";
  change(s);
  return s;
}

void AddPaths(FilterSettings& s, std::initializer_list<std::pair<const char*, const char*>> paths) {
  for (const auto& [path, lowered] : paths) {
    s.ProtectedPaths.Paths[s.ProtectedPaths.Count] = path;
    s.ProtectedPaths.LoweredPaths[s.ProtectedPaths.Count++] = lowered;
  }
}

TEST(LoadSettings, ReadsEachUsableConfiguration) {
  const struct {
    const char* name;
    std::vector<Write> writes;
    std::function<void(FilterSettings&)> expected;
  } rows[] = {
      {"the test configuration", {}, [](FilterSettings&) {}},
      {"a fixed service URL", {Sz("ServiceURL", "https://app.example.org/")},
       [](FilterSettings& s) { s.ServiceURL = "https://app.example.org/"; }},
      {"zero time-outs; an empty service URL is none",
       {Dword("SessionTimeout", 0), Dword("CacheCleanTimeout", 0), Sz("ServiceURL", "")},
       [](FilterSettings& s) { s.SessionTimeout = s.CacheCleanTimeout = 0; }},
      {"the optional numbers at their limits",
       {Dword("MaxValidations", 1), Dword("ValidationTimeout", kMaxValidationTimeout)},
       [](FilterSettings& s) { s.MaxValidations = 1, s.ValidationTimeout = 2'147'483; }},
      {"text as stored up to its first NUL, with or without one",
       {{"LoginPath", RegistryType::Sz, std::string(" login \0junk", 11)}, {"AuthHeader", RegistryType::Sz, "CASUser"}},
       [](FilterSettings& s) { s.LoginPath = " login "; }},
      // A base URL is scheme, name and port: anything more would give service
      // URLs no CAS server recognises.
      {"a base URL", {Sz("ServerBaseURL", "https://www.example.org")},
       [](FilterSettings& s) { s.ServerBaseURL = "https://www.example.org"; }},
      {"a base URL with a port, its slash dropped", {Sz("ServerBaseURL", "HTTP://www.example.org:8080/")},
       [](FilterSettings& s) { s.ServerBaseURL = "HTTP://www.example.org:8080"; }},
      {"a base URL of an IPv6 address", {Sz("ServerBaseURL", "https://[2001:db8::1]:8443")},
       [](FilterSettings& s) { s.ServerBaseURL = "https://[2001:db8::1]:8443"; }},
      {"a shared cache with its database and password",
       {Sz("SharedCache", "redis://cache-1.example.org:6379/15"), Sz("SharedCachePassword", " p@ss:/ ")},
       [](FilterSettings& s) { s.SharedCache = "redis://cache-1.example.org:6379/15", s.SharedCachePassword = " p@ss:/ "; }},
      {"a shared cache of an IPv6 address, no database", {Sz("SharedCache", "REDIS://[::1]:65535")},
       [](FilterSettings& s) { s.SharedCache = "REDIS://[::1]:65535"; }},
      {"attribute headers, cookie attributes without the ';' and blanks around them, opaque cookies",
       {Sz("AttributeHeaderPrefix", "CAS-"), Sz("CookieAttributes", " ; HttpOnly; Secure;\tSameSite=Lax ;"),
        Dword("OpaqueCookie", 1)},
       [](FilterSettings& s) {
         s.AttributeHeaderPrefix = "CAS-", s.CookieAttributes = "HttpOnly; Secure;\tSameSite=Lax", s.OpaqueCookie = 1;
       }},
      {"OpaqueCookie 0 is off", {Dword("OpaqueCookie", 0)}, [](FilterSettings&) {}},
      {"the first twenty paths in enumeration order",
       [] {
         std::vector<Write> writes{Dword("skipped", 3, kPathsKey)};
         for (int i = 2; i <= 25; ++i) writes.push_back(Path("p" + std::to_string(i), "/P" + std::to_string(i)));
         return writes;
       }(),
       [](FilterSettings& s) {
         for (int i = 2; i <= 20; ++i) {
           s.ProtectedPaths.Paths[s.ProtectedPaths.Count] = "/P" + std::to_string(i);
           s.ProtectedPaths.LoweredPaths[s.ProtectedPaths.Count++] = "/p" + std::to_string(i);
         }
       }},
      {"logout, gateway, renew and script settings; switches take any number",
       {Dword("SingleLogout", 0), Dword("Renew", 1), Dword("ScriptsGet401", 0xffffffff),
        Sz("LogoutPath", "/Sign-Out"), Sz("LogoutReturnURL", "https://www.example.org/?bye"),
        Sz("2", "/Maybe/", kGatewayPathsKey)},
       [](FilterSettings& s) {
         s.Renew = 1, s.ScriptsGet401 = 0xffffffff, s.LogoutPath = "/Sign-Out";
         s.LogoutReturnURL = "https://www.example.org/?bye";
         s.GatewayPaths.Paths[0] = "/Maybe/", s.GatewayPaths.LoweredPaths[0] = "/maybe/", s.GatewayPaths.Count = 1;
       }},
      {"duplicate paths kept; the enumeration stops at an overlong value name",
       {Path("2", "/Secure"), Path(std::string(999, 'n'), "/fits"), Path(std::string(1000, 'n'), "/too-long-name"),
        Path("after", "/never")},
       [](FilterSettings& s) { AddPaths(s, {{"/Secure", "/secure"}, {"/fits", "/fits"}}); }},
  };
  for (const auto& row : rows) {
    Loaded loaded = Load(row.writes);
    EXPECT_TRUE(loaded.ok) << row.name;
    EXPECT_EQ(loaded.events, std::vector<RecordedEvent>{}) << row.name;
    EXPECT_EQ(Show(loaded.settings), Show(Configured(row.expected))) << row.name;
    FreeSettings(loaded.settings);
    EXPECT_EQ(Show(loaded.settings), Show(FilterSettings{})) << row.name << ", freed";
  }
}

// The first unusable value ends the load with its own event, and nothing of
// what was read before it stays in the record.
TEST(LoadSettings, ReportsExactlyOneErrorNamingTheCauseAndKeepsNothing) {
  const std::string paths = "SOFTWARE\\Turnpike\\Paths";
  const struct {
    const char* name;
    std::vector<Write> writes;
    std::string detail;
    const char* message = kValueMissing;
    const char* failing = nullptr;
  } rows[] = {
      {"no settings key", {}, "SOFTWARE\\Turnpike", kKeyUnreadable, "OpenKey"},
      {"server URL expandable", {{"ServerURL", RegistryType::ExpandSz, std::string("x\0", 2)}}, "ServerURL"},
      {"server URL empty", {Sz("ServerURL", "")}, "ServerURL"},
      {"server URL without data", {{"ServerURL", RegistryType::Sz, ""}}, "ServerURL"},
      {"login path absent", {{"LoginPath", RegistryType::None, ""}}, "LoginPath"},
      {"validation path as a DWORD", {Dword("ValidationPath", 1)}, "ValidationPath"},
      {"identity header empty", {Sz("AuthHeader", "")}, "AuthHeader"},
      {"Debug as a string", {Sz("Debug", "1")}, "Debug"},
      {"only the first of two unusable values", {Sz("SessionTimeout", "480"), Sz("CacheCleanTimeout", "60")},
       "SessionTimeout"},
      {"SessionTimeout binary", {{"SessionTimeout", RegistryType::Binary, std::string(4, '\0')}}, "SessionTimeout"},
      // A DWORD is exactly four bytes: a shorter one would leave part of the
      // number unread, a longer one is no DWORD.
      {"DWORD of 0 bytes", {{"SessionTimeout", RegistryType::Dword, ""}}, "SessionTimeout"},
      {"DWORD of 2 bytes", {{"SessionTimeout", RegistryType::Dword, "\1\1"}}, "SessionTimeout"},
      {"DWORD of 3 bytes", {{"SessionTimeout", RegistryType::Dword, "\1\1\1"}}, "SessionTimeout"},
      {"DWORD of 5 bytes", {{"SessionTimeout", RegistryType::Dword, "\1\1\1\1\1"}}, "SessionTimeout"},
      {"DWORD of 8 bytes", {{"SessionTimeout", RegistryType::Dword, std::string(8, '\1')}}, "SessionTimeout"},
      {"QWORD", {{"CacheCleanTimeout", RegistryType::Qword, std::string(8, '\0')}}, "CacheCleanTimeout"},
      // An optional number that is written must be usable: 0 would refuse
      // every ticket or wait on the CAS server for ever.
      {"MaxValidations 0", {Dword("MaxValidations", 0)}, "MaxValidations"},
      {"MaxValidations as a string", {Sz("MaxValidations", "8")}, "MaxValidations"},
      {"ValidationTimeout 0", {Dword("ValidationTimeout", 0)}, "ValidationTimeout"},
      {"ValidationTimeout too large", {Dword("ValidationTimeout", kMaxValidationTimeout + 1)}, "ValidationTimeout"},
      {"base URL with a path", {Sz("ServerBaseURL", "https://www.example.org/app")}, "ServerBaseURL"},
      {"base URL without a scheme", {Sz("ServerBaseURL", "www.example.org")}, "ServerBaseURL"},
      {"base URL without a server", {Sz("ServerBaseURL", "https://")}, "ServerBaseURL"},
      {"base URL with a user", {Sz("ServerBaseURL", "https://user@www.example.org")}, "ServerBaseURL"},
      {"base URL with a query", {Sz("ServerBaseURL", "https://www.example.org?x")}, "ServerBaseURL"},
      {"base URL with a header", {Sz("ServerBaseURL", "https://www.example.org\r\nX: 1")}, "ServerBaseURL"},
      {"base URL of another scheme", {Sz("ServerBaseURL", "ftp://www.example.org")}, "ServerBaseURL"},
      {"base URL of only a port", {Sz("ServerBaseURL", "https://:443")}, "ServerBaseURL"},
      // A logout path is compared with the request's path alone.
      {"logout path without its slash", {Sz("LogoutPath", "logout")}, "LogoutPath"},
      {"logout path with a query", {Sz("LogoutPath", "/logout?x")}, "LogoutPath"},
      {"logout path with a blank", {Sz("LogoutPath", "/log out")}, "LogoutPath"},
      {"Renew as a string", {Sz("Renew", "1")}, "Renew"},
      // The shared cache's address is taken only whole: a part guessed at
      // would send sign-ons to another server, or a password into events.
      {"shared cache without a port", {Sz("SharedCache", "redis://cache.example.org")}, "SharedCache"},
      {"shared cache on port 0", {Sz("SharedCache", "redis://cache.example.org:0")}, "SharedCache"},
      {"shared cache port too large", {Sz("SharedCache", "redis://cache.example.org:65536")}, "SharedCache"},
      {"shared cache port with a sign", {Sz("SharedCache", "redis://cache.example.org:+6379")}, "SharedCache"},
      {"shared cache without a host", {Sz("SharedCache", "redis://:6379")}, "SharedCache"},
      {"shared cache with a password in it", {Sz("SharedCache", "redis://:pw@cache.example.org:6379")}, "SharedCache"},
      {"shared cache with a slash and no database", {Sz("SharedCache", "redis://cache.example.org:6379/")}, "SharedCache"},
      {"shared cache database not a number", {Sz("SharedCache", "redis://cache.example.org:6379/a")}, "SharedCache"},
      {"shared cache with a query", {Sz("SharedCache", "redis://cache.example.org:6379/0?x=1")}, "SharedCache"},
      {"shared cache over TLS", {Sz("SharedCache", "rediss://cache.example.org:6379")}, "SharedCache"},
      {"shared cache IPv6 unclosed", {Sz("SharedCache", "redis://[::1:6379")}, "SharedCache"},
      {"shared cache with a blank", {Sz("SharedCache", "redis://cache example.org:6379")}, "SharedCache"},
      // A prefix must make header names; cookie attributes must stay on their
      // Set-Cookie line, whole.
      {"attribute prefix with a blank", {Sz("AttributeHeaderPrefix", "CAS ")}, "AttributeHeaderPrefix"},
      {"attribute prefix with a colon", {Sz("AttributeHeaderPrefix", "X:CAS-")}, "AttributeHeaderPrefix"},
      {"cookie attributes with CR LF", {Sz("CookieAttributes", "HttpOnly\r\nSet-Cookie: a=b")}, "CookieAttributes"},
      {"cookie attributes with LF", {Sz("CookieAttributes", "HttpOnly\nX")}, "CookieAttributes"},
      {"cookie attributes with a NUL inside",
       {{"CookieAttributes", RegistryType::Sz, std::string("HttpOnly\0; Domain=evil\0", 23)}}, "CookieAttributes"},
      {"cookie attributes of only ';'", {Sz("CookieAttributes", " ; ")}, "CookieAttributes"},
      {"OpaqueCookie 2", {Dword("OpaqueCookie", 2)}, "OpaqueCookie"},
      {"OpaqueCookie as a string", {Sz("OpaqueCookie", "1")}, "OpaqueCookie"},
      {"no usable path", {{"1", RegistryType::None, "", kPathsKey}}, paths, kNoPaths},
      {"paths only DWORDs, empty and expandable strings",
       {Dword("1", 7, kPathsKey), Path("2", ""), {"3", RegistryType::ExpandSz, std::string("/x\0", 3), kPathsKey}},
       paths, kNoPaths},
      {"an overlong first path name",
       {{"1", RegistryType::None, "", kPathsKey}, Path(std::string(1000, 'n'), "/long"), Path("after", "/never")},
       paths, kNoPaths},
      {"the paths' enumeration fails", {}, paths, kNoPaths, "EnumValue"},
  };
  for (const auto& row : rows) {
    Loaded loaded = Load(row.writes, row.failing);
    EXPECT_FALSE(loaded.ok) << row.name;
    EXPECT_EQ(loaded.events, (std::vector<RecordedEvent>{{EventSeverity::Error, 0, 1, row.message, row.detail}}))
        << row.name;
    EXPECT_EQ(Show(loaded.settings), Show(FilterSettings{})) << row.name;
  }
}

}  // namespace
}  // namespace turnpike
