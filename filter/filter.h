// The filter: its start and stop steps and the per-request decision.
//
// A host creates one TurnpikeFilter per process with the platform services it
// wires in, runs Start once before the first request and Stop once after the
// last, and calls HttpFilterProc for every notification. When Start answers
// false the host must still run Stop (on Windows the loader does so by
// calling DllMain with process detach); Stop then reports the stopped event
// after the cause of the failure.
//
// The decision runs in two steps so that a host can wait for a validation
// without holding a thread (nginx): BeginRequest answers, lets the request
// through, or hands back a PendingValidation; ValidateTicket fetches and
// parses the CAS server's answer (the only step that may wait); FinishRequest
// takes its outcome and answers. FilterRequest runs the three back to back,
// as IIS, Apache and turnpike-try do. Nothing of a request is kept between
// the steps but what the PendingValidation carries.
//
// Every step may run on many threads at once. Between Start and Stop the
// settings are read-only; the credentials store is the only state that
// requests change, and it guards itself.
#pragma once

#include <cstddef>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "cache/credentials_cache.h"
#include "cache/redis_byte_store.h"
#include "cache/shared_sign_on_store.h"
#include "cache/sign_on_store.h"
#include "common/sign_on.h"
#include "common/version.h"
#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "filter/extraction.h"
#include "filter/service_url.h"
#include "platform/clock.h"
#include "platform/event_log_access.h"
#include "platform/filter_host.h"
#include "platform/isapi.h"
#include "platform/random_source.h"
#include "platform/registry_access.h"
#include "platform/stream_socket.h"
#include "platform/validation_platform.h"
#include "validation/validate_ticket.h"
#include "validation/validation_slots.h"

namespace turnpike {

// The fixed size of every URL, header value and server variable buffer.
inline constexpr std::uint32_t kUrlBufferSize = 2083;

// What the host lends the filter for its lifetime. Every pointer but
// `credentials` is required and must stay valid from Start to the end of Stop.
struct PlatformServices {
  RegistryAccess* registry = nullptr;
  EventLogAccess* event_log = nullptr;
  const Clock* clock = nullptr;
  // HTTP and XML for ticket validation.
  ValidationPlatform* validation = nullptr;
  // Where sign-ons are kept. Null: the filter keeps them in a
  // CredentialsCache of its own, in this process's memory, made by Start.
  SignOnStore* credentials = nullptr;
  // Where the validations running at once are counted, when the server is
  // more than this process. Null: the filter counts them in this process.
  ValidationSlots* validation_slots = nullptr;
  // How many validations may run at once when MaxValidations is not set:
  // the host derives it from how many requests it serves at once.
  std::uint32_t default_max_validations = 1;
  // Whether the host can read a request's body before the application does
  // (FilterHost::ReadBody); without it SingleLogout cannot work, and a
  // configuration that sets it is refused at start-up.
  bool reads_request_bodies = false;
  // The host's own name for the CAs to trust (Apache's
  // TurnpikeCACertificateFile), which wins over CACertificateFile; null:
  // the registry's value, if any.
  const char* ca_certificate_file = nullptr;
  // Sockets, for a SharedCache of Redis. Null: the host cannot reach one,
  // and a configuration that names one is refused.
  StreamConnector* network = nullptr;
  // Whether Start logs in to a SharedCache itself (CheckSharedCache). A host
  // whose start may not wait on the network (IIS: DllMain holds the loader
  // lock) says false and calls CheckSharedCache later.
  bool check_shared_cache_at_start = true;
  // The system's generator, for opaque cookies (OpaqueCookie 1). Null: the
  // host has none, and a start with OpaqueCookie 1 is refused. The host's
  // own store (`credentials`) is given it by the host.
  RandomSource* random = nullptr;
};

// A returning ticket that waits for its validation, with what the answer
// needs afterwards. It holds one of the validation slots until it ends.
// Move-only; made by BeginRequest alone.
class PendingValidation {
 public:
  PendingValidation(PendingValidation&&) noexcept = default;
  PendingValidation& operator=(PendingValidation&&) = delete;

  // The validation URL to fetch and the ticket as the browser sent it.
  const std::string& url() const noexcept { return url_; }
  const std::string& ticket() const noexcept { return ticket_; }

 private:
  friend class TurnpikeFilter;
  PendingValidation(std::string url, std::string ticket, ServiceUrls service, bool failed_before,
                    bool gateway, ValidationSlot slot) noexcept
      : url_(std::move(url)), ticket_(std::move(ticket)), service_(std::move(service)),
        failed_before_(failed_before), gateway_(gateway), slot_(std::move(slot)) {}

