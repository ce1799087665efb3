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
#include <string>
#include <string_view>

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

// The browser's own note that its last ticket failed validation: a cookie
// of a few minutes, so that the filter keeps no state for it. Long enough
// for a trip through a login page that remembers the user, short enough
// that a user who gives up finds no trace of it when coming back later.
inline constexpr const char* kFailedSignOnCookieName = "TurnpikeFailed";
inline constexpr const char* kSetFailedSignOnCookie = "TurnpikeFailed=1;path=/;Max-Age=120";
inline constexpr const char* kClearFailedSignOnCookie = "TurnpikeFailed=;path=/;Max-Age=0";

inline constexpr const char* kSignOnFailedStatus = "403 Forbidden";

// "Location: <ServerURL>/<LoginPath>?service=<escaped service URL>", and,
// when `set_cookie` is given, a "Set-Cookie: <set_cookie>" line after it.
// Allocates nothing.
FilterStatus SendLoginRedirect(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, const char* escaped_service_url,
                               const char* set_cookie = nullptr) noexcept;

// Sends the browser back to the page it asked for, `service_url` in its
// unescaped form, and sets VAVUZE=<token>;path=/ with no expiry: the sign-on
// behind the token expires in the credentials cache, not in the browser.
// `also_set_cookie`, when given, is a second Set-Cookie line's value.
// Allocates nothing.
FilterStatus SendCookieRedirect(FilterHost& host, const EventReporter& reporter,
                                const char* service_url, const char* token,
                                const char* also_set_cookie = nullptr) noexcept;

// Answers 403 with a short page that says the sign-on failed and whom to
// turn to, and clears the failed-sign-on cookie, so that a later attempt
// starts afresh. Allocates nothing.
FilterStatus SendSignOnFailedPage(FilterHost& host, const EventReporter& reporter) noexcept;

// Writes `user` into the request header named by AuthHeader (its colon added)
// and lets the request go on. The protected application trusts that header,
// so every header the browser sent whose name looks like it (another letter
// case, '_' or '.' for '-': several application platforms read them all as
// one) is removed first, and a value under the name itself, however long,
// is replaced, never kept beside the user name. When the host cannot remove
// them, or the header reads back and still cannot be replaced, the answer
// is Error. May throw std::bad_alloc (only for an AuthHeader longer than a
// short string holds), nothing else.
FilterStatus SetIdentityHeader(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, const char* user);

// "<ServerURL>/<ValidationPath>?service=<escaped service URL>&ticket=<ticket>".
// The ticket is the value as the browser's query held it, already escaped;
// bytes that may not stand in a query are escaped once more (its own escapes
// kept), so that it stays one parameter value and cannot add parameters of
// its own to the validation request. May throw std::bad_alloc.
std::string FormatValidationUrl(const FilterSettings& settings, std::string_view escaped_service_url,
                                std::string_view ticket);

}  // namespace turnpike
