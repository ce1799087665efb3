#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_clock.h"
#include "fakes/fake_validation_platform.h"
#include "tests/validation/event_matchers.h"
#include "validation/validate_ticket.h"

namespace turnpike {
namespace {

constexpr const char* kUrl =
    "https://cas.example.org/cas/serviceValidate?service=http%3A%2F%2Fapp%2F&ticket=ST-1";
constexpr const char* kNotPrepared = "the validation could not be prepared on this server";
constexpr const char* kUnreadable = "the CAS server's answer could not be read";

// Each road through one validation: the platform's answers, the user, the
// events and the cause given for an administrator.
struct ValidateCase {
  const char* name;
  void (*script)(FakeValidationPlatform&);
  std::optional<std::string> user;
  std::vector<RecordedEvent> events;
  std::string why;
};

std::vector<ValidateCase> ValidateCases() {
  using P = FakeValidationPlatform&;
  return {
      {"SessionCannotBegin", [](P p) { p.fail_begin = true; }, std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to initialize COM")}, kNotPrepared},
      {"RequestObjectCannotBeCreated", [](P p) { p.fail_create_request = true; }, std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to create an XML Instance ")}, kNotPrepared},
      {"GetFails", [](P p) { p.fail_get = true; }, std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to load the Validation URL XML Document", kUrl)},
       "the CAS server could not be reached"},
      {"DocumentCannotBeCreated", [](P p) { p.fail_create_document = true; }, std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to create an XML Document Instance ")}, kNotPrepared},
      {"ResponseTextUnreadable", [](P p) { p.body = std::nullopt; }, std::nullopt, {}, kUnreadable},
      {"LoadFails", [](P p) { p.load = XmlLoadResult::Failed; }, std::nullopt, {}, kUnreadable},
      {"NotXmlGoesToCas1", [](P p) { p.body = "yes\nalice\n"; }, "alice", {}, ""},
      {"Cas1TextEndsAtItsFirstNul", [](P p) { p.body = std::string("yes\nal\0ice\n", 11); }, "al", {}, ""},
      {"LongAnswerIsCutInTheCause", [](P p) { p.body = std::string(1001, 'x'); }, std::nullopt, {},
       "the CAS server answered: " + std::string(1000, 'x') + "..."},
      {"Cas1NameNotHeldExactlyIsReportedWithIt", [](P p) { p.body = "yes\nJos?\n"; p.body_exact = false; },
       std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to parse the 1.x authenticated user name "
                   "because it does not exist or was too large",
                   "Jos?")},
       "the CAS server answered: yes\nJos?\n"},
      {"DoctypeIsReportedWithTheAnswer",
       [](P p) { p.body = "<!DOCTYPE a><a/>"; p.load = XmlLoadResult::CarriesDtd; }, std::nullopt,
       {ErrorEvent("The Turnpike ISAPI filter was unable to parse the 2.x Authentication response",
                   "<!DOCTYPE a><a/>")},
       "the CAS server answered: <!DOCTYPE a><a/>"},
      {"WellFormedGoesToCas2",
       [](P p) {
         p.load = XmlLoadResult::WellFormed;
         p.queries = {{"//cas:authenticationSuccess", XmlQueryResult::Found}, {"//cas:user", XmlQueryResult::Found}};
         p.nodes = {{"//cas:user", FakeXmlElement{"user", "alice"}}};
       },
       "alice", {}, ""},
  };
}

TEST(ValidateTicket, FollowsEachRoad) {
  for (const ValidateCase& row : ValidateCases()) {
    SCOPED_TRACE(row.name);
    RecordingReporter events;
    FakeValidationPlatform platform;
    const FakeClock clock;
    row.script(platform);
    const ValidationOutcome outcome = ValidateTicket(kUrl, "ST-1", platform, clock, events.reporter);
    EXPECT_EQ(outcome.sign_on, row.user ? std::optional(SignOn{*row.user, {}, "ST-1", FakeClock::kStart})
                                        : std::nullopt);
    EXPECT_EQ(outcome.why, row.why);
    EXPECT_EQ(events.log.events(), row.events);
    // The session stands for the thread's COM initialisation: every object of
    // the validation is released before it, on every road.
    if (!platform.fail_begin) EXPECT_EQ(platform.calls.back(), "~Session");
  }
}

// A platform that throws (here: out of memory on the first call) must not
// carry the exception into the web server.
class ThrowingPlatform final : public ValidationPlatform {
 public:
  std::unique_ptr<ValidationSession> Begin() override { throw std::bad_alloc(); }
};

TEST(ValidateTicketExceptions, NoExceptionLeavesTheCall) {
  RecordingReporter events;
  ThrowingPlatform platform;
  const FakeClock clock;
  const ValidationOutcome outcome = ValidateTicket(kUrl, "ST-1", platform, clock, events.reporter);
  EXPECT_EQ(outcome.sign_on, std::nullopt);
  EXPECT_EQ(outcome.why, "");
}

}  // namespace
}  // namespace turnpike
