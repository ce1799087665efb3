// The three answers to a protected request, once the decision is taken, and
// the validation URL that the ticket road fetches.
//
// Each answer returns the status the decision hands to the host unchanged:
// FinishedKeepConn when a redirect went out (the request ends there, without
// a body, and the connection stays open), NextNotification when the request
// may go on to the application, Error when the host refused the call, after
// an error event. A null URL, token or user is taken as empty text.
//
// Safe on any thread; the settings are only read.
#pragma once

#include <cstddef>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "filter/filter.h"
#include "platform/filter_host.h"
#include "platform/isapi.h"

namespace turnpike {

// The size of a redirect's header block, terminator included. A longer block
// is cut after 4095 characters and sent as cut, without its closing empty
// line; only an oversized service URL or setting can make it that long.
inline constexpr std::size_t kHeaderBlockSize = 4096;

inline constexpr const char* kRedirectStatus = "302 Redirection";
inline constexpr const char* kCookiePath = "/";

// "Location: <ServerURL>/<LoginPath>?service=<escaped service URL>".
// Allocates nothing.
FilterStatus SendLoginRedirect(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter,
                               const char* escaped_service_url) noexcept;

// Sends the browser back to the page it asked for, `service_url` in its
// unescaped form, and sets VAVUZE=<token>;path=/ with no expiry: the sign-on
// behind the token expires in the credentials cache, not in the browser.
// Allocates nothing.
FilterStatus SendCookieRedirect(FilterHost& host, const EventReporter& reporter,
                                const char* service_url, const char* token) noexcept;

// Writes `user` into the request header named by AuthHeader (its colon added)
// and lets the request go on. The protected application trusts that header,
// so a value the browser itself sent under that name, however long, is
// replaced, never kept beside the user name. This takes the host's word that
// a failed SetHeader means the request carries no such header; when the
// header reads back and still cannot be replaced, the answer is Error. May
// throw std::bad_alloc (only for an AuthHeader longer than a short string
// holds), nothing else.
FilterStatus SetIdentityHeader(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, const char* user);

// "<ServerURL>/<ValidationPath>?service=<escaped service URL>&ticket=<ticket>"
// into `out`, the ticket escaped so that whatever the browser put after
// "ticket=" stays one parameter value and cannot add parameters of its own to
// the validation request. A longer text is cut after 2082 characters; the
// cut text is still a usable request, which the CAS server will refuse. True
// when nothing was cut. Allocates nothing.
bool FormatValidationUrl(const FilterSettings& settings, const char* escaped_service_url,
                         const char* ticket, char (&out)[kUrlBufferSize]) noexcept;

}  // namespace turnpike
