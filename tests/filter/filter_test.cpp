#include "filter/filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config/settings_loader.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_registry.h"
#include "fakes/static_url_host.h"
#include "fakes/test_configuration.h"
#include "filter/path_match.h"
#include "platform/memory/in_memory_filter_host.h"
#include "platform/memory/recording_event_log.h"
#include "platform/url_unescape.h"

namespace turnpike {
namespace {

constexpr const char* kUrlUnreadable = "The Turnpike ISAPI could not read the url from the headers.";

struct Harness {
  Harness() { WriteTestConfiguration(registry, {"/Secure"}, 1); }
  FakeRegistry registry;
  RecordingEventLog log;
  FakeClock clock;
  TurnpikeFilter filter{PlatformServices{&registry, &log, &clock}};
};

const RecordedEvent kStarted{EventSeverity::Information, 0, 5, "", ""};
const RecordedEvent kStopped{EventSeverity::Information, 0, 6, "", ""};

TEST(FilterLifecycle, StartsAndStopsWithTheirEvents) {
  Harness h;
  ASSERT_TRUE(h.filter.Start());
  EXPECT_TRUE(h.registry.HasKey(kEventSourceKey)) << "the event source is registered first";
  EXPECT_EQ(h.log.TakeEvents(), std::vector<RecordedEvent>{kStarted});
  h.filter.Stop();
  EXPECT_EQ(h.log.TakeEvents(), std::vector<RecordedEvent>{kStopped});
  EXPECT_EQ(h.filter.settings().ProtectedPaths.Count, 0u);
  EXPECT_TRUE(h.filter.settings().ServerURL.empty());
}

TEST(FilterLifecycle, ARefusedStartReportsItsCauseThenStopped) {
  Harness h;
  h.registry.SetString(kSettingsKey, "LoginPath", "");
  ASSERT_FALSE(h.filter.Start());
  h.filter.Stop();
  EXPECT_EQ(h.log.TakeEvents(),
            (std::vector<RecordedEvent>{
                {EventSeverity::Error, 0, 1,
                 "A Turnpike registry configuration value is missing or null, please set a valid value for",
                 "LoginPath"},
                kStopped}));
}

TEST(FilterLifecycle, AnUnregistrableEventSourceRefusesSilently) {
  Harness h;
  h.registry.Fail("CreateKey");
  ASSERT_FALSE(h.filter.Start());
  EXPECT_EQ(std::count(h.registry.calls().begin(), h.registry.calls().end(),
                       std::string("OpenKey ") + kSettingsKey),
            0)
      << "the settings are not read";
  h.filter.Stop();
  EXPECT_EQ(h.log.TakeEvents(), std::vector<RecordedEvent>{kStopped});
}

TEST(GetFilterVersion, AnnouncesVersionFlagsAndDescription) {
  HttpFilterVersion version;
  std::memset(&version, 0x5a, sizeof version);
  version.dwServerFilterVersion = 0x00070000;
  ASSERT_TRUE(GetFilterVersion(&version));
  EXPECT_EQ(version.dwFilterVersion, 7u);
  EXPECT_EQ(version.dwFlags, 0x00084000u);
  EXPECT_STREQ(version.lpszFilterDesc, "Turnpike, Version 0.7");
  EXPECT_EQ(version.dwServerFilterVersion, 0x00070000u) << "not the filter's to change";
  EXPECT_EQ(sizeof version.lpszFilterDesc, 257u);
}

TEST(HttpFilterProc, PassesOtherNotificationsWithoutReadingAnything) {
  Harness h;
  ASSERT_TRUE(h.filter.Start());
  h.log.TakeEvents();
  for (Dword notification : {0x0001u, 0x0002u, 0x0080u, 0x0400u, 0x8000u, 0x4001u}) {
    StaticUrlHost host("/secure/page");
    EXPECT_EQ(h.filter.HttpFilterProc(host, notification), FilterStatus::NextNotification);
    EXPECT_EQ(host.reads, 0);
  }
  EXPECT_TRUE(h.log.events().empty());
}

struct UrlReadRow {
  const char* name;
  std::optional<std::string> url;
  FilterStatus expected;
  bool warned;
};

class UrlReadTest : public testing::TestWithParam<UrlReadRow> {};

// The URL is read before any path is tried, so an unreadable one fails
// whether or not it would have been protected. Up to 64 KiB it is read
// whole, however long.
TEST_P(UrlReadTest, FailsWhenTheUrlCannotBeRead) {
  const UrlReadRow& row = GetParam();
  Harness h;
  ASSERT_TRUE(h.filter.Start());
  h.log.TakeEvents();
  InMemoryFilterHost host(row.url);
  EXPECT_EQ(h.filter.HttpFilterProc(host, kSfNotifyPreprocHeaders), row.expected);
  std::vector<RecordedEvent> expected_events;
  if (row.warned) expected_events.push_back({EventSeverity::Warning, 0, 2, kUrlUnreadable, ""});
  EXPECT_EQ(h.log.events(), expected_events);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, UrlReadTest,
    testing::Values(UrlReadRow{"Absent", std::nullopt, FilterStatus::Error, true},
                    UrlReadRow{"Ordinary", "/" + std::string(2081, 'a'), FilterStatus::NextNotification, false},
                    UrlReadRow{"Long", "/" + std::string(2082, 'a'), FilterStatus::NextNotification, false},
                    UrlReadRow{"LongestThatFits", "/" + std::string(65534, 'a'), FilterStatus::NextNotification,
                               false},
                    UrlReadRow{"OneByteTooLong", "/" + std::string(65535, 'a'), FilterStatus::Error, true},
                    UrlReadRow{"ProtectedButTooLong", "/secure/" + std::string(70000, 'a'), FilterStatus::Error,
                               true}),
    [](const auto& info) { return std::string(info.param.name); });

struct MatchRow {
  const char* url;
  int expected;  // index of the matching path, or -1
};

class PathMatchTest : public testing::TestWithParam<MatchRow> {};

TEST_P(PathMatchTest, FindsTheFirstProtectedPath) {
  FakeRegistry registry;
  WriteTestConfiguration(registry, {"/Secure", "/Admin/", "/admin/panel", "/caf\xc3\xa9"});
  RecordingEventLog log;
  FilterSettings settings;
  ASSERT_TRUE(LoadSettings(registry, EventReporter(log, settings.Debug), settings));
  char url[kUrlBufferSize];
  std::strcpy(url, GetParam().url);
  EXPECT_EQ(FindProtectedPath(url, settings.ProtectedPaths), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, PathMatchTest,
    testing::Values(
        MatchRow{"/secure/a", 0}, MatchRow{"/SECURE", 0}, MatchRow{"/%53ecure", 0}, MatchRow{"/%53ECURE/x", 0},
        MatchRow{"/x?next=/secure", 0}, MatchRow{"/secured/a", 0}, MatchRow{"/public/secure/a", 0},
        MatchRow{"/insecure/a", -1}, MatchRow{"/x?%2Fsecure", -1}, MatchRow{"/x?/secure", 0},
        MatchRow{"/x#%2Fsecure", -1}, MatchRow{"/sec%75re", 0}, MatchRow{"/sec%2575re", -1},
        MatchRow{"/sec%7", -1}, MatchRow{"/sec%zzure", -1}, MatchRow{"/sec+ure", -1}, MatchRow{"", -1},
        MatchRow{"/", -1},
        // The first matching path wins even when a later one is more specific.
        MatchRow{"/admin/panel", 1}, MatchRow{"/ADMIN/PANEL", 1}, MatchRow{"/admin/panel/secure", 0},
        // Bytes above 0x7F are compared as they are, escaped or not.
        MatchRow{"/caf\xc3\xa9/menu", 3}, MatchRow{"/CAF%C3%A9/menu", 3}, MatchRow{"/caf\xc3\x89", -1}),
    [](const auto& info) {
      std::string name;
      for (const char c : std::string(info.param.url)) {
        name += (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? c : '_';
      }
      return name + "_" + std::to_string(info.index);
    });

struct UnescapeRow {
  const char* input;
  const char* expected;
};

class UrlUnescapeTest : public testing::TestWithParam<UnescapeRow> {};

TEST_P(UrlUnescapeTest, DecodesBeforeTheQueryOnly) {
  std::string buffer = GetParam().input;
  UrlUnescapeInPlace(buffer.data());
  EXPECT_STREQ(buffer.c_str(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, UrlUnescapeTest,
    testing::Values(UnescapeRow{"/a%20b", "/a b"}, UnescapeRow{"/%41%42%43", "/ABC"},
                    UnescapeRow{"/%e9%E9", "/\xe9\xe9"}, UnescapeRow{"/%", "/%"}, UnescapeRow{"/%4", "/%4"},
                    UnescapeRow{"/%4g", "/%4g"}, UnescapeRow{"/%%41", "/%A"}, UnescapeRow{"/%2541", "/%41"},
                    UnescapeRow{"/a+b", "/a+b"}, UnescapeRow{"/a?%41", "/a?%41"}, UnescapeRow{"/a#%41?", "/a#%41?"},
                    UnescapeRow{"/%3Fx?%41", "/?x?%41"}, UnescapeRow{"/a%00b", "/a"}, UnescapeRow{"", ""}));

}  // namespace
}  // namespace turnpike
