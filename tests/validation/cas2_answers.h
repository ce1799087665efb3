// CAS 2.0 answers and what the parser must make of them, whichever XML
// engine loads them: the libxml2 layer on Linux and MSXML on Windows run
// the same rows.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "common/sign_on.h"
#include "platform/validation_platform.h"
#include "tests/validation/event_matchers.h"
#include "validation/cas_response.h"

namespace turnpike {

inline constexpr const char* kCas2Unparsed =
    "The Turnpike ISAPI filter was unable to parse the 2.x Authentication response";
inline constexpr const char* kCas2TooLarge =
    "The Turnpike ISAPI filter was unable to parse the 2.x authenticated user name because it "
    "was too large";

inline std::string Cas2Answer(const std::string& inner,
                              const std::string& binding = "xmlns:cas=\"http://www.yale.edu/tp/cas\"") {
  return "<cas:serviceResponse " + binding + ">" + inner + "</cas:serviceResponse>";
}

inline std::string Cas2Success(const std::string& user) {
  return Cas2Answer("<cas:authenticationSuccess><cas:user>" + user + "</cas:user></cas:authenticationSuccess>");
}

struct Cas2Case {
  const char* name;
  std::string xml;
  std::optional<std::string> expected;
  const char* event;  // null: none; else reported with the document's XML
  std::vector<SignOnAttribute> attributes = {};
  const char* detail = nullptr;  // the event's detail where it is not the document's XML
};

inline void PrintTo(const Cas2Case& row, std::ostream* os) { *os << row.name; }

// The queries are matched by namespace URI and local name over the whole
// document, whatever prefix the server chose.
inline std::vector<Cas2Case> Cas2CasesForEveryEngine() {
  const std::string name4094(4094, 'u');
  return {
      {"Success", Cas2Success("alice"), "alice", nullptr},
      {"NameOf4094BytesFits", Cas2Success(name4094), name4094, nullptr},
      {"NameOf4095BytesTooLarge", Cas2Success(name4094 + "u"), std::nullopt, kCas2TooLarge},
      {"EmptyUserIsAName", Cas2Success(""), "", nullptr},
      {"FailureIsARefusal",
       Cas2Answer("<cas:authenticationFailure code=\"INVALID_TICKET\">Ticket not recognized"
                  "</cas:authenticationFailure>"),
       std::nullopt, nullptr},
      {"OtherPrefixBoundToTheCasUri",
       "<c:serviceResponse xmlns:c=\"http://www.yale.edu/tp/cas\"><c:authenticationSuccess>"
       "<c:user>alice</c:user></c:authenticationSuccess></c:serviceResponse>",
       "alice", nullptr},
      {"DefaultNamespaceBoundToTheCasUri",
       "<serviceResponse xmlns=\"http://www.yale.edu/tp/cas\"><authenticationSuccess>"
       "<user>alice</user></authenticationSuccess></serviceResponse>",
       "alice", nullptr},
      {"CasPrefixOnAnotherUri",
       Cas2Answer("<cas:authenticationSuccess><cas:user>alice</cas:user></cas:authenticationSuccess>",
                  "xmlns:cas=\"http://www.yale.edu/tp/cas/\""),
       std::nullopt, kCas2Unparsed},
      {"NoNamespace",
       "<serviceResponse><authenticationSuccess><user>alice</user></authenticationSuccess>"
       "</serviceResponse>",
       std::nullopt, kCas2Unparsed},
      {"SuccessWithoutUser", Cas2Answer("<cas:authenticationSuccess/>"), std::nullopt, kCas2Unparsed},
      // Surprising but intended: the user query runs over the whole document,
      // not below the success element.
      {"FirstUserInDocumentOrderEvenOutsideSuccess",
       Cas2Answer("<cas:user>mallory</cas:user><cas:authenticationSuccess><cas:user>alice</cas:user>"
                  "</cas:authenticationSuccess>"),
       "mallory", nullptr},
      // Attributes by local name, several values of one name where it first
      // stood.
      {"AttributesInTheOrderEachNameFirstCame",
       Cas2Answer("<cas:authenticationSuccess><cas:user>alice</cas:user><cas:attributes>"
                  "<cas:memberOf>staff</cas:memberOf><cas:email>alice@example.org</cas:email>"
                  "<x:dept xmlns:x=\"urn:x\">maths</x:dept><cas:memberOf>library</cas:memberOf>"
                  "</cas:attributes></cas:authenticationSuccess>"),
       "alice", nullptr,
       {{"memberOf", {"staff", "library"}}, {"email", {"alice@example.org"}}, {"dept", {"maths"}}}},
      {"AttributesOnlyFromTheSuccessElementsOwn",
       Cas2Answer("<cas:attributes><cas:role>admin</cas:role></cas:attributes>"
                  "<cas:authenticationSuccess><cas:user>alice</cas:user>"
                  "<x:attributes xmlns:x=\"urn:x\"><x:role>admin</x:role></x:attributes>"
                  "<cas:extra><cas:attributes><cas:role>admin</cas:role></cas:attributes>"
                  "</cas:extra>"
                  "</cas:authenticationSuccess>"),
       "alice", nullptr},
      {"NameValueForm",
       Cas2Answer("<cas:authenticationSuccess><cas:user>alice</cas:user>"
                  "<cas:attribute name=\"memberOf\" value=\"staff\"/><cas:attribute name=\"sn\"/>"
                  "<cas:attribute name=\"memberOf\" value=\"library\"/>"
                  "</cas:authenticationSuccess>"),
       "alice", nullptr, {{"memberOf", {"staff", "library"}}}},
  };
}

// Runs `check` on a new document of `platform` and a recording reporter.
template <typename Check>
void WithDocument(ValidationPlatform& platform, Check check) {
  RecordingReporter events;
  const auto session = platform.Begin();
  ASSERT_NE(session, nullptr);
  const auto document = session->CreateXmlDocument();
  ASSERT_NE(document, nullptr);
  check(*document, events);
}

// The row's answer loaded into a document of `platform` and read as CAS 2.0.
inline void ExpectCas2Row(ValidationPlatform& platform, const Cas2Case& row) {
  WithDocument(platform, [&row](XmlDocument& document, RecordingReporter& events) {
    ASSERT_EQ(document.LoadXml(row.xml), XmlLoadResult::WellFormed);
    const std::optional<SignOn> sign_on = ParseCas2Response(document, events.reporter);
    EXPECT_EQ(UserOf(sign_on), row.expected);
    if (sign_on) EXPECT_EQ(sign_on->attributes, row.attributes);
    std::vector<RecordedEvent> expected;
    if (row.event != nullptr) {
      expected.push_back(
          ErrorEvent(row.event, row.detail != nullptr ? row.detail : *document.Xml()));
    }
    EXPECT_EQ(events.log.events(), expected);
  });
}

// Answers with a document type declaration. No CAS answer has one, and a DTD
// is how a hostile answer brings in entities: a well-formed one names nobody,
// whatever it declares, and is reported with the answer as received; a text
// that is no XML goes on to the CAS 1.0 reading, silently.
struct DoctypeCase {
  const char* name;
  std::string answer;
  bool reported;
};

inline void PrintTo(const DoctypeCase& row, std::ostream* os) { *os << row.name; }

inline std::vector<DoctypeCase> DoctypeCasesForEveryEngine() {
  return {
      {"EntityNamesTheUser",
       "<!DOCTYPE cas:serviceResponse [<!ENTITY u 'bob'>]>" + Cas2Success("&u;"), true},
      {"PlainDoctypeBeforeAUser", "<!DOCTYPE cas:serviceResponse>" + Cas2Success("alice"), true},
      {"ExternalSystemId",
       "<!DOCTYPE cas:serviceResponse SYSTEM 'http://127.0.0.1:1/cas.dtd'>" + Cas2Success("alice"),
       true},
      // Where the parser reads past the declaration (libxml2, Wine's MSXML).
      // MSXML on Windows stops at it and reports this page as well.
      {"HtmlPageWithADoctype",
       "<!DOCTYPE html>\n<html><head><title>500</title></head><body><p>Error<br></p></body></html>",
       false},
  };
}

// The row's answer through a document of `platform`, as a validation reads it.
inline void ExpectDoctypeAnswerNamesNobody(ValidationPlatform& platform, const DoctypeCase& row) {
  WithDocument(platform, [&row](XmlDocument& document, RecordingReporter& events) {
    EXPECT_EQ(ParseCasAnswer(document.LoadXml(row.answer), document, NarrowText{row.answer},
                             events.reporter),
              std::nullopt);
    std::vector<RecordedEvent> expected;
    if (row.reported) expected.push_back(ErrorEvent(kCas2Unparsed, row.answer));
    EXPECT_EQ(events.log.events(), expected);
  });
}

}  // namespace turnpike
