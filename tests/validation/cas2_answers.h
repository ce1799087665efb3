// CAS 2.0 answers and what the parser must make of them, whichever XML
// engine loads them: the libxml2 layer on Linux and MSXML on Windows run
// the same rows.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

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
  };
}

}  // namespace turnpike
