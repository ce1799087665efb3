#include "filter/filter.h"

#include <chrono>
#include <optional>
#include <string>

#include "common/bounded.h"
#include "config/settings_loader.h"
#include "filter/answers.h"
#include "filter/extraction.h"
#include "filter/path_match.h"
#include "filter/service_url.h"
#include "validation/validate_ticket.h"

namespace turnpike {
namespace {

constexpr const char* kUrlUnreadable = "The Turnpike ISAPI could not read the url from the headers.";
constexpr const char* kCookieNotStored =
    "The Turnpike filter was unable to set an authentication cookie for the user:";
constexpr const char* kCookieCreated = "The Turnpike filter created an authorization cookie for:";
constexpr const char* kTicketNotValidated = "The Turnpike filter was unable to validate the ticket:";
constexpr const char* kAuthenticatedByCookie = "The Turnpike filter authenticated via cookie:";
constexpr const char* kCookieNotValidated =
    "The Turnpike filter was unable to validate the authentication cookie:";
constexpr const char* kNoTicketOrCookie = "The Turnpike filter was unable to find a ticket or cookie.";
constexpr const char* kValidationLimitReached =
    "The Turnpike filter is validating as many tickets as MaxValidations allows; the browser was "
    "sent to log in again:";

}  // namespace

TurnpikeFilter::TurnpikeFilter(const PlatformServices& services)
    : services_(services), reporter_(*services.event_log, settings_) {}

bool TurnpikeFilter::Start() {
  if (!EnsureEventSource(*services_.registry)) return false;
  if (!LoadSettings(*services_.registry, reporter_, settings_)) return false;
  if (services_.credentials != nullptr) {
    credentials_ = services_.credentials;
  } else {
    cache_.emplace(*services_.clock, settings_, reporter_);
    cache_->InitCredentialsCache();
    credentials_ = &*cache_;
  }
  if (services_.validation_slots != nullptr) validation_slots_ = services_.validation_slots;
  validation_limit_ = settings_.MaxValidations != 0 ? settings_.MaxValidations
                                                    : services_.default_max_validations;
  // Benchmarks and tests of the roads that never validate lend no platform.
  if (services_.validation != nullptr) {
    services_.validation->SetTotalTimeout(std::chrono::seconds(settings_.ValidationTimeout));
  }
  reporter_.LogEvent(EventType::Started, nullptr, nullptr);
  return true;
}

void TurnpikeFilter::Stop() {
  FreeSettings(settings_);
  reporter_.LogEvent(EventType::Stopped, nullptr, nullptr);
}

FilterStatus TurnpikeFilter::HttpFilterProc(FilterHost& host, Dword notification_type) noexcept {
  if (notification_type != kSfNotifyPreprocHeaders) return FilterStatus::NextNotification;
  return FilterRequest(host);
}

FilterStatus TurnpikeFilter::FilterRequest(FilterHost& host) noexcept {
  char url[kUrlBufferSize];
  std::uint32_t size = kUrlBufferSize;
  if (!host.GetHeader("url", url, &size)) {
    reporter_.LogEvent(EventType::Warning, kUrlUnreadable, nullptr);
    return FilterStatus::Error;
  }
  url[kUrlBufferSize - 1] = '\0';  // the host promised a terminator; make sure of it
  if (FindProtectedPath(url, settings_.ProtectedPaths) < 0) {
    return FilterStatus::NextNotification;
  }
  try {
    return HandleProtectedRequest(host);
  } catch (...) {
    return FilterStatus::Error;
  }
}

// The three roads of a protected request: a returning ticket, a known
// cookie, or neither. Everything obtained here is released on every road by
// going out of scope.
FilterStatus TurnpikeFilter::HandleProtectedRequest(FilterHost& host) {
  const std::optional<ServiceUrls> service = ServiceUrl(host, settings_, reporter_);
  const std::optional<std::string> ticket = ExtractTicket(host);
  const std::optional<std::string> cookie = ExtractCookie(host);
  // ServiceUrl has reported why it failed. Sending the browser on with
  // nothing where its page belongs would strand it at the CAS server, and
  // validating with no service would always fail: answer with an error.
  if (!service) return FilterStatus::Error;

  if (ticket) {
    // A hanging CAS server holds this thread for the whole time-out; past
    // the limit the browser is sent to log in again at once, which keeps
    // workers free for every other request. Held until the answer is sent.
    const ValidationSlot slot(*validation_slots_, validation_limit_);
    if (!slot) {
      reporter_.LogEvent(EventType::Warning, kValidationLimitReached, service->unescaped.c_str());
      return SendLoginRedirect(host, settings_, reporter_, service->escaped.c_str());
    }
    // The ticket reaches the CAS server escaped, so that a ticket such as
    // "ST-1&service=..." cannot add parameters to the validation request;
    // the cookie and the cache key stay the ticket as the browser sent it.
    char validation_url[kUrlBufferSize];
    (void)FormatValidationUrl(settings_, service->escaped.c_str(), ticket->c_str(), validation_url);
    const std::optional<std::string> user =
        ValidateTicket(validation_url, *services_.validation, reporter_);
    if (!user) {
      reporter_.LogEvent(EventType::Information, kTicketNotValidated, validation_url);
      return SendLoginRedirect(host, settings_, reporter_, service->escaped.c_str());
    }
    const std::optional<std::string> token = credentials_->StoreCredentials(*ticket, *user);
    if (!token) {
      reporter_.LogEvent(EventType::Error, kCookieNotStored, user->c_str());
      return FilterStatus::Error;
    }
    reporter_.LogEvent(EventType::Information, kCookieCreated, user->c_str());
    return SendCookieRedirect(host, reporter_, service->unescaped.c_str(), token->c_str());
  }

  if (cookie) {
    const std::optional<std::string> user = credentials_->LookupCredentials(*cookie);
    if (!user) {
      reporter_.LogEvent(EventType::Error, kCookieNotValidated, cookie->c_str());
      return SendLoginRedirect(host, settings_, reporter_, service->escaped.c_str());
    }
    const FilterStatus status = SetIdentityHeader(host, settings_, reporter_, user->c_str());
    reporter_.LogEvent(EventType::Information, kAuthenticatedByCookie, user->c_str());
    return status;
  }

  reporter_.LogEvent(EventType::Information, kNoTicketOrCookie, "");
  return SendLoginRedirect(host, settings_, reporter_, service->escaped.c_str());
}

bool GetFilterVersion(HttpFilterVersion* version) noexcept {
  version->dwFilterVersion = kFilterVersion;
  (void)BoundedCopy(version->lpszFilterDesc, sizeof version->lpszFilterDesc, kFilterDescription);
  version->dwFlags = kFilterFlags;
  return true;
}

}  // namespace turnpike
