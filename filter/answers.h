// The answers to a protected request once the decision is taken, and the
// validation URL that the ticket road fetches.
//
// Each answer returns the status the decision hands to the host unchanged:
// FinishedKeepConn when an answer went out (the request ends there and the
// connection stays open), NextNotification when the request may go on to the
// application, Error when the host refused, after an error event.
//
// Safe on any thread; the settings are only read.
#pragma once

#include <string>
#include <string_view>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "platform/answer.h"
#include "platform/filter_host.h"
#include "platform/isapi.h"

namespace turnpike {

inline constexpr const char* kCookiePath = "/";

// The browser's own note that its last ticket failed validation: a cookie
// of a few minutes, so that the filter keeps no state for it. Long enough
// for a trip through a login page that remembers the user, short enough
// that a user who gives up finds no trace of it when coming back later.
inline constexpr const char* kFailedSignOnCookieName = "TurnpikeFailed";
inline constexpr const char* kSetFailedSignOnCookie = "TurnpikeFailed=1;path=/;Max-Age=120";
inline constexpr const char* kClearFailedSignOnCookie = "TurnpikeFailed=;path=/;Max-Age=0";

// 302 to "<ServerURL>/<LoginPath>?service=<escaped service URL>", and, when
// `set_cookie` is given, that cookie too.
FilterStatus SendLoginRedirect(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, std::string_view escaped_service_url,
                               const char* set_cookie = nullptr);

// 302 back to the page the browser asked for, `service_url` in its
// unescaped form, setting VAVUZE=<token>;path=/ with no expiry: the sign-on
// behind the token expires in the store, not in the browser.
// `also_set_cookie`, when given, is a second cookie; `cookie_attributes`,
// when not empty, follows the first after "; " (CookieAttributes, checked at
// start-up).
FilterStatus SendCookieRedirect(FilterHost& host, const EventReporter& reporter,
                                std::string_view service_url, std::string_view token,
                                const char* also_set_cookie = nullptr, std::string_view cookie_attributes = {});

// 403 with a short page that says the sign-on failed and whom to turn to,
// clearing the failed-sign-on cookie so that a later attempt starts afresh.
FilterStatus SendSignOnFailedPage(FilterHost& host, const EventReporter& reporter);

// Writes `user` into the request header named by AuthHeader and lets the
// request go on. The protected application trusts that header, so every
// header the browser sent whose name looks like it (another letter case, '_'
// or '.' for '-': several application platforms read them all as one) is
// removed first, and a value under the name itself, however long, never
// stays beside the user name. When the host cannot do either, the answer is
// Error.
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
