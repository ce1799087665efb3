// NginxEventLog: the filter's events in nginx's error log.
//
// Each written event becomes one error-log entry reading "[event N] " and
// the text rendered from the message table without its closing CR LF, the
// texts Apache's error log shows. The level follows from the identifier:
//
//   1 error -> error, 2 warning -> warn, 4 information -> info,
//   5 started and 6 stopped -> notice.
//
// notice is the level at which nginx announces its own starts and signals;
// `error_log FILE notice` (or info, for the Debug trace) shows them.
// Control characters in the text (a user name from a CAS answer, a cookie)
// are written as \xHH, so no event can forge a line of its own: nginx writes
// what it is given as it is.
//
// Where an entry goes: to the log set with set_target (the configuration's
// log while nginx reads its configuration, a new cycle's log at its start),
// else to the current cycle's log. The events of a request go through an
// NginxRequestEventLog instead, to that request's connection log, which adds
// the client, the server and the request line.
//
// Not for threads other than the event loop's: nginx's logging reads the
// worker's cached time and the connection's state. A validation on a pool
// thread records its events, and the request replays them when it resumes.
#pragma once

#include <cstdint>

#include "hosts/nginx/nginx_headers.h"
#include "platform/event_log_access.h"

namespace turnpike {

// The nginx log level of an event identifier (NGX_LOG_ERR ... NGX_LOG_INFO).
ngx_uint_t NginxLogLevelOf(std::uint32_t event_id) noexcept;

class NginxEventLog final : public EventLogAccess {
 public:
  // Null: the current cycle's log at the time of each write.
  void set_target(ngx_log_t* log) noexcept { target_ = log; }
  // Whether the started and stopped events are written: off while the
  // configuration is only checked, so that each appears once per real start
  // and stop (and never from a worker process).
  void set_lifecycle_events(bool written) noexcept { lifecycle_events_ = written; }

  EventSourceHandle OpenSource(const char* source) override;
  bool Write(EventSourceHandle source, EventSeverity severity, std::uint16_t category,
             std::uint32_t event_id, const char* const strings[2]) override;
  void CloseSource(EventSourceHandle source) override;

 private:
  ngx_log_t* target_ = nullptr;
  bool lifecycle_events_ = true;
};

class NginxRequestEventLog final : public EventLogAccess {
 public:
  explicit NginxRequestEventLog(ngx_http_request_t* request) noexcept : request_(request) {}

  EventSourceHandle OpenSource(const char* source) override;
  bool Write(EventSourceHandle source, EventSeverity severity, std::uint16_t category,
             std::uint32_t event_id, const char* const strings[2]) override;
  void CloseSource(EventSourceHandle source) override;

 private:
  ngx_http_request_t* request_;
};

}  // namespace turnpike
