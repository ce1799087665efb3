// The service URL: the text by which CAS names the application a browser
// signs on to. The login page sends the browser back to it with a ticket, and
// the validation request must present exactly the same text, so one request
// computes it once and hands it to every place that needs it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "platform/filter_host.h"

namespace turnpike {

// Percent-escapes `input` so that it can stand as the value of a query
// parameter, writing at most `capacity` bytes (the NUL included) to `output`.
//
// Escaped, as '%' and two lowercase hex digits: the control bytes 0x01-0x1F,
// the bytes 0x7F-0xFF, and the blank and " # $ & + , ; < = > ? @ [ \ ] ^ `
// { | }. Everything else is copied as it is, '%' included, so text that is
// already escaped is not escaped twice; ':' and '/' stay, keeping the scheme
// and the path readable. Nothing is decoded, no backslash is turned into a
// slash and no dot segment is removed.
//
// True when the whole escaped text and its NUL fitted. On false no NUL is
// written; the output then holds at least the first capacity - 3 bytes of the
// escaped text. `*needed`, when `needed` is not null, receives the bytes the
// whole escaped text takes with its NUL, fitted or not.
//
// Allocates nothing; safe on any thread for buffers the caller owns.
bool EscapeUrl(const char* input, char* output, std::size_t capacity,
               std::size_t* needed) noexcept;

// Both forms of a request's service URL. `escaped` is for query values (the
// login redirect's service= and the validation URL); `unescaped` is the page
// the browser asked for, the Location of the cookie-setting redirect.
struct ServiceUrls {
  std::string escaped;
  std::string unescaped;
};

// The service URL of the request `host` stands for: the fixed ServiceURL
// setting when one is configured (the request is then not consulted at all),
// otherwise the scheme from the HTTPS server variable, SERVER_NAME and the
// request line's URL cut just before the character that precedes the first
// "ticket", so that the CAS server's own ticket parameter, and everything
// after it, is not part of the name. No port is added; SERVER_NAME is taken
// as the host gives it.
//
// Either form is at most 2082 characters. Nothing, after an error event,
// when the host does not answer, the text does not fit, or its escaped form
// does not fit. Reads the settings only; may throw std::bad_alloc, nothing
// else.
std::optional<ServiceUrls> ServiceUrl(FilterHost& host, const FilterSettings& settings,
                                      const EventReporter& reporter);

}  // namespace turnpike
