#include "eventlog/event_reporter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_registry.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {
namespace {

struct LogRow {
  const char* name;
  EventType type;
  std::uint32_t debug;
  bool written;
  EventSeverity severity;
};

class LogEventTest : public testing::TestWithParam<LogRow> {};

TEST_P(LogEventTest, WritesBySeverityAndDebug) {
  const LogRow& row = GetParam();
  RecordingEventLog log;
  const std::uint32_t debug = row.debug;
  EventReporter reporter(log, debug);

  reporter.LogEvent(row.type, "message", "detail");

  if (!row.written) {
    EXPECT_TRUE(log.events().empty());
    EXPECT_EQ(log.opens(), 0) << "a dropped information event must make no platform call";
    return;
  }
  const auto id = static_cast<std::uint32_t>(row.type);
  EXPECT_EQ(log.events(), (std::vector<RecordedEvent>{{row.severity, 0, id, "message", "detail"}}));
  EXPECT_EQ(log.open_sources(), 0) << "the source is closed after every event";
}

INSTANTIATE_TEST_SUITE_P(
    Types, LogEventTest,
    testing::Values(LogRow{"ErrorDebugOff", EventType::Error, 0, true, EventSeverity::Error},
                    LogRow{"WarningDebugOff", EventType::Warning, 0, true, EventSeverity::Warning},
                    LogRow{"InformationDebugOff", EventType::Information, 0, false, EventSeverity::Information},
                    LogRow{"InformationDebugOn", EventType::Information, 1, true, EventSeverity::Information},
                    LogRow{"InformationDebugAnyNonZero", EventType::Information, 0x80000000u, true,
                           EventSeverity::Information},
                    LogRow{"StartedDebugOff", EventType::Started, 0, true, EventSeverity::Information},
                    LogRow{"StoppedDebugOff", EventType::Stopped, 0, true, EventSeverity::Information}),
    [](const auto& info) { return std::string(info.param.name); });

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

struct RenderRow {
  const char* name;
  std::uint32_t id;
  const char* message;
  const char* detail;
  const char* expected;
};

class RenderEventTest : public testing::TestWithParam<RenderRow> {};

TEST_P(RenderEventTest, RendersWithTheMessageTable) {
  const RenderRow& row = GetParam();
  EXPECT_EQ(RenderEvent(row.id, row.message, row.detail), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RenderEventTest,
    testing::Values(
        RenderRow{"Error", 1, "A Turnpike registry configuration value is missing or null, please set a valid value for",
                  "LoginPath",
                  "A Turnpike registry configuration value is missing or null, please set a valid value for: "
                  "LoginPath\r\n"},
        RenderRow{"WarningWithoutDetail", 2, "The Turnpike ISAPI could not read the url from the headers.", nullptr,
                  "The Turnpike ISAPI could not read the url from the headers.: \r\n"},
        RenderRow{"Information", 4, "m", "d", "m: d\r\n"},
        RenderRow{"InsertsAreNotReinterpreted", 1, "%2", "%1", "%2: %1\r\n"},
        RenderRow{"Started", 5, "", "", "The Turnpike ISAPI Filter has been started.\r\n"},
        RenderRow{"Stopped", 6, nullptr, nullptr, "The Turnpike ISAPI Filter has been stopped.\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

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
