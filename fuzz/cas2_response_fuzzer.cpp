// The CAS 2.0 answer parser over the real libxml2 document.
//
// Input: the answer's body, loaded as the validation loads it.
//
// Checked: a user is only found in a well-formed document that names both an
// authenticationSuccess and a user element in its own text (entities are
// never substituted, so neither can come out of a DTD); the name is below
// the size limit and holds no NUL; the parser's queries and the document's
// serialisation (used for error events) survive any document.
#include <string>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "fuzz_support.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/libxml2_document.h"
#include "validation/cas_response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  const std::string_view body = AsText(data, size);
  const turnpike::QuietLibxml2Errors quiet;
  turnpike::Libxml2Document document;
  if (document.LoadXml(body) != turnpike::XmlLoadResult::WellFormed) return 0;

  turnpike::FilterSettings settings;
  settings.Debug = 1;
  turnpike::RecordingEventLog log;
  const turnpike::EventReporter reporter(log, settings.Debug);
  const std::optional<std::string> user = turnpike::ParseCas2Response(document, reporter);
  if (!user) return 0;
  FUZZ_CHECK(Contains(body, "authenticationSuccess"));
  FUZZ_CHECK(Contains(body, "user"));
  FUZZ_CHECK(user->size() < 4095);
  FUZZ_CHECK(!Contains(*user, std::string_view("\0", 1)));
  FUZZ_CHECK(log.events().empty());
  return 0;
}
