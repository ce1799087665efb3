#include "filter/answers.h"

#include <cstdint>
#include <optional>
#include <string>

#include "common/bounded.h"
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

const char* TextOf(const char* text) noexcept { return text != nullptr ? text : ""; }

const char* TextOf(const std::optional<std::string>& setting) noexcept {
  return setting ? setting->c_str() : "";
}

FilterStatus SendRedirect(FilterHost& host, const EventReporter& reporter, const char* block,
                          const char* failure) noexcept {
  if (host.SendResponseHeader(kRedirectStatus, block)) return FilterStatus::FinishedKeepConn;
  reporter.LogEvent(EventType::Error, failure, nullptr);
  return FilterStatus::Error;
}

// "Set-Cookie: <value>\r\n" for a cookie line to add to a block, or nothing.
struct ExtraCookie {
  explicit ExtraCookie(const char* value) noexcept : value_(value) {}
  const char* prefix() const noexcept { return value_ != nullptr ? "Set-Cookie: " : ""; }
  const char* value() const noexcept { return value_ != nullptr ? value_ : ""; }
  const char* suffix() const noexcept { return value_ != nullptr ? "\r\n" : ""; }

 private:
  const char* value_;
};

}  // namespace

FilterStatus SendLoginRedirect(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, const char* escaped_service_url,
                               const char* set_cookie) noexcept {
  char block[kHeaderBlockSize];
  const ExtraCookie extra(set_cookie);
  // A cut block still sends the browser towards the login page; refusing to
  // answer would only leave it with an error page.
  (void)BoundedFormat(block, sizeof block, "Location: %s/%s?service=%s\r\n%s%s%s\r\n",
                      TextOf(settings.ServerURL), TextOf(settings.LoginPath),
                      TextOf(escaped_service_url), extra.prefix(), extra.value(), extra.suffix());
  return SendRedirect(host, reporter, block, kLoginRedirectFailed);
}

FilterStatus SendCookieRedirect(FilterHost& host, const EventReporter& reporter,
                                const char* service_url, const char* token,
                                const char* also_set_cookie) noexcept {
  char block[kHeaderBlockSize];
  const ExtraCookie extra(also_set_cookie);
  (void)BoundedFormat(block, sizeof block, "Location: %s\r\nSet-Cookie: %s=%s;path=%s\r\n%s%s%s\r\n",
                      TextOf(service_url), kCookieName, TextOf(token), kCookiePath, extra.prefix(),
                      extra.value(), extra.suffix());
  return SendRedirect(host, reporter, block, kCookieRedirectFailed);
}

FilterStatus SendSignOnFailedPage(FilterHost& host, const EventReporter& reporter) noexcept {
  static constexpr char kPage[] =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Sign-on failed</title></head>\n"
      "<body><h1>Sign-on failed</h1>\n<p>Your sign-on to this site could not be completed. "
      "Please contact the administrator of this site.</p></body></html>\n";
  constexpr std::uint32_t kPageLength = sizeof kPage - 1;
  char block[kHeaderBlockSize];
  (void)BoundedFormat(block, sizeof block,
                      "Content-Type: text/html; charset=utf-8\r\nContent-Length: %u\r\n"
                      "Cache-Control: no-store\r\nSet-Cookie: %s\r\n\r\n",
                      static_cast<unsigned>(kPageLength), kClearFailedSignOnCookie);
  if (host.SendResponseHeader(kSignOnFailedStatus, block) && host.WriteClient(kPage, kPageLength)) {
    return FilterStatus::FinishedKeepConn;
  }
  reporter.LogEvent(EventType::Error, kFailedPageNotSent, nullptr);
  return FilterStatus::Error;
}

FilterStatus SetIdentityHeader(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, const char* user) {
  std::string name = TextOf(settings.AuthHeader);
  name += ':';
  const char* value = TextOf(user);
  if (!host.RemoveLookAlikeHeaders(name.c_str())) {
    reporter.LogEvent(EventType::Error, kIdentityHeaderFailed, name.c_str());
    return FilterStatus::Error;
  }

  // The presence test cannot tell a missing header from one whose value is
  // too long to read, and a browser can send either. So when the header does
  // not read back, SetHeader is still tried first: it replaces a value of any
  // length, and AddHeader is left for the case where the host holds nothing
  // to replace. A header that reads back is only ever replaced: adding a
  // second one beside it would hand the application the browser's value.
  char probe[kUrlBufferSize];
  std::uint32_t size = kUrlBufferSize;
  const bool readable = host.GetHeader(name.c_str(), probe, &size);
  const bool set = host.SetHeader(name.c_str(), value) ||
                   (!readable && host.AddHeader(name.c_str(), value));
  if (!set) {
    reporter.LogEvent(EventType::Error, kIdentityHeaderFailed, name.c_str());
    return FilterStatus::Error;
  }
  return FilterStatus::NextNotification;
}

std::string FormatValidationUrl(const FilterSettings& settings, std::string_view escaped_service_url,
                                std::string_view ticket) {
  const std::string ticket_text(ticket);
  std::size_t needed = 0;
  (void)EscapeUrl(ticket_text.c_str(), nullptr, 0, &needed, PercentSign::Keep);
  std::string escaped_ticket(needed, '\0');
  (void)EscapeUrl(ticket_text.c_str(), escaped_ticket.data(), needed, nullptr, PercentSign::Keep);
  escaped_ticket.resize(needed - 1);

  std::string url = TextOf(settings.ServerURL);
  url += '/';
  url += TextOf(settings.ValidationPath);
  url += "?service=";
  url += escaped_service_url;
  url += "&ticket=";
  url += escaped_ticket;
  return url;
}

}  // namespace turnpike
