#include "filter/filter.h"

#include <chrono>
#include <optional>
#include <string>

#include "common/bounded.h"
#include "config/settings_loader.h"
#include "filter/answers.h"
#include "filter/extraction.h"
#include "filter/host_text.h"
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
constexpr const char* kSignOnLoopStopped =
    "The Turnpike filter stopped a sign-on after two ticket validations in a row failed, and "
    "showed the browser the sign-on failure page, for:";
constexpr const char* kValidationLimitReached =
    "The Turnpike filter is validating as many tickets as MaxValidations allows; the browser was "
    "sent to log in again:";

}  // namespace

TurnpikeFilter::TurnpikeFilter(const PlatformServices& services)
    : services_(services), reporter_(*services.event_log, settings_.Debug) {}

bool TurnpikeFilter::Start() {
  if (!EnsureEventSource(*services_.registry)) return false;
  if (!LoadSettings(*services_.registry, reporter_, settings_)) return false;
  if (services_.credentials != nullptr) {
    credentials_ = services_.credentials;
  } else {
    cache_.emplace(*services_.clock, CacheTimeouts{settings_.SessionTimeout, settings_.CacheCleanTimeout},
                   reporter_);
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
  try {
    HostText url;
    if (!url.ReadHeader(host, "url")) {
      reporter_.LogEvent(EventType::Warning, kUrlUnreadable, nullptr);
      return FilterStatus::Error;
    }
    if (!IsProtected(host, url.view())) return FilterStatus::NextNotification;
    return HandleProtectedRequest(host, url.view());
  } catch (...) {
    return FilterStatus::Error;
  }
}

// The URL as sent, and the path the server will serve, each also without
// ";parameters": a protected path in any of them protects the request.
bool TurnpikeFilter::IsProtected(FilterHost& host, std::string_view url) const {
  const ProtectedPathList& paths = settings_.ProtectedPaths;
  HostText work;
  work.Assign(url);
  if (FindProtectedPath(work.data(), paths) >= 0) return true;
  if (RemovePathParameters(work.data()) && FindProtectedPathInDecoded(work.data(), paths) >= 0) {
    return true;
  }
  if (IsNormalPath(url) || !work.ReadServerPath(host)) return false;
  if (FindProtectedPathInDecoded(work.data(), paths) >= 0) return true;
  return RemovePathParameters(work.data()) && FindProtectedPathInDecoded(work.data(), paths) >= 0;
}

// The three roads of a protected request: a returning ticket, a known
// cookie, or neither. Everything obtained here is released on every road by
// going out of scope.
FilterStatus TurnpikeFilter::HandleProtectedRequest(FilterHost& host, std::string_view url) {
  const std::optional<TicketParameter> ticket = FindTicketParameter(url);
  const std::optional<ServiceUrls> service = ServiceUrl(host, settings_, url, ticket, reporter_);
  HostText cookies;
  (void)cookies.ReadHeader(host, "Cookie:");  // none: no cookie of ours either
  // ServiceUrl has reported why it failed. Sending the browser on with
  // nothing where its page belongs would strand it at the CAS server, and
  // validating with no service would always fail: answer with an error.
  if (!service) return FilterStatus::Error;
  if (ticket) return HandleTicket(host, *service, ticket->value, cookies.view());

  CookieValues values(cookies.view(), kCookieName);
  const std::optional<std::string_view> first = values.Next();
  if (!first) {
    reporter_.LogEvent(EventType::Information, kNoTicketOrCookie, "");
    return SendLoginRedirect(host, settings_, reporter_, service->escaped.c_str());
  }
  // A browser may hold a stale cookie of another path or domain beside the
  // good one; the first the store knows is the sign-on.
  for (std::optional<std::string_view> cookie = first; cookie; cookie = values.Next()) {
    const std::optional<SignOn> sign_on = credentials_->Lookup(*cookie);
    if (!sign_on) continue;
    const FilterStatus status = SetIdentityHeader(host, settings_, reporter_, sign_on->user.c_str());
    reporter_.LogEvent(EventType::Information, kAuthenticatedByCookie, sign_on->user.c_str());
    return status;
  }
  reporter_.LogEvent(EventType::Error, kCookieNotValidated, std::string(*first).c_str());
  return SendLoginRedirect(host, settings_, reporter_, service->escaped.c_str());
}

FilterStatus TurnpikeFilter::HandleTicket(FilterHost& host, const ServiceUrls& service,
                                          std::string_view ticket, std::string_view cookies) {
  // A browser that comes back with a second ticket that fails as well would
  // only be sent round the login page again, and again: the web server that
  // cannot reach the CAS server, a wrong ValidationPath or a server that
  // rewrites the service fail every ticket alike. The browser carries the
  // note of the first failure itself.
  const bool failed_before = CookieValues(cookies, kFailedSignOnCookieName).Next().has_value();
  // A hanging CAS server holds this thread for the whole time-out; past the
  // limit the browser is sent to log in again at once, which keeps workers
  // free for every other request. Held until the answer is sent.
  const ValidationSlot slot(*validation_slots_, validation_limit_);
  std::string why;
  std::optional<std::string> user;
  if (!slot) {
    reporter_.LogEvent(EventType::Warning, kValidationLimitReached, service.unescaped.c_str());
    why = "this server was already validating as many tickets as MaxValidations allows";
  } else {
    const std::string validation_url = FormatValidationUrl(settings_, service.escaped, ticket);
    user = ValidateTicket(validation_url.c_str(), *services_.validation, reporter_, &why);
    if (!user) reporter_.LogEvent(EventType::Information, kTicketNotValidated, validation_url.c_str());
  }
  if (!user) {
    if (!failed_before) {
      return SendLoginRedirect(host, settings_, reporter_, service.escaped.c_str(),
                               kSetFailedSignOnCookie);
    }
    const std::string detail = service.unescaped + " (" + why + ")";
    reporter_.LogEvent(EventType::Error, kSignOnLoopStopped, detail.c_str());
    return SendSignOnFailedPage(host, reporter_);
  }
  const std::optional<std::string> token =
      credentials_->Store(SignOn{*user, {}, std::string(ticket), services_.clock->Now()});
  if (!token) {
    reporter_.LogEvent(EventType::Error, kCookieNotStored, user->c_str());
    return FilterStatus::Error;
  }
  reporter_.LogEvent(EventType::Information, kCookieCreated, user->c_str());
  return SendCookieRedirect(host, reporter_, service.unescaped.c_str(), token->c_str(),
                            failed_before ? kClearFailedSignOnCookie : nullptr);
}

bool GetFilterVersion(HttpFilterVersion* version) noexcept {
  version->dwFilterVersion = kFilterVersion;
  (void)BoundedCopy(version->lpszFilterDesc, sizeof version->lpszFilterDesc, kFilterDescription);
  version->dwFlags = kFilterFlags;
  return true;
}

}  // namespace turnpike
