// What a browser brings to a protected request: the CAS service ticket that
// the login page appended to the URL, and the value of the filter's own
// VAVUZE cookie, which is that same ticket handed back on later requests.
//
// Both are found by a plain, case-sensitive search for the first occurrence
// of their word in the raw header value, wherever it stands; the character
// right after the word (normally '=') is skipped unseen. Nothing is decoded,
// trimmed or checked here: the ticket is checked by the CAS server, the
// cookie by the credentials cache.
//
// Nothing means absent: no header, a header that does not fit 2083 bytes, no
// word, or a word that ends the text with no character after it. An empty
// string means present but empty, and callers treat it as present. Neither
// reports events. Safe on any thread; may throw std::bad_alloc, nothing else.
#pragma once

#include <optional>
#include <string>

#include "platform/filter_host.h"

namespace turnpike {

inline constexpr const char* kCookieName = "VAVUZE";

// Everything after "ticket" and one character, to the end of the URL: later
// parameters and a fragment are part of it, since the CAS server puts its
// ticket last.
std::optional<std::string> ExtractTicket(FilterHost& host);

// Everything after "VAVUZE" and one character in the Cookie header, up to the
// next ';' or the end; blanks stay.
std::optional<std::string> ExtractCookie(FilterHost& host);

}  // namespace turnpike
