// EventLogAccess: where events are written.
//
// Mirrors the Windows event log calls the filter makes for every single
// event: open the source, write one event, close the source. No handle lives
// between events. Implementations must be callable from many threads at once;
// a failure of any call is not acted on by the filter (the event is lost).
#pragma once

#include <cstdint>

namespace turnpike {

// EVENTLOG_ERROR_TYPE, EVENTLOG_WARNING_TYPE, EVENTLOG_INFORMATION_TYPE.
enum class EventSeverity : std::uint16_t {
  Error = 1,
  Warning = 2,
  Information = 4,
};

// An open event source; null is none.
using EventSourceHandle = void*;

class EventLogAccess {
 public:
  virtual ~EventLogAccess() = default;

  // RegisterEventSourceA(NULL, source): a handle, or null on failure.
  virtual EventSourceHandle OpenSource(const char* source) = 0;

  // ReportEventA(source, severity, category, event_id, no user, 2 strings,
  // no data). `strings` are the insertion strings %1 and %2, both present
  // (an absent one has already been made empty).
  virtual bool Write(EventSourceHandle source, EventSeverity severity,
                     std::uint16_t category, std::uint32_t event_id,
                     const char* const strings[2]) = 0;

  // DeregisterEventSource.
  virtual void CloseSource(EventSourceHandle source) = 0;
};

}  // namespace turnpike
