// WindowsEventLog: EventLogAccess over the advapi32 event log, on the local
// computer: RegisterEventSourceA(NULL, source), ReportEventA and
// DeregisterEventSource.
//
// Events are written with the caller's severity and identifier, category 0,
// no user SID, the two insertion strings and no raw data; the event viewer
// renders them with the message table of the file that the source's
// registration names (Turnpike.dll). The handles it gives out are the event
// source handles; the caller closes them here. Thread-safe.
#pragma once

#include "platform/event_log_access.h"

namespace turnpike {

class WindowsEventLog final : public EventLogAccess {
 public:
  EventSourceHandle OpenSource(const char* source) override;
  bool Write(EventSourceHandle source, EventSeverity severity, std::uint16_t category,
             std::uint32_t event_id, const char* const strings[2]) override;
  void CloseSource(EventSourceHandle source) override;
};

}  // namespace turnpike
