// The COM + MSXML validation platform against Wine's real COM, MSXML and
// HTTP stack, and tests/support/cas_server.py on 127.0.0.1 (started around
// the program by with_cas_server.py, which passes its URL in
// TURNPIKE_CAS_URL).
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/windows/msxml_validation.h"
#include "tests/validation/cas2_answers.h"
#include "tests/validation/event_matchers.h"
#include "validation/cas_response.h"

namespace turnpike {
namespace {

constexpr const char* kLoadUrl =
    "The Turnpike ISAPI filter was unable to load the Validation URL XML Document";
constexpr const char* kInitialize = "The Turnpike ISAPI filter was unable to initialize COM";
constexpr const char* kCas1NoUser =
    "The Turnpike ISAPI filter was unable to parse the 1.x authenticated user name because it "
    "does not exist or was too large";
constexpr const char* kEscapedService = "http%3A%2F%2Fwww.example.org%2Fsecure%2Fpage";

std::string FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string CasUrl() { return FromEnvironment("TURNPIKE_CAS_URL"); }

std::string ValidationUrl(const std::string& endpoint, const std::string& ticket) {
  return CasUrl() + endpoint + "?service=" + kEscapedService + "&ticket=" + ticket;
}

std::vector<std::string> Messages(const std::vector<RecordedEvent>& events) {
  std::vector<std::string> messages;
  for (const RecordedEvent& event : events) {
    EXPECT_EQ(event.event_id, 1u) << event.message;
    messages.push_back(event.message);
  }
  return messages;
}

// One validation per row, through ValidateTicket, as the filter makes it.
struct ExchangeRow {
  const char* name;
  const char* endpoint;  // below the server URL; /_fault/MODE/... for one faulty answer
  const char* user;      // for whom a real ticket is issued; null: a ticket nobody issued
  std::optional<std::string> expected;
  std::vector<std::string> events;  // messages of the error events, in order
  // The events may also be none: Wine's HTTP stack now and then reads a
  // connection reset before any answer as an empty answer, which the CAS 1.0
  // reading then refuses without an event. The result is nothing either way.
  bool events_may_be_none = false;
};

void PrintTo(const ExchangeRow& row, std::ostream* os) { *os << row.name; }

std::vector<ExchangeRow> ExchangeRows() {
  return {
      {"Cas2Success", "/serviceValidate", "alice", "alice", {}},
      {"Cas3SuccessWithAttributes", "/p3/serviceValidate", "alice", "alice", {}},
      {"Cas1Success", "/validate", "alice", "alice", {}},
      {"Cas2NameWithABlank", "/serviceValidate", "carol smith", "carol smith", {}},
      // CAS 1.0 names end at the first separator: only the first word is the name.
      {"Cas1NameWithABlankIsCut", "/validate", "carol smith", "carol", {}},
      {"Cas2RefusalIsNoFault", "/serviceValidate", nullptr, std::nullopt, {}},
      {"Cas1RefusalIsNoFault", "/validate", nullptr, std::nullopt, {}},
      {"HtmlErrorPageGoesToCas1", "/_fault/html500/serviceValidate", "alice", std::nullopt, {}},
      {"EmptyBodyGoesToCas1", "/_fault/empty/serviceValidate", "alice", std::nullopt, {}},
      {"XmlThatIsNoCasAnswer", "/_fault/notcas/serviceValidate", "alice", std::nullopt, {kCas2Unparsed}},
      {"ConnectionResetWithoutAnswer", "/_fault/reset/serviceValidate", "alice", std::nullopt, {kLoadUrl}, true},
      // Hostile answers: the user is an external entity naming /etc/passwd,
      // an internal one naming bob, or a "billion laughs" entity. None may
      // become a name, nor hang; an answer with a DOCTYPE is reported.
      {"ExternalEntityIsNotResolved", "/_fault/xxe/serviceValidate", "alice", std::nullopt, {kCas2Unparsed}},
      {"InternalEntityNamesNobody", "/_fault/entity/serviceValidate", "alice", std::nullopt, {kCas2Unparsed}},
      // Wine parses the DTD in spite of ProhibitDTD and gives up on the bomb
      // as not well-formed, so it goes on to the CAS 1.0 reading; Windows
      // stops at the DOCTYPE and reports it.
      {"EntityExpansionIsRefused", "/_fault/laughs/serviceValidate", "alice", std::nullopt, {}},
      // Names reach the filter in the ANSI code page (Windows-1252 here):
      // one it holds arrives as its bytes, any other is refused, never
      // replaced by a look-alike (full-width letters name another account).
      {"Cas2NameTheCodePageHolds", "/serviceValidate", "Jos\u00e9", "Jos\xe9", {}},
      {"Cas1NameTheCodePageHolds", "/validate", "Jos\u00e9", "Jos\xe9", {}},
      {"Cas2FullWidthName", "/serviceValidate", "\uff41\uff44\uff4d\uff49\uff4e", std::nullopt, {kCas2Unparsed}},
      {"Cas1FullWidthName", "/validate", "\uff41\uff44\uff4d\uff49\uff4e", std::nullopt, {kCas1NoUser}},
      {"Cas2AccentTheCodePageLacks", "/serviceValidate", "\u0141ukasz", std::nullopt, {kCas2Unparsed}},
      {"Cas1AccentTheCodePageLacks", "/validate", "\u0141ukasz", std::nullopt, {kCas1NoUser}},
      {"Cas2CyrillicName", "/serviceValidate", "\u0418\u0432\u0430\u043d", std::nullopt, {kCas2Unparsed}},
      {"Cas2CjkName", "/serviceValidate", "\u5c71\u7530", std::nullopt, {kCas2Unparsed}},
  };
}

class MsxmlExchangeTest : public testing::TestWithParam<ExchangeRow> {};

TEST_P(MsxmlExchangeTest, ValidatesThroughServerXmlHttp) {
  const ExchangeRow& row = GetParam();
  ASSERT_FALSE(CasUrl().empty()) << "run under with_cas_server.py";
  ASSERT_EQ(GetACP(), 1252u) << "the names' bytes are written for Windows-1252";
  MsxmlValidationPlatform platform;
  const std::string ticket =
      row.user != nullptr ? IssueTicket(platform, CasUrl(), kEscapedService, row.user) : "ST-unknown";
  ASSERT_FALSE(ticket.empty());
  const std::string url = ValidationUrl(row.endpoint, ticket);

  RecordingReporter events;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(ValidatedUser(url, platform, events.reporter), row.expected);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));

