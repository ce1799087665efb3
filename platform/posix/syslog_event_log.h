// SyslogEventLog: events to the system log, ident "Turnpike".
//
// Each event becomes one line, "[event N] " and the text rendered from the
// message table, at the priority of its severity (error, warning, info). The
// system log's connection is process-wide, so the source is opened once and
// kept; CloseSource does nothing. Thread-safe.
#pragma once

#include "platform/event_log_access.h"

namespace turnpike {

class SyslogEventLog final : public EventLogAccess {
 public:
  EventSourceHandle OpenSource(const char* source) override;
  bool Write(EventSourceHandle source, EventSeverity severity, std::uint16_t category,
             std::uint32_t event_id, const char* const strings[2]) override;
  void CloseSource(EventSourceHandle source) override;
};

}  // namespace turnpike
