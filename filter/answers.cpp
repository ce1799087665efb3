#include "filter/answers.h"

#include <string>

#include "filter/extraction.h"
#include "filter/service_url.h"

namespace turnpike {
namespace {

constexpr const char* kLoginRedirectFailed =
    "The Turnpike filter was unable to send a login redirection header to the browser.";
constexpr const char* kCookieRedirectFailed =
    "The Turnpike filter was unable to send a cookie redirection header to the browser.";
constexpr const char* kIdentityHeaderFailed =
    "The Turnpike filter was unable to set the CASUser authentication header: ";
constexpr const char* kFailedPageNotSent =
    "The Turnpike filter was unable to send the sign-on failure page to the browser.";
constexpr const char* kScriptAnswerFailed =
    "The Turnpike filter was unable to send a 401 answer to the script's request.";
constexpr const char* kLogoutRedirectFailed =
    "The Turnpike filter was unable to send a logout redirection header to the browser.";
constexpr const char* kLogoutAnswerFailed =
    "The Turnpike filter was unable to send the answer to a single-logout request.";

constexpr std::string_view kSignOnFailedPage =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sign-on failed</title></head>\n"
    "<body><h1>Sign-on failed</h1>\n<p>Your sign-on to this site could not be completed. "
    "Please contact the administrator of this site.</p></body></html>\n";

FilterStatus Send(FilterHost& host, const EventReporter& reporter, const Answer& answer,
                  const char* failure) {
  if (host.SendAnswer(answer)) return FilterStatus::FinishedKeepConn;
  reporter.LogEvent(EventType::Error, failure, nullptr);
  return FilterStatus::Error;
}

}  // namespace

std::string LoginUrl(const FilterSettings& settings, std::string_view escaped_service_url,
                     LoginMode mode) {
  std::string url;
  url.reserve(settings.ServerURL.size() + settings.LoginPath.size() + 24 + escaped_service_url.size());
  url.append(settings.ServerURL).append("/").append(settings.LoginPath);
  url.append("?service=").append(escaped_service_url);
  // CAS leaves the outcome open when both are asked, and a gateway page
  // exists to take a sign-on CAS already has, which renew refuses.
  if (mode == LoginMode::Gateway) {
    url.append("&gateway=true");
  } else if (settings.Renew != 0) {
    url.append("&renew=true");
  }
  return url;
}

FilterStatus SendLoginRedirect(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, std::string_view escaped_service_url,
                               const char* set_cookie, LoginMode mode) {
  Answer answer;
  answer.location = LoginUrl(settings, escaped_service_url, mode);
  if (set_cookie != nullptr) answer.set_cookies.emplace_back(set_cookie);
  return Send(host, reporter, answer, kLoginRedirectFailed);
}

FilterStatus SendScriptUnauthorized(FilterHost& host, const FilterSettings& settings,
                                    const EventReporter& reporter,
                                    std::string_view escaped_service_url) {
  Answer answer;
  answer.status = 401;
  answer.reason = "Unauthorized";
  answer.headers.emplace_back("WWW-Authenticate", "CAS realm=\"" + settings.ServerURL + "\"");
  answer.headers.emplace_back(kLoginUrlHeader, LoginUrl(settings, escaped_service_url));
  return Send(host, reporter, answer, kScriptAnswerFailed);
}

FilterStatus SendLogoutRedirect(FilterHost& host, const FilterSettings& settings,
                                const EventReporter& reporter) {
  Answer answer;
  answer.location = settings.ServerURL + "/logout";
  if (settings.LogoutReturnURL) {
    const char* url = settings.LogoutReturnURL->c_str();
    std::size_t needed = 0;
    (void)EscapeUrl(url, nullptr, 0, &needed);
    std::string escaped(needed, '\0');
    (void)EscapeUrl(url, escaped.data(), needed, nullptr);
    escaped.resize(needed - 1);
    answer.location.append("?service=").append(escaped);
  }
  answer.set_cookies.emplace_back(kClearSignOnCookie);
  return Send(host, reporter, answer, kLogoutRedirectFailed);
}

FilterStatus SendLogoutAnswer(FilterHost& host, const EventReporter& reporter,
                              std::uint16_t status, const char* reason) {
  Answer answer;
  answer.status = status;
  answer.reason = reason;
  return Send(host, reporter, answer, kLogoutAnswerFailed);
}

FilterStatus LetPassWithoutSignOn(FilterHost& host, const FilterSettings& settings,
                                  const EventReporter& reporter) {
  if (host.RemoveLookAlikeHeaders(settings.AuthHeader.c_str())) return FilterStatus::NextNotification;
  const std::string detail = settings.AuthHeader + ':';
  reporter.LogEvent(EventType::Error, kIdentityHeaderFailed, detail.c_str());
  return FilterStatus::Error;
}

FilterStatus SendCookieRedirect(FilterHost& host, const EventReporter& reporter,
                                std::string_view service_url, std::string_view token,
                                const char* also_set_cookie, std::string_view cookie_attributes) {
  Answer answer;
  answer.location = service_url;
  std::string cookie(kCookieName);
  cookie.append("=").append(token).append(";path=").append(kCookiePath);
  if (!cookie_attributes.empty()) cookie.append("; ").append(cookie_attributes);
  answer.set_cookies.push_back(std::move(cookie));
  if (also_set_cookie != nullptr) answer.set_cookies.emplace_back(also_set_cookie);
  return Send(host, reporter, answer, kCookieRedirectFailed);
}

FilterStatus SendSignOnFailedPage(FilterHost& host, const EventReporter& reporter) {
  Answer answer;
  answer.status = 403;
  answer.reason = "Forbidden";
  answer.set_cookies.emplace_back(kClearFailedSignOnCookie);
  answer.content_type = "text/html; charset=utf-8";
  answer.body = kSignOnFailedPage;
  answer.no_store = true;
  return Send(host, reporter, answer, kFailedPageNotSent);
}

FilterStatus SetIdentityHeader(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, const char* user) {
  const char* name = settings.AuthHeader.c_str();
  if (host.RemoveLookAlikeHeaders(name) && host.ReplaceHeader(name, user != nullptr ? user : "")) {
    return FilterStatus::NextNotification;
  }
  // The detail names the header as IIS does, with its colon.
  const std::string detail = settings.AuthHeader + ':';
  reporter.LogEvent(EventType::Error, kIdentityHeaderFailed, detail.c_str());
  return FilterStatus::Error;
}

std::string FormatValidationUrl(const FilterSettings& settings, std::string_view escaped_service_url,
                                std::string_view ticket, bool renew) {
  const std::string ticket_text(ticket);
  std::size_t needed = 0;
  (void)EscapeUrl(ticket_text.c_str(), nullptr, 0, &needed, PercentSign::Keep);
  std::string escaped_ticket(needed, '\0');
  (void)EscapeUrl(ticket_text.c_str(), escaped_ticket.data(), needed, nullptr, PercentSign::Keep);
  escaped_ticket.resize(needed - 1);

  std::string url = settings.ServerURL;
  url += '/';
  url += settings.ValidationPath;
  url += "?service=";
  url += escaped_service_url;
  url += "&ticket=";
  url += escaped_ticket;
  if (renew) url += "&renew=true";
  return url;
}

}  // namespace turnpike
