// EventType: what kind of event is reported. The number is at once the
// event's identifier in the log and, through EventSeverityOf, its severity.
#pragma once

#include <cstdint>

#include "platform/event_log_access.h"

namespace turnpike {

enum class EventType : std::uint32_t {
  Error = 1,
  Warning = 2,
  Information = 4,  // the filter's trace: written only while Debug is non-zero
  Started = 5,
  Stopped = 6,
};

// 1 is an error, 2 a warning, everything else information.
constexpr EventSeverity EventSeverityOf(EventType type) noexcept {
  switch (type) {
    case EventType::Error: return EventSeverity::Error;
    case EventType::Warning: return EventSeverity::Warning;
    case EventType::Information:
    case EventType::Started:
    case EventType::Stopped: return EventSeverity::Information;
  }
  return EventSeverity::Information;
}

}  // namespace turnpike
