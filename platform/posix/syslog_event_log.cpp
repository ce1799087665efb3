#include "platform/posix/syslog_event_log.h"

#include <syslog.h>

#include <mutex>
#include <string>

#include "eventlog/event_reporter.h"

namespace turnpike {
namespace {

int PriorityOf(EventSeverity severity) {
  switch (severity) {
    case EventSeverity::Error: return LOG_ERR;
    case EventSeverity::Warning: return LOG_WARNING;
    case EventSeverity::Information: return LOG_INFO;
  }
  return LOG_INFO;
}

}  // namespace

EventSourceHandle SyslogEventLog::OpenSource(const char* source) {
  static std::once_flag opened;
  static std::string ident;
  std::call_once(opened, [source] {
    ident = source;
    openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
  });
  return this;
}

bool SyslogEventLog::Write(EventSourceHandle, EventSeverity severity, std::uint16_t,
                           std::uint32_t event_id, const char* const strings[2]) {
  std::string text = RenderEvent(event_id, strings[0], strings[1]);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  syslog(PriorityOf(severity), "[event %u] %s", event_id, text.c_str());
  return true;
}

void SyslogEventLog::CloseSource(EventSourceHandle) {}

}  // namespace turnpike
