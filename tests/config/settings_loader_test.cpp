#include "config/settings_loader.h"

#include <gtest/gtest.h>

#include <algorithm>
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

RecordedEvent ErrorEvent(const char* message, const char* detail) {
  return RecordedEvent{EventSeverity::Error, 0, 1, message, detail};
}

void WriteCompleteConfiguration(FakeRegistry& registry) { WriteTestConfiguration(registry); }

struct Loaded {
  bool ok;
  FilterSettings settings;
  std::vector<RecordedEvent> events;
};

Loaded Load(FakeRegistry& registry) {
  RecordingEventLog log;
  Loaded loaded{false, {}, {}};
  EventReporter reporter(log, loaded.settings.Debug);
  loaded.ok = LoadSettings(registry, reporter, loaded.settings);
  loaded.events = log.events();
  EXPECT_EQ(registry.open_keys(), 0) << "every opened key is closed";
  return loaded;
}

TEST(LoadSettings, ReadsACompleteConfiguration) {
  FakeRegistry registry;
  WriteCompleteConfiguration(registry);
  registry.SetString(kSettingsKey, "ServiceURL", "https://app.example.org/");
  Loaded loaded = Load(registry);
  ASSERT_TRUE(loaded.ok);
  EXPECT_TRUE(loaded.events.empty());
  const FilterSettings& s = loaded.settings;
  EXPECT_EQ(s.ServerURL, "https://cas.example.org/cas");
  EXPECT_EQ(s.LoginPath, "login");
  EXPECT_EQ(s.ValidationPath, "serviceValidate");
  EXPECT_EQ(s.AuthHeader, "CASUser");
  EXPECT_EQ(s.Debug, 0u);
  EXPECT_EQ(s.SessionTimeout, 480u);
  EXPECT_EQ(s.CacheCleanTimeout, 60u);
  EXPECT_EQ(s.ServiceURL, "https://app.example.org/");
  ASSERT_EQ(s.ProtectedPaths.Count, 1u);
  EXPECT_EQ(s.ProtectedPaths.Paths[0], "/Secure");
  EXPECT_EQ(s.ProtectedPaths.LoweredPaths[0], "/secure");
}

// The first unusable value ends the load with its own event, and nothing of
// what was read before it stays in the record.
TEST(LoadSettings, ARefusedLoadLeavesTheSettingsAsTheyWere) {
  FakeRegistry registry;
  WriteCompleteConfiguration(registry);
  registry.SetRaw(kSettingsKey, "SessionTimeout", RegistryType::Sz, std::string("480") + '\0');
  registry.SetRaw(kSettingsKey, "CacheCleanTimeout", RegistryType::Sz, std::string("60") + '\0');
  Loaded loaded = Load(registry);
  EXPECT_FALSE(loaded.ok);
  EXPECT_EQ(loaded.events, std::vector<RecordedEvent>{ErrorEvent(kValueMissing, "SessionTimeout")});
  EXPECT_EQ(loaded.settings.ServerURL, "");
  EXPECT_EQ(loaded.settings.Debug, 0u);
}

struct FailureRow {
  const char* name;
  std::function<void(FakeRegistry&)> change;
  const char* message;
  const char* detail;
};

class LoadSettingsFailureTest : public testing::TestWithParam<FailureRow> {};

TEST_P(LoadSettingsFailureTest, ReportsExactlyOneErrorNamingTheCause) {
  const FailureRow& row = GetParam();
  FakeRegistry registry;
  WriteCompleteConfiguration(registry);
  row.change(registry);
  Loaded loaded = Load(registry);
  EXPECT_FALSE(loaded.ok);
  EXPECT_EQ(loaded.events, std::vector<RecordedEvent>{ErrorEvent(row.message, row.detail)});
}

std::string Sz(const char* text) { return std::string(text) + '\0'; }

