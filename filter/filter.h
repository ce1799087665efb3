// The filter: its start and stop steps and the per-request decision.
//
// A host creates one TurnpikeFilter per process with the platform services it
// wires in, runs Start once before the first request and Stop once after the
// last, and calls HttpFilterProc for every notification. When Start answers
// false the host must still run Stop (on Windows the loader does so by
// calling DllMain with process detach); Stop then reports the stopped event
// after the cause of the failure.
//
// HttpFilterProc and FilterRequest may run on many threads at once. Between
// Start and Stop the settings are read-only; the credentials cache is the only
// state that requests change, and it guards itself.
#pragma once

#include <cstddef>

#include <memory>
#include <optional>
#include <string_view>

#include "cache/credentials_cache.h"
#include "cache/sign_on_store.h"
#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "filter/service_url.h"
#include "platform/clock.h"
#include "platform/event_log_access.h"
#include "platform/filter_host.h"
#include "platform/isapi.h"
#include "platform/registry_access.h"
#include "platform/validation_platform.h"
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

  // One notification. Anything but the pre-processed headers passes
  // untouched and nothing is read.
  FilterStatus HttpFilterProc(FilterHost& host, Dword notification_type) noexcept;

  // The decision for one request whose headers have been read.
  FilterStatus FilterRequest(FilterHost& host) noexcept;

  const FilterSettings& settings() const noexcept { return settings_; }
  const EventReporter& reporter() const noexcept { return reporter_; }

 private:
  bool IsProtected(FilterHost& host, std::string_view url) const;
  FilterStatus HandleProtectedRequest(FilterHost& host, std::string_view url);
  FilterStatus HandleTicket(FilterHost& host, const ServiceUrls& service,
                            std::string_view ticket, std::string_view cookies);

  PlatformServices services_;
  FilterSettings settings_;
  EventReporter reporter_;
  // The in-process sign-ons, when the host lends no store of its own.
  std::optional<CredentialsCache> cache_;
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
inline constexpr const char* kFilterDescription = "Turnpike, Version 0.7";

}  // namespace turnpike
