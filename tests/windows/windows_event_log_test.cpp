// WindowsEventLog against Wine's advapi32: the source opens, every severity
// is written with the two strings, and the source closes. (What Wine makes of
// the events is checked through the DLL, in tests/iis.)
#include <gtest/gtest.h>

#include "platform/windows/windows_event_log.h"

namespace turnpike {
namespace {

TEST(WindowsEventLog, WritesEverySeverityThroughOneSource) {
  WindowsEventLog log;
  const EventSourceHandle source = log.OpenSource("Turnpike");
  ASSERT_NE(source, nullptr);
  const char* const strings[2] = {"A Turnpike registry configuration value is missing", "LoginPath"};
  const char* const empty[2] = {"", ""};
  EXPECT_TRUE(log.Write(source, EventSeverity::Error, 0, 1, strings));
  EXPECT_TRUE(log.Write(source, EventSeverity::Warning, 0, 2, strings));
  EXPECT_TRUE(log.Write(source, EventSeverity::Information, 0, 5, empty));
  log.CloseSource(source);
}

}  // namespace
}  // namespace turnpike
