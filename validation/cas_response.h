// Reading the sign-on out of a CAS validation answer.
//
// The CAS server answers either with the CAS 2.0 XML service response
// (<cas:serviceResponse> holding <cas:authenticationSuccess> with
// <cas:user> and, from CAS 3.0 servers, <cas:attributes>, or
// <cas:authenticationFailure>) or with the CAS 1.0 text answer
// ("yes\n<user>\n" or "no\n\n"). ParseCasAnswer picks the parser: a
// well-formed XML answer goes to ParseCas2Response, anything else that is
// not XML to ParseCas1Response.
//
// All return a sign-on with the user (and, from XML, the attributes), or
// nothing; its ticket and validation time are left for the caller. A refusal
// by the CAS server is not a fault and reports nothing; an answer that
// cannot be understood, a user name that is too long and a user name or
// attribute that the filter's 8-bit form cannot hold exactly are reported as
// error events. None looks at the failure code or text of a refusal.
//
// None keeps state or throws; all may run on many threads at once, each on
// its own document or text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/sign_on.h"
#include "eventlog/event_reporter.h"
#include "platform/validation_platform.h"

namespace turnpike {

// A user name is accepted while its length plus the terminator stays below
// this many bytes (so 4094 bytes pass and 4095 do not), in both formats,
// counted in the filter's 8-bit form.
inline constexpr std::size_t kUserNameBufferSize = 4096;

// The namespace the CAS 2.0 protocol publishes for its validation responses.
inline constexpr const char* kCas2Namespace = "http://www.yale.edu/tp/cas";

// CAS 2.0: runs document-wide XPath queries over a loaded document. The first
// cas:user element in document order is the name, wherever it stands, as
// soon as a cas:authenticationSuccess element exists anywhere; elements are
// matched by namespace URI and local name, never by the prefix the server
// chose. The document is only read (apart from its query bindings).
// A name that does not convert exactly is refused: a look-alike or a
// stand-in character would name another account.
//
// The attributes are the element children of the first success element's
// cas:attributes, in document order: each one's local name (of whatever
// namespace) is the attribute's name and its text one value, several
// elements of one name being one attribute. The name-value form of some CAS
// 2.0 servers, <cas:attribute name="n" value="v"/> as a child of the success
// element, counts as well; one without both is passed over. An attribute
// name or value that does not convert exactly refuses the whole sign-on, as
// the user name does: an application would trust it as much.
std::optional<SignOn> ParseCas2Response(XmlDocument& document,
                                        const EventReporter& reporter) noexcept;

// CAS 1.0: `text` is the caller's own modifiable, NUL-terminated copy of the
// answer. It is cut into tokens in place (separators: space, tab, CR, LF), so
// its contents are changed; the caller frees it afterwards. The first token
// must be exactly "yes"; the second is the name; the rest is ignored. The
// sign-on has a user only.
std::optional<SignOn> ParseCas1Response(char* text, const EventReporter& reporter) noexcept;

// The answer `answer` (in the 8-bit form) that `document` has tried to load,
// with what the load found:
//   WellFormed     ParseCas2Response;
//   CarriesDtd     no CAS answer carries a DTD: reported like any XML that is
//                  no CAS answer, with `answer` as detail (the text as
//                  received, the same on every platform), and nothing;
//   NotWellFormed  ParseCas1Response on a copy of `answer` up to its first
//                  NUL; a name from an answer that did not convert exactly is
//                  refused and reported with the name as detail;
//   Failed         nothing, silently.
std::optional<SignOn> ParseCasAnswer(XmlLoadResult loaded, XmlDocument& document,
                                     const NarrowText& answer,
                                     const EventReporter& reporter) noexcept;

}  // namespace turnpike
