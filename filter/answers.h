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

#include <cstdint>
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

// The browser's own note that it was sent to CAS with gateway=true: while
// it lasts, a gateway page lets the browser on without a sign-on instead of
// sending it to CAS again, so that no page view costs a trip to CAS and the
// trip back without a ticket cannot turn into a loop.
inline constexpr const char* kGatewayCookieName = "TurnpikeGateway";
inline constexpr const char* kSetGatewayCookie = "TurnpikeGateway=1;path=/;Max-Age=120";

// The sign-on cookie expired at the browser (local logout).
inline constexpr const char* kClearSignOnCookie = "VAVUZE=; path=/; Max-Age=0";

// The header that carries the login URL in the 401 a script gets: a script
// cannot follow a redirect to a login page, but it can send its page there.
inline constexpr const char* kLoginUrlHeader = "X-CAS-Login-URL";

// What a login redirect asks of CAS beside the service.
enum class LoginMode {
  SignOn,   // &renew=true when the Renew setting is on
  Gateway,  // &gateway=true: back without a ticket rather than a login form
};

// "<ServerURL>/<LoginPath>?service=<escaped service URL>", and what `mode`
// adds. May throw std::bad_alloc.
std::string LoginUrl(const FilterSettings& settings, std::string_view escaped_service_url,
                     LoginMode mode = LoginMode::SignOn);

// 302 to LoginUrl, and, when `set_cookie` is given, that cookie too.
FilterStatus SendLoginRedirect(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, std::string_view escaped_service_url,
                               const char* set_cookie = nullptr, LoginMode mode = LoginMode::SignOn);

// 401 for a script's request: WWW-Authenticate: CAS realm="<ServerURL>" and
// the login URL in kLoginUrlHeader, no body.
FilterStatus SendScriptUnauthorized(FilterHost& host, const FilterSettings& settings,
                                    const EventReporter& reporter,
                                    std::string_view escaped_service_url);

// 302 to "<ServerURL>/logout", with "?service=<escaped LogoutReturnURL>"
// when that is set, expiring the sign-on cookie.
FilterStatus SendLogoutRedirect(FilterHost& host, const FilterSettings& settings,
                                const EventReporter& reporter);

// `status` with an empty body and no other header: the answer to a CAS
// server's logout request.
FilterStatus SendLogoutAnswer(FilterHost& host, const EventReporter& reporter,
                              std::uint16_t status, const char* reason);

// Lets a request on without a sign-on: every header that looks like
// AuthHeader is removed first, as for a signed-on request. Error when the
// host cannot remove them.
FilterStatus LetPassWithoutSignOn(FilterHost& host, const FilterSettings& settings,
                                  const EventReporter& reporter);

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

// "<ServerURL>/<ValidationPath>?service=<escaped service URL>&ticket=<ticket>",
// and "&renew=true" when `renew`.
// The ticket is the value as the browser's query held it, already escaped;
// bytes that may not stand in a query are escaped once more (its own escapes
// kept), so that it stays one parameter value and cannot add parameters of
// its own to the validation request. May throw std::bad_alloc.
std::string FormatValidationUrl(const FilterSettings& settings, std::string_view escaped_service_url,
                                std::string_view ticket, bool renew = false);

}  // namespace turnpike
