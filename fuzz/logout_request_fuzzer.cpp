// The single-logout request: its form body read, its XML parsed by the real
// libxml2 document.
//
// Input: the POST body as a CAS server (or anyone) sends it.
//
// Checked: a logout request is found only where the body names the
// parameter; a ticket is only read from a document that names both
// LogoutRequest and SessionIndex in its own text (no entity can supply
// them: a document with a DTD is refused, and only such a document); the
// ticket is neither empty nor holds a NUL.
#include <optional>
#include <string>

#include "filter/logout_request.h"
#include "fuzz_support.h"
#include "platform/posix/libxml2_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  const std::string_view body = AsText(data, size);
  const std::optional<std::string> xml = turnpike::FindLogoutRequest(body);
  if (!xml) return 0;
  FUZZ_CHECK(Contains(body, turnpike::kLogoutRequestParameter));
  FUZZ_CHECK(xml->size() <= body.size());

  const turnpike::QuietLibxml2Errors quiet;
  turnpike::Libxml2Document document;
  const turnpike::LogoutRequest request = turnpike::ParseLogoutRequest(document, *xml);
  switch (request.status) {
    case turnpike::LogoutRequestStatus::Found:
      FUZZ_CHECK(Contains(*xml, "LogoutRequest") && Contains(*xml, "SessionIndex"));
      FUZZ_CHECK(!Contains(*xml, "<!DOCTYPE"));
      FUZZ_CHECK(!request.session_index.empty());
      FUZZ_CHECK(!Contains(request.session_index, std::string_view("\0", 1)));
      break;
    case turnpike::LogoutRequestStatus::CarriesDtd:
      FUZZ_CHECK(Contains(*xml, "<!DOCTYPE"));
      [[fallthrough]];
    case turnpike::LogoutRequestStatus::NotWellFormed:
    case turnpike::LogoutRequestStatus::NoSessionIndex:
    case turnpike::LogoutRequestStatus::Failed:
      FUZZ_CHECK(request.session_index.empty());
      break;
  }
  return 0;
}
