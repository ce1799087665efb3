#include "eventlog/event_reporter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_registry.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {
namespace {

TEST(LogEvent, WritesBySeverityAndDebug) {
  const struct {
    const char* name;
    EventType type;
    std::uint32_t debug;
    bool written;
    EventSeverity severity;
  } rows[] = {
      {"error, Debug off", EventType::Error, 0, true, EventSeverity::Error},
      {"warning, Debug off", EventType::Warning, 0, true, EventSeverity::Warning},
      {"information, Debug off", EventType::Information, 0, false, EventSeverity::Information},
      {"information, Debug on", EventType::Information, 1, true, EventSeverity::Information},
      {"information, Debug any non-zero", EventType::Information, 0x80000000u, true, EventSeverity::Information},
      {"started, Debug off", EventType::Started, 0, true, EventSeverity::Information},
      {"stopped, Debug off", EventType::Stopped, 0, true, EventSeverity::Information},
  };
  for (const auto& row : rows) {
    RecordingEventLog log;
    EventReporter(log, row.debug).LogEvent(row.type, "message", "detail");
    std::vector<RecordedEvent> expected;
    if (row.written) expected.push_back({row.severity, 0, static_cast<std::uint32_t>(row.type), "message", "detail"});
    EXPECT_EQ(log.events(), expected) << row.name;
    EXPECT_EQ(log.opens(), row.written ? 1 : 0) << row.name << ": a dropped event makes no platform call";
    EXPECT_EQ(log.open_sources(), 0) << row.name << ": the source is closed after every event";
  }
}

TEST(LogEvent, WritesAbsentStringsAsEmpty) {
  RecordingEventLog log;
  const std::uint32_t debug = 0;
  EventReporter reporter(log, debug);
  reporter.LogEvent(EventType::Error, "only a message", nullptr);
  reporter.LogEvent(EventType::Started, nullptr, nullptr);
  EXPECT_EQ(log.events(), (std::vector<RecordedEvent>{
                              {EventSeverity::Error, 0, 1, "only a message", ""},
                              {EventSeverity::Information, 0, 5, "", ""},
                          }));
}

TEST(LogEvent, CarriesOnWhenTheLogFails) {
  RecordingEventLog log;
  const std::uint32_t debug = 0;
  EventReporter reporter(log, debug);
  log.set_fail_open(true);
  reporter.LogEvent(EventType::Error, "lost", nullptr);
  log.set_fail_open(false);
  log.set_fail_write(true);
  reporter.LogEvent(EventType::Error, "lost too", nullptr);
  EXPECT_TRUE(log.events().empty());
  EXPECT_EQ(log.open_sources(), 0) << "a failed write still closes the source";
}

TEST(RenderEvent, RendersWithTheMessageTable) {
  const char* missing = "A Turnpike registry configuration value is missing or null, please set a valid value for";
  const char* unreadable = "The Turnpike ISAPI could not read the url from the headers.";
  const struct { std::uint32_t id; const char* message; const char* detail; std::string expected; } rows[] = {
      {1, missing, "LoginPath", std::string(missing) + ": LoginPath\r\n"},
      {2, unreadable, nullptr, std::string(unreadable) + ": \r\n"},
      {4, "m", "d", "m: d\r\n"},
      {1, "%2", "%1", "%2: %1\r\n"},  // inserts are not read again
      {5, "", "", "The Turnpike ISAPI Filter has been started.\r\n"},
      {6, nullptr, nullptr, "The Turnpike ISAPI Filter has been stopped.\r\n"},
  };
  for (const auto& row : rows) EXPECT_EQ(RenderEvent(row.id, row.message, row.detail), row.expected) << row.expected;
}

TEST(MessageTable, HoldsExactlyTheFiveIdentifiers) {
  for (std::uint32_t id = 0; id <= 8; ++id) {
    const bool expected = id == 1 || id == 2 || id == 4 || id == 5 || id == 6;
    EXPECT_EQ(MessageTableText(id) != nullptr, expected) << "identifier " << id;
  }
}

// "name type data" of each value of the event source's key.
std::vector<std::string> SourceValues(const FakeRegistry& registry) {
  std::vector<std::string> shown;
  for (const FakeRegistry::Value& value : *registry.ValuesOf(kEventSourceKey)) {
    shown.push_back(value.name + " " + std::to_string(static_cast<int>(value.type)) + " " + value.data);
  }
  return shown;
}

TEST(EnsureEventSource, RegistersAMissingSourceAndLeavesAnExistingOneAsItIs) {
  FakeRegistry registry;
  ASSERT_TRUE(EnsureEventSource(registry));
  const std::string file = "%SystemRoot%\\system32\\inetsrv\\Turnpike.dll";
  EXPECT_EQ(SourceValues(registry), (std::vector<std::string>{"EventMessageFile 2 " + file + '\0',
                                                              std::string("TypesSupported 4 \x07\0\0\0", 21)}));
  EXPECT_EQ(registry.open_keys(), 0);

  FakeRegistry existing;
  existing.SetString(kEventSourceKey, "EventMessageFile", "C:\\elsewhere.dll");
  ASSERT_TRUE(EnsureEventSource(existing));
  EXPECT_EQ(SourceValues(existing),
            std::vector<std::string>{"EventMessageFile 1 C:\\elsewhere.dll" + std::string(1, '\0')});
}

TEST(EnsureEventSource, FailsWhenTheKeyCannotBeMadeOrFilled) {
  for (const char* failing : {"CreateKey", "SetValue"}) {
    FakeRegistry registry;
    registry.Fail(failing);
    EXPECT_FALSE(EnsureEventSource(registry)) << failing;
    EXPECT_EQ(registry.open_keys(), 0) << failing;
  }
}

}  // namespace
}  // namespace turnpike
