#include "hosts/apache/apache_event_log.h"

#include <string>

#include "eventlog/event_reporter.h"

APLOG_USE_MODULE(turnpike);

namespace turnpike {
namespace {

constexpr std::uint32_t kStartedEvent = 5;
constexpr std::uint32_t kStoppedEvent = 6;

// The event as one line of text, without the message table's CR LF.
std::string EventLine(std::uint32_t event_id, const char* const strings[2]) {
  std::string text;
  try {
    text = RenderEvent(event_id, strings[0], strings[1]);
  } catch (...) {
    // Without memory for the text, the message alone still says what happened.
    text = strings[0] != nullptr ? strings[0] : "";
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

int ApacheLogLevelOf(std::uint32_t event_id) noexcept {
  switch (event_id) {
    case 1: return APLOG_ERR;
    case 2: return APLOG_WARNING;
    case kStartedEvent:
    case kStoppedEvent: return APLOG_NOTICE;
    default: return APLOG_INFO;
  }
}

EventSourceHandle ApacheEventLog::OpenSource(const char*) { return this; }

bool ApacheEventLog::Write(EventSourceHandle, EventSeverity, std::uint16_t, std::uint32_t event_id,
                           const char* const strings[2]) {
  if (!lifecycle_events_ && (event_id == kStartedEvent || event_id == kStoppedEvent)) return true;
  // The text comes from requests and CAS answers: it is always an argument,
  // never the format.
  ap_log_error(APLOG_MARK, ApacheLogLevelOf(event_id), 0, server_, "[event %u] %s", event_id,
               EventLine(event_id, strings).c_str());
  return true;
}

void ApacheEventLog::CloseSource(EventSourceHandle) {}

EventSourceHandle ApacheRequestEventLog::OpenSource(const char*) { return this; }

bool ApacheRequestEventLog::Write(EventSourceHandle, EventSeverity, std::uint16_t,
                                  std::uint32_t event_id, const char* const strings[2]) {
  ap_log_rerror(APLOG_MARK, ApacheLogLevelOf(event_id), 0, request_, "[event %u] %s", event_id,
                EventLine(event_id, strings).c_str());
  return true;
}

void ApacheRequestEventLog::CloseSource(EventSourceHandle) {}

}  // namespace turnpike