INSTANTIATE_TEST_SUITE_P(
    Causes, LoadSettingsFailureTest,
    testing::Values(
        FailureRow{"NoSettingsKey", [](FakeRegistry& r) { r = FakeRegistry(); }, kKeyUnreadable,
                   "SOFTWARE\\Turnpike"},
        FailureRow{"ServerUrlAsExpandString",
                   [](FakeRegistry& r) { r.SetRaw(kSettingsKey, "ServerURL", RegistryType::ExpandSz, Sz("x")); },
                   kValueMissing, "ServerURL"},
        FailureRow{"ServerUrlEmpty", [](FakeRegistry& r) { r.SetString(kSettingsKey, "ServerURL", ""); },
                   kValueMissing, "ServerURL"},
        FailureRow{"ServerUrlWithoutData",
                   [](FakeRegistry& r) { r.SetRaw(kSettingsKey, "ServerURL", RegistryType::Sz, ""); },
                   kValueMissing, "ServerURL"},
        FailureRow{"LoginPathAbsent", [](FakeRegistry& r) { r.SetRaw(kSettingsKey, "LoginPath", RegistryType::None, ""); },
                   kValueMissing, "LoginPath"},
        FailureRow{"ValidationPathAsDword", [](FakeRegistry& r) { r.SetDword(kSettingsKey, "ValidationPath", 1); },
                   kValueMissing, "ValidationPath"},
        FailureRow{"AuthHeaderEmpty", [](FakeRegistry& r) { r.SetString(kSettingsKey, "AuthHeader", ""); },
                   kValueMissing, "AuthHeader"},
        FailureRow{"DebugAsString", [](FakeRegistry& r) { r.SetString(kSettingsKey, "Debug", "1"); },
                   kValueMissing, "Debug"},
        FailureRow{"SessionTimeoutAsBinary",
                   [](FakeRegistry& r) {
                     r.SetRaw(kSettingsKey, "SessionTimeout", RegistryType::Binary, std::string(4, '\0'));
                   },
                   kValueMissing, "SessionTimeout"},
        FailureRow{"CacheCleanTimeoutAsQword",
                   [](FakeRegistry& r) {
                     r.SetRaw(kSettingsKey, "CacheCleanTimeout", RegistryType::Qword, std::string(8, '\0'));
                   },
                   kValueMissing, "CacheCleanTimeout"},
        // An optional number that is written must be usable: 0 would refuse
        // every ticket or wait on the CAS server for ever.
        FailureRow{"MaxValidationsZero", [](FakeRegistry& r) { r.SetDword(kSettingsKey, "MaxValidations", 0); },
                   kValueMissing, "MaxValidations"},
        FailureRow{"MaxValidationsAsString", [](FakeRegistry& r) { r.SetString(kSettingsKey, "MaxValidations", "8"); },
                   kValueMissing, "MaxValidations"},
        FailureRow{"ValidationTimeoutZero", [](FakeRegistry& r) { r.SetDword(kSettingsKey, "ValidationTimeout", 0); },
                   kValueMissing, "ValidationTimeout"},
        FailureRow{"ValidationTimeoutPastTheLargest",
                   [](FakeRegistry& r) { r.SetDword(kSettingsKey, "ValidationTimeout", kMaxValidationTimeout + 1); },
                   kValueMissing, "ValidationTimeout"},
        FailureRow{"NoPathsKey", [](FakeRegistry& r) { r.SetRaw(kPathsKey, "1", RegistryType::None, ""); },
                   kNoPaths, "SOFTWARE\\Turnpike\\Paths"},
        FailureRow{"PathsOnlyDwordsAndEmptyStrings",
                   [](FakeRegistry& r) {
                     r.SetDword(kPathsKey, "1", 7);
                     r.SetString(kPathsKey, "2", "");
                     r.SetRaw(kPathsKey, "3", RegistryType::ExpandSz, Sz("/x"));
                   },
                   kNoPaths, "SOFTWARE\\Turnpike\\Paths"},
        FailureRow{"PathsEnumerationFails", [](FakeRegistry& r) { r.Fail("EnumValue"); }, kNoPaths,
                   "SOFTWARE\\Turnpike\\Paths"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoadSettings, AcceptsZeroTimeoutsAndAnAbsentServiceUrl) {
  FakeRegistry registry;
  WriteCompleteConfiguration(registry);
  registry.SetDword(kSettingsKey, "SessionTimeout", 0);
  registry.SetDword(kSettingsKey, "CacheCleanTimeout", 0);
  registry.SetString(kSettingsKey, "ServiceURL", "");
  Loaded loaded = Load(registry);
  EXPECT_TRUE(loaded.ok);
  EXPECT_TRUE(loaded.events.empty());
  EXPECT_FALSE(loaded.settings.ServiceURL.has_value());
  EXPECT_EQ(loaded.settings.SessionTimeout, 0u);
}

// A base URL that is more than scheme, name and port would give service
// URLs no CAS server recognises: refused at start-up, by name.
TEST(LoadSettings, ServerBaseUrlIsASchemeAndAServerOrRefused) {
  const struct { const char* stored; std::optional<std::string> loaded; } rows[] = {
      {"https://www.example.org", "https://www.example.org"},
      {"HTTP://www.example.org:8080/", "HTTP://www.example.org:8080"},
      {"https://[2001:db8::1]:8443", "https://[2001:db8::1]:8443"},
      {"https://www.example.org/app", std::nullopt}, {"www.example.org", std::nullopt},
      {"https://", std::nullopt},                     {"https://user@www.example.org", std::nullopt},
      {"https://www.example.org?x", std::nullopt},    {"https://www.example.org\r\nX: 1", std::nullopt},
      {"ftp://www.example.org", std::nullopt},        {"https://:443", std::nullopt},
  };
  for (const auto& row : rows) {
    FakeRegistry registry;
    WriteCompleteConfiguration(registry);
    registry.SetString(kSettingsKey, "ServerBaseURL", row.stored);
    Loaded loaded = Load(registry);
    EXPECT_EQ(loaded.ok, row.loaded.has_value()) << row.stored;
    EXPECT_EQ(loaded.settings.ServerBaseURL, row.loaded) << row.stored;
    if (!row.loaded) {
      EXPECT_EQ(loaded.events, std::vector<RecordedEvent>{ErrorEvent(kValueMissing, "ServerBaseURL")});
    }
  }
}

TEST(LoadSettings, OptionalNumbersTakeTheirDefaultsWhenAbsentAndAnyUsableValueOtherwise) {
  FakeRegistry registry;
  WriteCompleteConfiguration(registry);
  Loaded absent = Load(registry);
  ASSERT_TRUE(absent.ok);
  EXPECT_EQ(absent.settings.MaxValidations, 0u) << "the host's default applies";
  EXPECT_EQ(absent.settings.ValidationTimeout, 15u);

  registry.SetDword(kSettingsKey, "MaxValidations", 1);
  registry.SetDword(kSettingsKey, "ValidationTimeout", kMaxValidationTimeout);
  Loaded set = Load(registry);
  ASSERT_TRUE(set.ok);
  EXPECT_TRUE(set.events.empty());
  EXPECT_EQ(set.settings.MaxValidations, 1u);
  EXPECT_EQ(set.settings.ValidationTimeout, 2'147'483u);
}

// A DWORD is exactly four bytes: a shorter one would leave part of the
// number unread, a longer one is no DWORD. Either counts as missing.
TEST(LoadSettings, ADwordOfOtherThanFourBytesIsMissing) {
  for (const std::size_t size : {0u, 2u, 3u, 5u, 8u}) {
    FakeRegistry registry;
    WriteCompleteConfiguration(registry);
    registry.SetRaw(kSettingsKey, "SessionTimeout", RegistryType::Dword, std::string(size, '\1'));
    Loaded loaded = Load(registry);
    EXPECT_FALSE(loaded.ok) << size << " bytes";
    EXPECT_EQ(loaded.events, std::vector<RecordedEvent>{ErrorEvent(kValueMissing, "SessionTimeout")})
        << size << " bytes";
  }
}

TEST(LoadSettings, KeepsTextAsStoredUpToItsFirstNul) {
  FakeRegistry registry;
  WriteCompleteConfiguration(registry);
  registry.SetRaw(kSettingsKey, "LoginPath", RegistryType::Sz, std::string(" login \0junk", 11));
  registry.SetRaw(kSettingsKey, "AuthHeader", RegistryType::Sz, "CASUser");  // stored without its NUL
  Loaded loaded = Load(registry);
  ASSERT_TRUE(loaded.ok);
  EXPECT_EQ(loaded.settings.LoginPath, " login ");
  EXPECT_EQ(loaded.settings.AuthHeader, "CASUser");
}

TEST(LoadProtectedPaths, TakesTheFirstTwentyInEnumerationOrder) {
  FakeRegistry registry;
  WriteCompleteConfiguration(registry);
  registry.SetDword(kPathsKey, "skipped", 3);
  for (int i = 2; i <= 25; ++i) {
    registry.SetString(kPathsKey, "p" + std::to_string(i), "/P" + std::to_string(i));
  }
  Loaded loaded = Load(registry);
  ASSERT_TRUE(loaded.ok);
  EXPECT_TRUE(loaded.events.empty());
  const ProtectedPathList& paths = loaded.settings.ProtectedPaths;
  ASSERT_EQ(paths.Count, 20u);
  EXPECT_EQ(paths.Paths[0], "/Secure");
  EXPECT_EQ(paths.Paths[1], "/P2");
  EXPECT_EQ(paths.Paths[19], "/P20");
  EXPECT_EQ(paths.LoweredPaths[19], "/p20");
  EXPECT_EQ(registry.calls().back(), "CloseKey");
  EXPECT_EQ(std::count(registry.calls().begin(), registry.calls().end(), "EnumValue 22"), 0)
      << "enumeration stops once twenty paths are taken";
}

TEST(LoadProtectedPaths, KeepsDuplicatesAndStopsAtAnOverlongValueName) {
  FakeRegistry registry;
  WriteCompleteConfiguration(registry);
  registry.SetString(kPathsKey, "2", "/Secure");
  registry.SetString(kPathsKey, std::string(999, 'n'), "/fits");
  registry.SetString(kPathsKey, std::string(1000, 'n'), "/too-long-name");
  registry.SetString(kPathsKey, "after", "/never");
  Loaded loaded = Load(registry);
  ASSERT_TRUE(loaded.ok);
  const ProtectedPathList& paths = loaded.settings.ProtectedPaths;
  ASSERT_EQ(paths.Count, 3u);
  EXPECT_EQ(paths.Paths[1], "/Secure");
  EXPECT_EQ(paths.Paths[2], "/fits");
}

TEST(LoadProtectedPaths, AnOverlongFirstNameLeavesNoPaths) {
  FakeRegistry fresh;
  WriteCompleteConfiguration(fresh);
  fresh.SetRaw(kPathsKey, "1", RegistryType::None, "");  // the only path value becomes unusable
  fresh.SetString(kPathsKey, std::string(1000, 'n'), "/too-long-name");
  fresh.SetString(kPathsKey, "after", "/never");
  Loaded loaded = Load(fresh);
  EXPECT_FALSE(loaded.ok);
  EXPECT_EQ(loaded.events, std::vector<RecordedEvent>{ErrorEvent(kNoPaths, "SOFTWARE\\Turnpike\\Paths")});
}

TEST(FreeSettings, EmptiesTheRecord) {
  FakeRegistry registry;
  WriteCompleteConfiguration(registry);
  registry.SetString(kSettingsKey, "ServiceURL", "https://app/");
  Loaded loaded = Load(registry);
  FreeSettings(loaded.settings);
  EXPECT_TRUE(loaded.settings.ServerURL.empty() && loaded.settings.AuthHeader.empty());
  EXPECT_FALSE(loaded.settings.ServiceURL.has_value());
  EXPECT_EQ(loaded.settings.ProtectedPaths.Count, 0u);
}

}  // namespace
}  // namespace turnpike
