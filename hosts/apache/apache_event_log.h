// ApacheEventLog: the filter's events in Apache's error log.
//
// Each written event becomes one error-log entry of the module "turnpike"
// (so `LogLevel turnpike:LEVEL` governs it), reading "[event N] " and the
// text rendered from the message table without its closing CR LF. The
// event's identifier N is its type; the level follows from it:
//
//   1 error -> error, 2 warning -> warn, 4 information -> info,
//   5 started and 6 stopped -> notice.
//
// Notice is the level at which Apache itself announces starts and restarts,
// and it is written whatever LogLevel says, so the started and stopped
// events are always there. Information events pass two gates: the filter's
// Debug setting (EventReporter drops them while it is 0) and Apache's
// LogLevel, which must be info for the module to show them.
//
// Where an entry goes: to the server given at construction; with no server
// (before Apache has opened its error logs, as under `apache2 -t`) to
// Apache's start-up log, which is standard error. The events of a request go
// through an ApacheRequestEventLog instead, to that request's server and
// error log, with the client's address.
//
// What it does not do: it keeps no handle (OpenSource answers a token and
// CloseSource does nothing), never fails a write, and never writes anything
// but these entries.
//
// Thread-safe: Apache's logging is, and nothing here changes after start-up.
// The server_rec is borrowed and must outlive the log.
#pragma once

#include <cstdint>

#include "hosts/apache/apache_headers.h"
#include "platform/event_log_access.h"

namespace turnpike {

// The Apache log level of an event identifier (APLOG_ERR ... APLOG_INFO).
int ApacheLogLevelOf(std::uint32_t event_id) noexcept;

class ApacheEventLog final : public EventLogAccess {
 public:
  // `server`: where events outside a request go; null for the start-up log.
  explicit ApacheEventLog(const server_rec* server) noexcept : server_(server) {}

  // Whether the started and stopped events (5 and 6) are written. A host
  // that only checks the configuration (the first of Apache's two
  // configuration passes, `apache2 -t`) turns them off, so that each appears
  // once per real start and stop of the server.
  void set_lifecycle_events(bool written) noexcept { lifecycle_events_ = written; }

  EventSourceHandle OpenSource(const char* source) override;
  bool Write(EventSourceHandle source, EventSeverity severity, std::uint16_t category,
             std::uint32_t event_id, const char* const strings[2]) override;
  void CloseSource(EventSourceHandle source) override;

 private:
  const server_rec* server_;
  bool lifecycle_events_ = true;
};

// The events of one request, tagged with it (its virtual host's error log,
// the client's address). Used on the request's thread while it is filtered.
class ApacheRequestEventLog final : public EventLogAccess {
 public:
  explicit ApacheRequestEventLog(const request_rec* request) noexcept : request_(request) {}

  EventSourceHandle OpenSource(const char* source) override;
  bool Write(EventSourceHandle source, EventSeverity severity, std::uint16_t category,
             std::uint32_t event_id, const char* const strings[2]) override;
  void CloseSource(EventSourceHandle source) override;

 private:
  const request_rec* request_;
};

}  // namespace turnpike