  std::string url_;
  std::string ticket_;
  ServiceUrls service_;
  bool failed_before_;
  bool gateway_;  // a gateway page: a failure lets the browser on without a sign-on
  ValidationSlot slot_;
};

// What the first step of the decision came to: the status for the host
// when the request is done with, or a validation to run first.
struct FirstStep {
  FilterStatus status = FilterStatus::NextNotification;
  std::optional<PendingValidation> pending;
};

class TurnpikeFilter {
 public:
  explicit TurnpikeFilter(const PlatformServices& services);
  TurnpikeFilter(const TurnpikeFilter&) = delete;
  TurnpikeFilter& operator=(const TurnpikeFilter&) = delete;

  // The start steps: event source, settings, credentials cache, the
  // validation limit and time-out, started event. False when the library
  // must refuse to load.
  bool Start();

  // The stop steps: settings freed, stopped event.
  void Stop();

  // With SharedCache set: logs in to the Redis server once, and reports
  // what it found. False (an error event) when the server refuses the
  // password or the database, which no later request could change; a
  // server that cannot be reached is a warning, and true: sign-ons then
  // fail, with their events, until it answers. True without SharedCache.
  // Start runs it unless the host said otherwise; such a host runs it after
  // a successful Start, where it may wait on the network.
  bool CheckSharedCache();

  // One notification. Anything but the pre-processed headers passes
  // untouched and nothing is read.
  FilterStatus HttpFilterProc(FilterHost& host, Dword notification_type) noexcept;

  // The decision for one request whose headers have been read: the three
  // steps below, back to back, on the calling thread.
  FilterStatus FilterRequest(FilterHost& host) noexcept;

  // The first step: everything up to the validation of a returning ticket,
  // the logout path and a CAS server's logout request included.
  FirstStep BeginRequest(FilterHost& host) noexcept;

  // The validation of a pending ticket: one GET of the CAS server and the
  // reading of its answer. Needs no host; the only step that waits. Its
  // events go to `request_log` when the caller has one for the request
  // that may be written from this thread, else to the filter's log.
  ValidationOutcome ValidateTicket(const PendingValidation& pending,
                                   EventLogAccess* request_log = nullptr) noexcept;

  // The last step: the sign-on kept and the cookie set, or the browser sent
  // to log in again (or, the second time in a row, the failure page).
  FilterStatus FinishRequest(FilterHost& host, PendingValidation pending,
                             ValidationOutcome outcome) noexcept;

  const FilterSettings& settings() const noexcept { return settings_; }
  const EventReporter& reporter() const noexcept { return reporter_; }

 private:
  EventReporter ReporterFor(FilterHost& host) const noexcept;
  bool IsProtected(FilterHost& host, std::string_view url, const ProtectedPathList& paths) const;
  FirstStep BeginProtected(FilterHost& host, std::string_view url, bool gateway,
                           const EventReporter& reporter);
  FirstStep BeginTicket(FilterHost& host, std::string_view url, const TicketParameter& ticket,
                        std::string_view cookies, bool gateway, const EventReporter& reporter);
  FilterStatus AnswerFailure(FilterHost& host, const ServiceUrls& service, bool failed_before,
                             bool gateway, const std::string& why, const EventReporter& reporter);
  // filter/logout.cpp: the local logout at LogoutPath, and a CAS server's
  // single-logout POST (nothing when the request is no such POST).
  bool IsLogoutPath(std::string_view url) const noexcept;
  FilterStatus LocalLogout(FilterHost& host, const EventReporter& reporter);
  std::optional<FilterStatus> SingleLogout(FilterHost& host, std::string_view url,
                                           const EventReporter& reporter);

  PlatformServices services_;
  FilterSettings settings_;
  EventReporter reporter_;
  // The in-process sign-ons, when the host lends no store of its own.
  std::optional<CredentialsCache> cache_;
  // The sign-ons in Redis, when SharedCache is set.
  std::optional<RedisByteStore> redis_;
  std::optional<SharedSignOnStore> shared_;
  SignOnStore* credentials_ = nullptr;
  // The count of validations, when the host lends none.
  InProcessValidationSlots own_slots_;
  ValidationSlots* validation_slots_ = &own_slots_;
  // MaxValidations, or the host's default when it is not set.
  std::uint32_t validation_limit_ = 0;
};

// Fills the host's filter version record: version 7, high priority, the
// pre-processed-headers notification alone, and the description.
bool GetFilterVersion(HttpFilterVersion* version) noexcept;

inline constexpr Dword kFilterVersion = 7;
inline constexpr Dword kFilterFlags = kSfNotifyOrderHigh | kSfNotifyPreprocHeaders;
inline constexpr const char* kFilterDescription = "Turnpike, Version " TURNPIKE_VERSION;

}  // namespace turnpike
