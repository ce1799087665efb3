#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fakes/fake_validation_platform.h"
#include "tests/validation/event_matchers.h"
#include "validation/validate_ticket.h"

namespace turnpike {
namespace {

constexpr const char* kUrl =
    "https://cas.example.org/cas/serviceValidate?service=http%3A%2F%2Fapp%2F&ticket=ST-1";

// Each road through one validation: the platform's answers, the result, the
// events, and the calls in order, which shows that the session ends last on
// every road.
struct ValidateCase {
  const char* name;
  void (*script)(FakeValidationPlatform&);
  std::optional<std::string> expected;
  std::vector<RecordedEvent> events;
  FakeCallLog calls;
};

std::vector<ValidateCase> ValidateCases() {
  const std::string get = std::string("Get ") + kUrl;
  // The answer is fetched and loaded, and no query is run on it.
  const FakeCallLog answered = {"Begin", "CreateHttpRequest", get, "CreateXmlDocument",
                                "ResponseText", "LoadResponse", "~XmlDocument", "~HttpRequest",
                                "~Session"};
  return {
      {"SessionCannotBegin", [](FakeValidationPlatform& p) { p.fail_begin = true; },
       std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to initialize COM")},
       {"Begin"}},
      {"RequestObjectCannotBeCreated",
       [](FakeValidationPlatform& p) { p.fail_create_request = true; }, std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to create an XML Instance ")},
       {"Begin", "CreateHttpRequest", "~Session"}},
      {"GetFails", [](FakeValidationPlatform& p) { p.fail_get = true; }, std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to load the Validation URL XML Document",
                   kUrl)},
       {"Begin", "CreateHttpRequest", get, "~HttpRequest", "~Session"}},
      {"DocumentCannotBeCreated",
       [](FakeValidationPlatform& p) { p.fail_create_document = true; }, std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to create an XML Document Instance ")},
       {"Begin", "CreateHttpRequest", get, "CreateXmlDocument", "~HttpRequest", "~Session"}},
      {"ResponseTextUnreadable", [](FakeValidationPlatform& p) { p.body = std::nullopt; },
       std::nullopt,
       {},
       {"Begin", "CreateHttpRequest", get, "CreateXmlDocument", "ResponseText", "~XmlDocument",
        "~HttpRequest", "~Session"}},
      {"LoadFails",
       [](FakeValidationPlatform& p) {
         p.body = "<x/>";
         p.load = XmlLoadResult::Failed;
       },
       std::nullopt,
       {},
       answered},
      {"NotXmlGoesToCas1",
       [](FakeValidationPlatform& p) {
         p.body = "yes\nalice\n";
         p.load = XmlLoadResult::NotWellFormed;
       },
       "alice",
       {},
       answered},
      {"Cas1TextEndsAtItsFirstNul",
       [](FakeValidationPlatform& p) {
         p.body = std::string("yes\nal\0ice\n", 11);
         p.load = XmlLoadResult::NotWellFormed;
       },
       "al",
       {},
       answered},
      {"Cas1NameNotHeldExactlyIsReportedWithIt",
       [](FakeValidationPlatform& p) {
         p.body = "yes\nJos?\n";
         p.body_exact = false;
       },
       std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to parse the 1.x authenticated user name "
                   "because it does not exist or was too large",
                   "Jos?")},
       answered},
      {"DoctypeIsReportedWithTheAnswer",
       [](FakeValidationPlatform& p) {
         p.body = "<!DOCTYPE a><a/>";
         p.load = XmlLoadResult::CarriesDtd;
       },
       std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to parse the 2.x Authentication response",
                   "<!DOCTYPE a><a/>")},
       answered},
      {"WellFormedGoesToCas2",
       [](FakeValidationPlatform& p) {
         p.body = "<answer/>";
         p.load = XmlLoadResult::WellFormed;
         p.queries = {{"//cas:authenticationSuccess", XmlQueryResult::Found},
                      {"//cas:user", XmlQueryResult::Found}};
         p.nodes = {{"//cas:user", FakeXmlElement{"user", "alice"}}};
       },
       "alice",
       {},
       answered},
  };
}

void PrintTo(const ValidateCase& row, std::ostream* os) { *os << row.name; }

class ValidateTicketTest : public testing::TestWithParam<ValidateCase> {};

TEST_P(ValidateTicketTest, FollowsTheRoad) {
  const ValidateCase& row = GetParam();
  RecordingReporter events;
  FakeValidationPlatform platform;
  row.script(platform);
  EXPECT_EQ(ValidateTicket(kUrl, platform, events.reporter), row.expected);
  EXPECT_EQ(events.log.events(), row.events);
  EXPECT_EQ(platform.calls, row.calls);
}

INSTANTIATE_TEST_SUITE_P(Roads, ValidateTicketTest, testing::ValuesIn(ValidateCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A platform that throws (here: out of memory on the first call) must not
// carry the exception into the web server.
class ThrowingPlatform final : public ValidationPlatform {
 public:
  std::unique_ptr<ValidationSession> Begin() override { throw std::bad_alloc(); }
};

TEST(ValidateTicketExceptions, NoExceptionLeavesTheCall) {
  RecordingReporter events;
  ThrowingPlatform platform;
  EXPECT_EQ(ValidateTicket(kUrl, platform, events.reporter), std::nullopt);
}

}  // namespace
}  // namespace turnpike
