#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/validation/event_matchers.h"
#include "validation/cas_response.h"

namespace turnpike {
namespace {

constexpr const char* kNoUser =
    "The Turnpike ISAPI filter was unable to parse the 1.x authenticated user name because it "
    "does not exist or was too large";

TEST(Cas1Response, ReadsTheUserName) {
  const std::string name4094(4094, 'u');
  const std::string name4095(4095, 'u');
  const struct {
    const char* name;
    std::string text;
    std::optional<std::string> expected;
    std::vector<RecordedEvent> events;
  } rows[] = {
      {"LineFeeds", "yes\nalice\n", "alice", {}},
      {"CarriageReturnLineFeeds", "yes\r\nalice\r\n", "alice", {}},
      {"BlankOnOneLine", "yes alice", "alice", {}},
      {"TabsAndRunsOfSeparators", "yes \t\r\n \talice\t", "alice", {}},
      {"BlankLinesBeforeYesAreSkipped", "\n\r\n  yes\nalice\n", "alice", {}},
      {"NameWithBlankIsCutAtTheBlank", "yes\ncarol smith\n", "carol", {}},
      {"ThirdLineIgnored", "yes\nalice\nbob\n", "alice", {}},
      {"NameOf4094BytesFits", "yes\n" + name4094 + "\n", name4094, {}},
      {"NameBytesAboveAsciiKeptAsTheyAre", "yes\nh\xc3\xa9l\xc3\xa8ne\n", "h\xc3\xa9l\xc3\xa8ne", {}},
      // Refusals and answers that are no CAS 1.0 acceptance: nothing, silently.
      {"No", "no\n\n", std::nullopt, {}},
      {"Empty", "", std::nullopt, {}},
      {"OnlySeparators", " \r\n\t", std::nullopt, {}},
      {"UpperCaseYes", "YES\nalice\n", std::nullopt, {}},
      {"YesAsPrefixOfAWord", "yesno\nalice\n", std::nullopt, {}},
      {"HtmlPage", "<html><body>yes alice</body></html>", std::nullopt, {}},
      // "yes" without a usable name is reported; the buffer then ends right
      // after "yes", so the detail carries any separators before it.
      {"YesAlone", "yes", std::nullopt, {ErrorEvent(kNoUser, "yes")}},
      {"YesWithOnlySeparatorsAfter", "yes\r\n\n ", std::nullopt, {ErrorEvent(kNoUser, "yes")}},
      {"YesAfterBlankLinesAlone", "\n\nyes\n", std::nullopt, {ErrorEvent(kNoUser, "\n\nyes")}},
      {"NameOf4095BytesTooLarge", "yes\n" + name4095 + "\n", std::nullopt,
       {ErrorEvent(kNoUser, "yes")}},
  };
  for (const auto& row : rows) {
    RecordingReporter events;
    std::string buffer = row.text;
    EXPECT_EQ(UserOf(ParseCas1Response(buffer.data(), events.reporter)), row.expected) << row.name;
    EXPECT_EQ(events.log.events(), row.events) << row.name;
  }
}

}  // namespace
}  // namespace turnpike