  const std::vector<RecordedEvent> recorded = events.log.events();
  if (!(row.events_may_be_none && recorded.empty())) EXPECT_EQ(Messages(recorded), row.events);
  if (!recorded.empty() && recorded[0].message == kLoadUrl) EXPECT_EQ(recorded[0].detail, url);
}

auto RowName = [](const auto& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(Exchanges, MsxmlExchangeTest, testing::ValuesIn(ExchangeRows()), RowName);

TEST(MsxmlValidation, UnreachableServerIsOneLoadEventWithTheUrl) {
  const std::string port = FromEnvironment("TURNPIKE_UNUSED_PORT");
  ASSERT_FALSE(port.empty()) << "run under with_cas_server.py";
  const std::string url = "http://127.0.0.1:" + port + "/cas/serviceValidate?service=x&ticket=ST-1";
  MsxmlValidationPlatform platform;
  RecordingReporter events;
  EXPECT_EQ(ValidatedUser(url, platform, events.reporter), std::nullopt);
  EXPECT_EQ(events.log.events(), std::vector<RecordedEvent>{ErrorEvent(kLoadUrl, url)});
}

// The parser's queries and walks against MSXML, on the rows every engine
// must answer alike, and on what only the code page can refuse: an attribute
// it cannot hold refuses the sign-on as a user name would.
class MsxmlDocumentTest : public testing::TestWithParam<Cas2Case> {};

TEST_P(MsxmlDocumentTest, ParsesCas2AnswersWithMsxml) {
  MsxmlValidationPlatform platform;
  ExpectCas2Row(platform, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cas2, MsxmlDocumentTest, testing::ValuesIn(Cas2CasesForEveryEngine()),
                         RowName);
INSTANTIATE_TEST_SUITE_P(
    Cas2CodePage, MsxmlDocumentTest,
    testing::Values(Cas2Case{"AttributeTheCodePageLacks",
                             Cas2Answer("<cas:authenticationSuccess><cas:user>alice</cas:user>"
                                        "<cas:attributes><cas:sn>&#x141;ukasz</cas:sn>"
                                        "</cas:attributes></cas:authenticationSuccess>"),
                             std::nullopt, kCas2Unparsed, {}, "?ukasz"}),
    RowName);

using MsxmlDoctypeTest = testing::TestWithParam<DoctypeCase>;

TEST_P(MsxmlDoctypeTest, NamesNobody) {
  MsxmlValidationPlatform platform;
  ExpectDoctypeAnswerNamesNobody(platform, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Doctype, MsxmlDoctypeTest, testing::ValuesIn(DoctypeCasesForEveryEngine()),
                         RowName);

TEST(MsxmlDocument, RefusesEveryDtdAndTellsTextThatIsNotXml) {
  const struct { const char* text; XmlLoadResult expected; } rows[] = {
      {"<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><x>&e;</x>", XmlLoadResult::CarriesDtd},
      {"<!DOCTYPE x [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]><x>&b;</x>", XmlLoadResult::CarriesDtd},
      {"<!DOCTYPE x SYSTEM \"http://127.0.0.1:1/x.dtd\"><x/>", XmlLoadResult::CarriesDtd},
      {"", XmlLoadResult::NotWellFormed},
      {"yes\nalice\n", XmlLoadResult::NotWellFormed},
      {"<html><body>500</html>", XmlLoadResult::NotWellFormed},
      {"<a></b>", XmlLoadResult::NotWellFormed},
  };
  MsxmlValidationPlatform platform;
  const auto session = platform.Begin();
  ASSERT_NE(session, nullptr);
  for (const auto& row : rows) {
    const auto document = session->CreateXmlDocument();
    ASSERT_NE(document, nullptr);
    EXPECT_EQ(document->LoadXml(row.text), row.expected) << row.text;
  }
}

// COM's apartments: a thread that already chose the multi-threaded apartment
// cannot be prepared; one already in a single-threaded apartment is
// validated and left as it was found.
TEST(MsxmlValidation, MultiThreadedApartmentCannotBegin) {
  MsxmlValidationPlatform platform;
  bool began = true;
  std::thread worker([&] {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    began = platform.Begin() != nullptr;
    CoUninitialize();
  });
  worker.join();
  EXPECT_FALSE(began);

  RecordingReporter events;
  std::thread validator([&] {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    EXPECT_EQ(ValidatedUser("http://127.0.0.1:1/x", platform, events.reporter), std::nullopt);
    CoUninitialize();
  });
  validator.join();
  EXPECT_EQ(events.log.events(), std::vector<RecordedEvent>{ErrorEvent(kInitialize)});
}

TEST(MsxmlValidation, SingleThreadedApartmentStaysInitialised) {
  MsxmlValidationPlatform platform;
  HRESULT again = E_FAIL;
  std::thread worker([&] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    {
      const auto session = platform.Begin();
      ASSERT_NE(session, nullptr);
      EXPECT_NE(session->CreateXmlDocument(), nullptr);
    }
    // Still initialised by the thread's own call: joining again is S_FALSE.
    again = CoInitialize(nullptr);
    CoUninitialize();
    CoUninitialize();
  });
  worker.join();
  EXPECT_EQ(again, S_FALSE);
}

}  // namespace
}  // namespace turnpike
