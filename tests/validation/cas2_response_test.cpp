#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fakes/fake_validation_platform.h"
#include "platform/posix/curl_libxml2_validation.h"
#include "tests/validation/cas2_answers.h"
#include "tests/validation/event_matchers.h"
#include "validation/cas_response.h"

namespace turnpike {
namespace {

constexpr const char* kResponse = kCas2Unparsed;
constexpr const char* kProperty =
    "The Turnpike ISAPI filter was unable to set a XML Document Property ";

// Rows that depend on how libxml2 treats DTDs, encodings and mixed content.
std::vector<Cas2Case> Cas2Libxml2Cases() {
  const std::string name4094(4094, 'u');
  return {
      {"SuccessWithAttributes",
       Cas2Answer("<cas:authenticationSuccess><cas:user>alice</cas:user><cas:attributes>"
                  "<cas:email>alice@example.org</cas:email><cas:memberOf>staff</cas:memberOf>"
                  "</cas:attributes></cas:authenticationSuccess>"),
       "alice", nullptr, {{"email", {"alice@example.org"}}, {"memberOf", {"staff"}}}},
      {"NameIsCountedInUtf8Bytes", Cas2Success(std::string(4091, 'u') + "\xc3\xa9\xc3\xa9"),
       std::nullopt, kCas2TooLarge},
      {"UserOfAnotherNamespace",
       Cas2Answer("<cas:authenticationSuccess><x:user xmlns:x=\"urn:x\">alice</x:user>"
                  "</cas:authenticationSuccess>"),
       std::nullopt, kResponse},
      {"XmlThatIsNoCasAnswer", "<status><ok>true</ok></status>", std::nullopt, kResponse},
      {"TextOfDescendantsAndCdata", Cas2Success("al<b>i</b><![CDATA[ce]]>"), "alice", nullptr},
      // Surprising but intended: the success element is looked for first.
      {"SuccessWinsOverFailure",
       Cas2Answer("<cas:authenticationFailure code=\"INVALID_TICKET\"/>"
                  "<cas:authenticationSuccess><cas:user>alice</cas:user></cas:authenticationSuccess>"),
       "alice", nullptr},
      // As MSXML's text of an element, without the white space around it.
      {"WhiteSpaceAroundTheNameIsDropped", Cas2Success("\n  alice smith\t\r\n"), "alice smith", nullptr},
  };
}

class Cas2ResponseTest : public testing::TestWithParam<Cas2Case> {
 protected:
  static void SetUpTestSuite() { platform_ = new CurlLibxml2ValidationPlatform(); }
  static void TearDownTestSuite() { delete platform_; }
  static CurlLibxml2ValidationPlatform* platform_;
};
CurlLibxml2ValidationPlatform* Cas2ResponseTest::platform_ = nullptr;

TEST_P(Cas2ResponseTest, ReadsTheSignOn) { ExpectCas2Row(*platform_, GetParam()); }

auto RowName = [](const auto& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(Cas2, Cas2ResponseTest, testing::ValuesIn(Cas2CasesForEveryEngine()), RowName);
INSTANTIATE_TEST_SUITE_P(Cas2Libxml2, Cas2ResponseTest, testing::ValuesIn(Cas2Libxml2Cases()), RowName);

using DoctypeTest = testing::TestWithParam<DoctypeCase>;

TEST_P(DoctypeTest, NamesNobody) {
  CurlLibxml2ValidationPlatform platform;
  ExpectDoctypeAnswerNamesNobody(platform, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Doctype, DoctypeTest, testing::ValuesIn(DoctypeCasesForEveryEngine()),
                         RowName);

// Against a scripted document: the platform's own failures.
struct Cas2PlatformCase {
  const char* name;
  XmlBindResult bind;
  std::map<std::string, XmlQueryResult> queries;
  std::map<std::string, FakeXmlElement> nodes;
  std::vector<RecordedEvent> events;
};

constexpr const char* kSuccessQuery = "//cas:authenticationSuccess";
constexpr const char* kUserQuery = "//cas:user";
constexpr const char* kFailureQuery = "//cas:authenticationFailure";
constexpr XmlQueryResult kFound = XmlQueryResult::Found;
constexpr XmlQueryResult kFailed = XmlQueryResult::Failed;
constexpr XmlBindResult kBound = XmlBindResult::Bound;
const std::map<std::string, XmlQueryResult> kSuccessAndUser = {{kSuccessQuery, kFound},
                                                               {kUserQuery, kFound}};

// Each yields nothing; only the refused bindings, the unintelligible answer
// and texts the 8-bit form cannot hold are reported.
const Cas2PlatformCase kCas2PlatformCases[] = {
    {"LanguageRefused", XmlBindResult::LanguageRefused, {}, {},
     {ErrorEvent(kProperty, "SelectionLanguage")}},
    {"NamespacesRefused", XmlBindResult::NamespacesRefused, {}, {},
     {ErrorEvent(kProperty, "SelectionNamespaces")}},
    {"SuccessQueryFails", kBound, {{kSuccessQuery, kFailed}}, {}, {}},
    {"UserQueryFails", kBound, {{kSuccessQuery, kFound}, {kUserQuery, kFailed}}, {}, {}},
    {"UserTextUnreadable", kBound, kSuccessAndUser, {{kUserQuery, {"user", std::nullopt}}}, {}},
    {"FailureQueryFails", kBound, {{kFailureQuery, kFailed}}, {}, {}},
    {"NeitherElementReportsTheDocument", kBound, {}, {}, {ErrorEvent(kResponse, "<fake/>")}},
    // A stand-in for a character the 8-bit form lacks would name another
    // account, or give it another attribute; the text as it came out is the
    // detail.
    {"UserNotHeldExactlyIsReportedWithIt", kBound, kSuccessAndUser,
     {{kUserQuery, {"user", "Jos? ?????", false}}}, {ErrorEvent(kResponse, "Jos? ?????")}},
    {"AttributeNotHeldExactlyIsReportedWithIt", kBound, kSuccessAndUser,
     {{kSuccessQuery,
       {"authenticationSuccess", "", true, {{"attributes", "", true, {{"sn", "?ukasz", false}}}}}}},
     {ErrorEvent(kResponse, "?ukasz")}},
};

TEST(Cas2Platform, YieldsNothing) {
  for (const Cas2PlatformCase& row : kCas2PlatformCases) {
    RecordingReporter events;
    FakeCallLog calls;
    FakeXmlDocument document(calls);
    document.bind = row.bind;
    document.queries = row.queries;
    document.nodes = row.nodes;
    EXPECT_EQ(ParseCas2Response(document, events.reporter), std::nullopt) << row.name;
    EXPECT_EQ(events.log.events(), row.events) << row.name;
  }
}

}  // namespace
}  // namespace turnpike
