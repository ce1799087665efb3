#include "platform/windows/windows_event_log.h"

#include <windows.h>

namespace turnpike {

static_assert(static_cast<WORD>(EventSeverity::Error) == EVENTLOG_ERROR_TYPE);
static_assert(static_cast<WORD>(EventSeverity::Warning) == EVENTLOG_WARNING_TYPE);
static_assert(static_cast<WORD>(EventSeverity::Information) == EVENTLOG_INFORMATION_TYPE);

EventSourceHandle WindowsEventLog::OpenSource(const char* source) {
  return RegisterEventSourceA(nullptr, source);
}

bool WindowsEventLog::Write(EventSourceHandle source, EventSeverity severity,
                            std::uint16_t category, std::uint32_t event_id,
                            const char* const strings[2]) {
  // ReportEventA only reads the strings; its prototype lacks the const.
  return ReportEventA(source, static_cast<WORD>(severity), category, event_id, nullptr, 2, 0,
                      const_cast<LPCSTR*>(strings), nullptr) != FALSE;
}

void WindowsEventLog::CloseSource(EventSourceHandle source) { (void)DeregisterEventSource(source); }

}  // namespace turnpike
