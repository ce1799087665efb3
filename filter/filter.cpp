#include "filter/filter.h"

#include "common/bounded.h"
#include "config/settings_loader.h"
#include "filter/path_match.h"

namespace turnpike {
namespace {

constexpr const char* kUrlUnreadable = "The Turnpike ISAPI could not read the url from the headers.";

}  // namespace

TurnpikeFilter::TurnpikeFilter(const PlatformServices& services)
    : services_(services), reporter_(*services.event_log, settings_) {}

bool TurnpikeFilter::Start() {
  if (!EnsureEventSource(*services_.registry)) return false;
  if (!LoadSettings(*services_.registry, reporter_, settings_)) return false;
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

FilterStatus TurnpikeFilter::HandleProtectedRequest(FilterHost&) {
  return FilterStatus::NextNotification;
}

bool GetFilterVersion(HttpFilterVersion* version) noexcept {
  version->dwFilterVersion = kFilterVersion;
  (void)BoundedCopy(version->lpszFilterDesc, sizeof version->lpszFilterDesc, kFilterDescription);
  version->dwFlags = kFilterFlags;
  return true;
}

}  // namespace turnpike
