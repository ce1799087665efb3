// The service URL: the text by which CAS names the application a browser
// signs on to. The login page sends the browser back to it with a ticket, and
// the validation request must present exactly the same text, so one request
// computes it once and hands it to every place that needs it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "filter/extraction.h"
#include "platform/filter_host.h"

namespace turnpike {

// What EscapeUrl does with '%'. A URL that becomes a parameter value must
// have its own escapes escaped, or the receiver decodes them once too often
// (?x=a%26b would come back as ?x=a&b); a value taken from a query as sent
// (the ticket) is already in escaped form and keeps them.
enum class PercentSign { Escape, Keep };

// Percent-escapes `input` so that it can stand as the value of a query
// parameter, writing at most `capacity` bytes (the NUL included) to `output`.
//
// Escaped, as '%' and two lowercase hex digits: the control bytes 0x01-0x1F,
// the bytes 0x7F-0xFF, and the blank and " # $ & + , ; < = > ? @ [ \ ] ^ `
// { | }, and '%' unless `percent` says Keep. Everything else is copied as it
// is; ':' and '/' stay, keeping the scheme and the path readable. Nothing is
// decoded, no backslash is turned into a slash and no dot segment is
// removed.
//
// True when the whole escaped text and its NUL fitted. On false no NUL is
// written; the output then holds at least the first capacity - 3 bytes of the
// escaped text. `*needed`, when `needed` is not null, receives the bytes the
// whole escaped text takes with its NUL, fitted or not.
//
// Allocates nothing; safe on any thread for buffers the caller owns.
bool EscapeUrl(const char* input, char* output, std::size_t capacity, std::size_t* needed,
               PercentSign percent = PercentSign::Escape) noexcept;

// Both forms of a request's service URL. `escaped` is for query values (the
// login redirect's service= and the validation URL); `unescaped` is the page
// the browser asked for, the Location of the cookie-setting redirect.
struct ServiceUrls {
  std::string escaped;
  std::string unescaped;
};

// The service URL of the request whose URL as sent is `url`: the fixed
// ServiceURL setting when one is configured (the request is then not
// consulted at all); otherwise the server's own name, then `url` without its
// ticket parameter (FindTicketParameter), so that the page the CAS server
// sends the browser back to, ticket and all, names the same service again.
//
// The server's name is ServerBaseURL when set, else the scheme from the
// HTTPS server variable and SERVER_NAME as the host gives it (no port is
// added). A host that follows the browser's Host header there lets the
// browser choose the service, which is why ServerBaseURL exists.
//
// Either form is at most 2082 characters. Nothing, after an error event,
// when the host does not answer, the text does not fit, or its escaped form
// does not fit. Reads the settings only; may throw std::bad_alloc, nothing
// else.
std::optional<ServiceUrls> ServiceUrl(FilterHost& host, const FilterSettings& settings,
                                      std::string_view url, const EventReporter& reporter);

// The same, for a caller that has already looked for the URL's ticket.
std::optional<ServiceUrls> ServiceUrl(FilterHost& host, const FilterSettings& settings,
                                      std::string_view url,
                                      const std::optional<TicketParameter>& ticket,
                                      const EventReporter& reporter);

}  // namespace turnpike
