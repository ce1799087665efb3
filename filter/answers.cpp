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

}  // namespace

FilterStatus SendLoginRedirect(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter,
                               const char* escaped_service_url) noexcept {
  char block[kHeaderBlockSize];
  // A cut block still sends the browser towards the login page; refusing to
  // answer would only leave it with an error page.
  (void)BoundedFormat(block, sizeof block, "Location: %s/%s?service=%s\r\n\r\n",
                      TextOf(settings.ServerURL), TextOf(settings.LoginPath),
                      TextOf(escaped_service_url));
  return SendRedirect(host, reporter, block, kLoginRedirectFailed);
}

FilterStatus SendCookieRedirect(FilterHost& host, const EventReporter& reporter,
                                const char* service_url, const char* token) noexcept {
  char block[kHeaderBlockSize];
  (void)BoundedFormat(block, sizeof block, "Location: %s\r\nSet-Cookie: %s=%s;path=%s\r\n\r\n",
                      TextOf(service_url), kCookieName, TextOf(token), kCookiePath);
  return SendRedirect(host, reporter, block, kCookieRedirectFailed);
}

FilterStatus SetIdentityHeader(FilterHost& host, const FilterSettings& settings,
                               const EventReporter& reporter, const char* user) {
  std::string name = TextOf(settings.AuthHeader);
  name += ':';
  const char* value = TextOf(user);

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

bool FormatValidationUrl(const FilterSettings& settings, const char* escaped_service_url,
                         const char* ticket, char (&out)[kUrlBufferSize]) noexcept {
  char escaped_ticket[kUrlBufferSize];
  if (!EscapeUrl(TextOf(ticket), escaped_ticket, sizeof escaped_ticket, nullptr)) {
    // Escaped, the ticket alone is longer than the whole URL may be, so the
    // URL is cut inside it anyway; what EscapeUrl managed to write is more
    // than the cut keeps.
    escaped_ticket[sizeof escaped_ticket - 3] = '\0';
  }
  return BoundedFormat(out, kUrlBufferSize, "%s/%s?service=%s&ticket=%s",
                       TextOf(settings.ServerURL), TextOf(settings.ValidationPath),
                       TextOf(escaped_service_url), escaped_ticket) == BoundedResult::Ok;
}

}  // namespace turnpike
