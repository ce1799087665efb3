#include "filter/filter.h"

#include <gtest/gtest.h>

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
  EXPECT_TRUE(h.filter.settings().ServerURL.empty()) << "the settings are not read";
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

// The URL is read before any path is tried, so an unreadable one fails
// whether or not it would have been protected. Up to 64 KiB it is read
// whole, however long.
TEST(HttpFilterProc, FailsWhenTheUrlCannotBeRead) {
  const struct { std::optional<std::string> url; bool read; } rows[] = {
      {std::nullopt, false},
      {"/" + std::string(2081, 'a'), true},
      {"/" + std::string(2082, 'a'), true},
      {"/" + std::string(65534, 'a'), true},
      {"/" + std::string(65535, 'a'), false},
      {"/secure/" + std::string(70000, 'a'), false},  // protected, but too long
  };
  for (const auto& row : rows) {
    Harness h;
    ASSERT_TRUE(h.filter.Start());
    h.log.TakeEvents();
    InMemoryFilterHost host(row.url);
    const std::size_t length = row.url.value_or("").size();
    EXPECT_EQ(h.filter.HttpFilterProc(host, kSfNotifyPreprocHeaders),
              row.read ? FilterStatus::NextNotification : FilterStatus::Error) << length;
    std::vector<RecordedEvent> expected_events;
    if (!row.read) expected_events.push_back({EventSeverity::Warning, 0, 2, kUrlUnreadable, ""});
    EXPECT_EQ(h.log.events(), expected_events) << length;
  }
}

TEST(FindProtectedPath, FindsTheFirstProtectedPath) {
  FakeRegistry registry;
  WriteTestConfiguration(registry, {"/Secure", "/Admin/", "/admin/panel", "/caf\xc3\xa9"});
  RecordingEventLog log;
  FilterSettings settings;
  ASSERT_TRUE(LoadSettings(registry, EventReporter(log, settings.Debug), settings));
  const struct { const char* url; int expected; } rows[] = {  // the index of the path, or -1
      {"/secure/a", 0}, {"/SECURE", 0}, {"/%53ecure", 0}, {"/%53ECURE/x", 0}, {"/x?next=/secure", 0},
      {"/secured/a", 0}, {"/public/secure/a", 0}, {"/insecure/a", -1}, {"/x?%2Fsecure", -1}, {"/x?/secure", 0},
      {"/x#%2Fsecure", -1}, {"/sec%75re", 0}, {"/sec%2575re", -1}, {"/sec%7", -1}, {"/sec%zzure", -1},
      {"/sec+ure", -1}, {"", -1}, {"/", -1},
      // The first matching path wins even when a later one is more specific.
      {"/admin/panel", 1}, {"/ADMIN/PANEL", 1}, {"/admin/panel/secure", 0},
      // Bytes above 0x7F are compared as they are, escaped or not.
      {"/caf\xc3\xa9/menu", 3}, {"/CAF%C3%A9/menu", 3}, {"/caf\xc3\x89", -1},
  };
  for (const auto& row : rows) {
    char url[kUrlBufferSize];
    std::strcpy(url, row.url);
    EXPECT_EQ(FindProtectedPath(url, settings.ProtectedPaths), row.expected) << row.url;
  }
}

TEST(UrlUnescape, DecodesBeforeTheQueryOnly) {
  const struct { const char* input; const char* expected; } rows[] = {
      {"/a%20b", "/a b"}, {"/%41%42%43", "/ABC"}, {"/%e9%E9", "/\xe9\xe9"}, {"/%", "/%"}, {"/%4", "/%4"},
      {"/%4g", "/%4g"}, {"/%%41", "/%A"}, {"/%2541", "/%41"}, {"/a+b", "/a+b"}, {"/a?%41", "/a?%41"},
      {"/a#%41?", "/a#%41?"}, {"/%3Fx?%41", "/?x?%41"}, {"/a%00b", "/a"}, {"", ""},
  };
  for (const auto& row : rows) {
    std::string buffer = row.input;
    UrlUnescapeInPlace(buffer.data());
    EXPECT_STREQ(buffer.c_str(), row.expected) << row.input;
  }
}

}  // namespace
}  // namespace turnpike
