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

FilterStatus SendLoginRedirect(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, std::string_view escaped_service_url,
                               const char* set_cookie) {
  Answer answer;
  answer.location.reserve(settings.ServerURL.size() + settings.LoginPath.size() + 10 +
                          escaped_service_url.size());
  answer.location.append(settings.ServerURL).append("/").append(settings.LoginPath);
  answer.location.append("?service=").append(escaped_service_url);
  if (set_cookie != nullptr) answer.set_cookies.emplace_back(set_cookie);
  return Send(host, reporter, answer, kLoginRedirectFailed);
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
                                std::string_view ticket) {
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
  return url;
}

}  // namespace turnpike
