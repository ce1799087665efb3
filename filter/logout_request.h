// Single logout: reading the POST a CAS server sends to every service a user
// signed on to when that user signs out at CAS.
//
// The body is a form (application/x-www-form-urlencoded) whose parameter
// "logoutRequest" holds a SAML 2.0 samlp:LogoutRequest; its
// samlp:SessionIndex is the service ticket the sign-on was validated with.
// Only that element is read: the NameID, the issue instant and the request's
// ID are not checked, and nothing proves the POST came from the CAS server.
// Whoever knows a ticket can end its sign-on, which is what single logout
// means to the CAS server too; the ticket is not guessable.
//
// The XML is read through the validation's XML layer, which never fetches
// anything, expands no entity and refuses any document type declaration.
// Nothing here keeps state or reports events; safe on any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/validation_platform.h"

namespace turnpike {

// The largest logout request body read. CAS servers send well under 2 KiB;
// a larger body naming logoutRequest is refused, and one that does not name
// it in its first this many bytes goes on to the application untouched.
inline constexpr std::size_t kMaxLogoutRequestBody = 64 * 1024;
inline constexpr std::string_view kLogoutRequestParameter = "logoutRequest";

// Whether a Content-Type header value names a form: its media type, before
// any ';' parameters and without blanks around it, is
// application/x-www-form-urlencoded in any letter case.
bool IsFormContentType(std::string_view content_type) noexcept;

// The value of the first parameter of a form body named exactly
// "logoutRequest" (names compared as sent, not decoded), decoded as forms
// are: '+' is a blank, "%XX" the byte; a '%' without two hex digits stays as
// it is. Nothing when no parameter has that name. May throw std::bad_alloc.
std::optional<std::string> FindLogoutRequest(std::string_view body);

// What reading a logout request's XML came to.
enum class LogoutRequestStatus {
  Found,           // `session_index` holds the ticket
  NotWellFormed,   // not XML at all
  CarriesDtd,      // a document type declaration: never read
  NoSessionIndex,  // XML, but no samlp:LogoutRequest root with a non-empty
                   // samlp:SessionIndex child the 8-bit form holds exactly
  Failed,          // the XML layer could not be used
};

struct LogoutRequest {
  LogoutRequestStatus status = LogoutRequestStatus::Failed;
  std::string session_index;
};

// Loads `xml` into `document` and reads the SessionIndex of its root
// samlp:LogoutRequest (namespace urn:oasis:names:tc:SAML:2.0:protocol,
// matched by URI, never by prefix). The first SessionIndex counts; blanks
// around it are dropped, as the XML layer gives element text.
LogoutRequest ParseLogoutRequest(XmlDocument& document, std::string_view xml) noexcept;

}  // namespace turnpike
