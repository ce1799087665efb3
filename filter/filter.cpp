#include "filter/filter.h"

#include <chrono>
#include <optional>
#include <string>

#include "common/ascii.h"
#include "common/bounded.h"
#include "config/settings_loader.h"
#include "filter/answers.h"
#include "filter/attribute_headers.h"
#include "filter/extraction.h"
#include "filter/host_text.h"
#include "filter/path_match.h"
#include "filter/service_url.h"
#include "validation/validate_ticket.h"

namespace turnpike {
namespace {

constexpr const char* kCaCertificateFile = "CACertificateFile";
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
constexpr const char* kAttributesTooLarge =
    "The Turnpike filter refused a sign-on whose attributes take more than 16 KiB, for:";
constexpr const char* kValidationLimitReached =
    "The Turnpike filter is validating as many tickets as MaxValidations allows; the browser was "
    "sent to log in again:";
constexpr const char* kSingleLogoutUnavailable =
    "The Turnpike filter cannot read the single-logout requests of CAS on this web server, please "
    "remove the value:";
constexpr const char* kScriptRefused =
    "The Turnpike filter answered a script's request without a sign-on with 401:";
constexpr const char* kGatewayPassed =
    "The Turnpike filter let a request to a gateway page go on without a sign-on:";

// A request sent by a script (XMLHttpRequest, fetch) rather than by a
// browser navigating: it carries X-Requested-With: XMLHttpRequest, or its
// Accept names application/json and nothing else. Such a caller would only
// receive the login page's HTML from a redirect.
bool IsScriptRequest(FilterHost& host) {
  HostText value;
  if (value.ReadHeader(host, "X-Requested-With") &&
      AsciiEqualsIgnoreCase(value.view(), "XMLHttpRequest")) {
    return true;
  }
  if (!value.ReadHeader(host, "Accept")) return false;
  std::string_view rest = value.view();
  bool any = false;
  while (true) {
    const std::size_t comma = rest.find(',');
    std::string_view range = rest.substr(0, comma);
    range = range.substr(0, range.find(';'));  // q= and other parameters aside
    while (!range.empty() && (range.front() == ' ' || range.front() == '\t')) range.remove_prefix(1);
    while (!range.empty() && (range.back() == ' ' || range.back() == '\t')) range.remove_suffix(1);
    if (!range.empty()) {
      if (!AsciiEqualsIgnoreCase(range, "application/json")) return false;
      any = true;
    }
    if (comma == std::string_view::npos) return any;
    rest.remove_prefix(comma + 1);
  }
}

constexpr const char* kNoNetwork =
    "The Turnpike filter cannot keep sign-ons in a shared cache on this web server, please remove "
    "the value:";
constexpr const char* kSharedCacheRefused =
    "The Turnpike filter was refused by the shared credentials cache, please check SharedCache and "
    "SharedCachePassword:";
constexpr const char* kSharedCacheUnreachable =
    "The Turnpike filter could not reach the shared credentials cache; sign-ons fail until it "
    "answers:";

}  // namespace

TurnpikeFilter::TurnpikeFilter(const PlatformServices& services)
    : services_(services), reporter_(*services.event_log, settings_.Debug) {}

bool TurnpikeFilter::Start() {
  if (!EnsureEventSource(*services_.registry)) return false;
  if (!LoadSettings(*services_.registry, reporter_, settings_)) return false;
  if (settings_.SingleLogout != 0 && !services_.reads_request_bodies) {
    // An administrator who set it expects CAS's logouts to end sign-ons
    // here; silently ignoring them would keep users signed on.
    reporter_.LogEvent(EventType::Error, kSingleLogoutUnavailable, "SingleLogout");
    FreeSettings(settings_);
    return false;
  }
  // Trusting the system's store instead of the CAs the administrator named
  // would accept certificates they meant to refuse: a file that cannot be
  // used refuses the start.
  const std::optional<std::string> trusted =
      services_.ca_certificate_file != nullptr ? std::optional<std::string>(services_.ca_certificate_file)
                                               : settings_.CACertificateFile;
  if (trusted && (services_.validation == nullptr || !services_.validation->TrustOnlyCertificatesIn(*trusted))) {
    reporter_.LogEvent(EventType::Error, kValueMissing, kCaCertificateFile);
    FreeSettings(settings_);
    return false;
  }
  // Opaque cookies without a generator would be no cookies at all.
  if (settings_.OpaqueCookie != 0 && services_.random == nullptr) {
    reporter_.LogEvent(EventType::Error, kValueMissing, "OpaqueCookie");
    FreeSettings(settings_);
    return false;
  }
  if (settings_.SharedCache) {
    const std::optional<RedisAddress> address = ParseRedisAddress(*settings_.SharedCache);
    if (services_.network == nullptr || !address) {
      reporter_.LogEvent(EventType::Error, kNoNetwork, "SharedCache");
      return false;
    }
    redis_.emplace(*address, settings_.SharedCachePassword, *services_.network);
    shared_.emplace(*redis_, *services_.clock);
    shared_->Attach(CacheTimeouts{settings_.SessionTimeout, settings_.CacheCleanTimeout}, reporter_,
                    settings_.OpaqueCookie != 0 ? services_.random : nullptr);
    credentials_ = &*shared_;
    if (services_.check_shared_cache_at_start && !CheckSharedCache()) return false;
  } else if (services_.credentials != nullptr) {
    credentials_ = services_.credentials;
  } else {
    cache_.emplace(*services_.clock, CacheTimeouts{settings_.SessionTimeout, settings_.CacheCleanTimeout},
                   reporter_, settings_.OpaqueCookie != 0 ? services_.random : nullptr);
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

bool TurnpikeFilter::CheckSharedCache() {
  if (!redis_) return true;
  std::string failure;
  switch (redis_->Check(failure)) {
    case RedisCheck::Ok: return true;
    case RedisCheck::Unreachable:
      reporter_.LogEventText(EventType::Warning, kSharedCacheUnreachable, failure);
      return true;
    case RedisCheck::Refused:
      reporter_.LogEventText(EventType::Error, kSharedCacheRefused, failure);
      return false;
  }
  return false;
}

void TurnpikeFilter::Stop() {
  shared_.reset();
  redis_.reset();
  FreeSettings(settings_);
  reporter_.LogEvent(EventType::Stopped, nullptr, nullptr);
}

FilterStatus TurnpikeFilter::HttpFilterProc(FilterHost& host, Dword notification_type) noexcept {
  if (notification_type != kSfNotifyPreprocHeaders) return FilterStatus::NextNotification;
  return FilterRequest(host);
}

FilterStatus TurnpikeFilter::FilterRequest(FilterHost& host) noexcept {
  FirstStep first = BeginRequest(host);
  if (!first.pending) return first.status;
  ValidationOutcome outcome = ValidateTicket(*first.pending, host.RequestEventLog());
  return FinishRequest(host, std::move(*first.pending), std::move(outcome));
}

// Events of a request go where its host says, tagged with the request.
EventReporter TurnpikeFilter::ReporterFor(FilterHost& host) const noexcept {
  EventLogAccess* log = host.RequestEventLog();
  return EventReporter(log != nullptr ? *log : *services_.event_log, settings_.Debug);
}

FirstStep TurnpikeFilter::BeginRequest(FilterHost& host) noexcept {
  const EventReporter reporter = ReporterFor(host);
  try {
    HostText url;
    if (!url.ReadUrl(host)) {
      reporter.LogEvent(EventType::Warning, kUrlUnreadable, nullptr);
      return {FilterStatus::Error, std::nullopt};
    }
    if (settings_.LogoutPath && IsLogoutPath(url.view())) {
      return {LocalLogout(host, reporter), std::nullopt};
    }
    // The server's own configuration protects a request too, where it has a
    // say (nginx's `turnpike on`).
    if (host.ProtectedByServer() || IsProtected(host, url.view(), settings_.ProtectedPaths)) {
      return BeginProtected(host, url.view(), false, reporter);
    }
    if (settings_.GatewayPaths.Count > 0 && IsProtected(host, url.view(), settings_.GatewayPaths)) {
      return BeginProtected(host, url.view(), true, reporter);
    }
    return {FilterStatus::NextNotification, std::nullopt};
  } catch (...) {
    return {FilterStatus::Error, std::nullopt};
  }
}

// The URL as sent, and the path the server will serve, each also without
// ";parameters": a protected path in any of them protects the request.
bool TurnpikeFilter::IsProtected(FilterHost& host, std::string_view url,
                                 const ProtectedPathList& paths) const {
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
// cookie, or neither. The service URL is built only where it is used: a
// browser with a known cookie never needs it. A CAS server's logout request
// comes to the same pages (the services it issued tickets for) and is
// answered before any of them. A gateway page differs only where the
// browser has no sign-on here: it is sent to CAS once with gateway=true,
// then let on without one.
FirstStep TurnpikeFilter::BeginProtected(FilterHost& host, std::string_view url, bool gateway,
                                         const EventReporter& reporter) {
  if (settings_.SingleLogout != 0) {
    if (const std::optional<FilterStatus> logout = SingleLogout(host, url, reporter)) {
      return {*logout, std::nullopt};
    }
  }
  const std::optional<TicketParameter> ticket = FindTicketParameter(url);
  HostText cookies;
  (void)cookies.ReadHeader(host, "Cookie");  // none: no cookie of ours either
  if (ticket) return BeginTicket(host, url, *ticket, cookies.view(), gateway, reporter);

  CookieValues values(cookies.view(), kCookieName);
  const std::optional<std::string_view> first = values.Next();
  // A browser may hold a stale cookie of another path or domain beside the
  // good one; the first the store knows is the sign-on.
  for (std::optional<std::string_view> cookie = first; cookie; cookie = values.Next()) {
    const std::optional<SignOn> sign_on = credentials_->Lookup(*cookie);
    if (!sign_on) continue;
    const FilterStatus status = PassSignOn(host, settings_, reporter, *sign_on);
    if (status == FilterStatus::NextNotification) host.SignedOn(*sign_on);
    reporter.LogEvent(EventType::Information, kAuthenticatedByCookie, sign_on->user.c_str());
    return {status, std::nullopt};
  }

  // A gateway page the browser was sent to CAS for a moment ago: CAS knew
  // no sign-on then, and asking again would only bounce it there and back.
  if (gateway && CookieValues(cookies.view(), kGatewayCookieName).Next()) {
    reporter.LogEventText(EventType::Information, kGatewayPassed, url);
    return {LetPassWithoutSignOn(host, settings_, reporter), std::nullopt};
  }
  // ServiceUrl reports why it failed. Sending the browser on with nothing
  // where its page belongs would strand it at the CAS server: an error.
  const std::optional<ServiceUrls> service = ServiceUrl(host, settings_, url, ticket, reporter);
  if (!service) return {FilterStatus::Error, std::nullopt};
  if (first) {
    reporter.LogEventText(EventType::Error, kCookieNotValidated, *first);
  } else {
    reporter.LogEvent(EventType::Information, kNoTicketOrCookie, "");
  }
  if (gateway) {
    return {SendLoginRedirect(host, settings_, reporter, service->escaped, kSetGatewayCookie,
                              LoginMode::Gateway),
            std::nullopt};
  }
  if (settings_.ScriptsGet401 != 0 && IsScriptRequest(host)) {
    reporter.LogEventText(EventType::Information, kScriptRefused, url);
    return {SendScriptUnauthorized(host, settings_, reporter, service->escaped), std::nullopt};
  }
  return {SendLoginRedirect(host, settings_, reporter, service->escaped), std::nullopt};
}

FirstStep TurnpikeFilter::BeginTicket(FilterHost& host, std::string_view url,
                                      const TicketParameter& ticket, std::string_view cookies,
                                      bool gateway, const EventReporter& reporter) {
  // Validating with no service would always fail: an error, after the event.
  std::optional<ServiceUrls> service = ServiceUrl(host, settings_, url, ticket, reporter);
  if (!service) return {FilterStatus::Error, std::nullopt};
  // A browser that comes back with a second ticket that fails as well would
  // only be sent round the login page again, and again: the web server that
  // cannot reach the CAS server, a wrong ValidationPath or a server that
  // rewrites the service fail every ticket alike. The browser carries the
  // note of the first failure itself.
  const bool failed_before = CookieValues(cookies, kFailedSignOnCookieName).Next().has_value();
  // A hanging CAS server holds a thread for the whole time-out; past the
  // limit the browser is sent to log in again at once, which keeps workers
  // free for every other request. The slot is held until the answer is sent.
  ValidationSlot slot(*validation_slots_, validation_limit_);
  if (!slot) {
    reporter.LogEvent(EventType::Warning, kValidationLimitReached, service->unescaped.c_str());
    return {AnswerFailure(host, *service, failed_before, gateway,
                          "this server was already validating as many tickets as MaxValidations allows",
                          reporter),
            std::nullopt};
  }
  // A gateway page never asked for renew (see LoginUrl), so its ticket
  // comes from CAS's single sign-on and is validated as such.
  std::string validation_url = FormatValidationUrl(settings_, service->escaped, ticket.value,
                                                   settings_.Renew != 0 && !gateway);
  return {FilterStatus::NextNotification,
          PendingValidation(std::move(validation_url), std::string(ticket.value), std::move(*service),
                            failed_before, gateway, std::move(slot))};
}

ValidationOutcome TurnpikeFilter::ValidateTicket(const PendingValidation& pending,
                                                 EventLogAccess* request_log) noexcept {
  const EventReporter reporter(request_log != nullptr ? *request_log : *services_.event_log,
                               settings_.Debug);
  return ::turnpike::ValidateTicket(pending.url().c_str(), pending.ticket(), *services_.validation,
                                   *services_.clock, reporter);
}

FilterStatus TurnpikeFilter::FinishRequest(FilterHost& host, PendingValidation pending,
                                           ValidationOutcome outcome) noexcept {
  const EventReporter reporter = ReporterFor(host);
  try {
    if (!outcome.sign_on) {
      reporter.LogEvent(EventType::Information, kTicketNotValidated, pending.url().c_str());
      return AnswerFailure(host, pending.service_, pending.failed_before_, pending.gateway_,
                           outcome.why, reporter);
    }
    const SignOn& sign_on = *outcome.sign_on;
    // Every store keeps a sign-on this size, and no more.
    if (AttributeBytes(sign_on.attributes) > kMaxAttributeBytes) {
      reporter.LogEvent(EventType::Error, kAttributesTooLarge, sign_on.user.c_str());
      return AnswerFailure(host, pending.service_, pending.failed_before_, pending.gateway_,
                           "the CAS server released more than 16 KiB of attributes", reporter);
    }
    const std::optional<std::string> token = credentials_->Store(sign_on);
    if (!token) {
      reporter.LogEvent(EventType::Error, kCookieNotStored, sign_on.user.c_str());
      return FilterStatus::Error;
    }
    reporter.LogEvent(EventType::Information, kCookieCreated, sign_on.user.c_str());
    return SendCookieRedirect(host, reporter, pending.service_.unescaped, *token,
                              pending.failed_before_ ? kClearFailedSignOnCookie : nullptr,
                              settings_.CookieAttributes ? std::string_view(*settings_.CookieAttributes)
                                                         : std::string_view());
  } catch (...) {
    return FilterStatus::Error;
  }
}

FilterStatus TurnpikeFilter::AnswerFailure(FilterHost& host, const ServiceUrls& service,
                                           bool failed_before, bool gateway, const std::string& why,
                                           const EventReporter& reporter) {
  // A gateway page needs no sign-on: sending the browser to log in would
  // turn an optional sign-on into a required one.
  if (gateway) {
    reporter.LogEvent(EventType::Information, kGatewayPassed, service.unescaped.c_str());
    return LetPassWithoutSignOn(host, settings_, reporter);
  }
  if (!failed_before) {
    return SendLoginRedirect(host, settings_, reporter, service.escaped, kSetFailedSignOnCookie);
  }
  const std::string detail = service.unescaped + " (" + why + ")";
  reporter.LogEvent(EventType::Error, kSignOnLoopStopped, detail.c_str());
  return SendSignOnFailedPage(host, reporter);
}

bool GetFilterVersion(HttpFilterVersion* version) noexcept {
  version->dwFilterVersion = kFilterVersion;
  (void)BoundedCopy(version->lpszFilterDesc, sizeof version->lpszFilterDesc, kFilterDescription);
  version->dwFlags = kFilterFlags;
  return true;
}

}  // namespace turnpike
