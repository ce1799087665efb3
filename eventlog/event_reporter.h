// Event reporting: the one operation through which every subsystem tells
// what it does, and the registration of the event source.
//
// LogEvent may be called from any thread at any time, also before the
// settings are loaded (Debug is then 0). It keeps no state between calls: each
// written event opens the source, writes once and closes it. Information
// events cost one comparison and no call into the platform while Debug is 0.
// Whether an event was written is not reported to the caller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "eventlog/event_types.h"
#include "platform/event_log_access.h"
#include "platform/registry_access.h"

namespace turnpike {

// The event source's name and its registration.
inline constexpr const char* kEventSourceName = "Turnpike";
inline constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Turnpike";
inline constexpr const char* kEventMessageFile = "%SystemRoot%\\system32\\inetsrv\\Turnpike.dll";
inline constexpr std::uint32_t kTypesSupported = 7;  // error, warning and information

class EventReporter {
 public:
  // Both references must outlive the reporter. `debug` is the Debug
  // setting, read at every event: the reporter reports the loading of the
  // settings too, before they hold anything.
  EventReporter(EventLogAccess& log, const std::uint32_t& debug) noexcept : log_(log), debug_(debug) {}

  // `message` and `detail` may be null; a null one is written as "".
  void LogEvent(EventType type, const char* message, const char* detail) const noexcept;

  // The same for a detail that need not be NUL-terminated. The terminated
  // copy the event log needs is made only for an event that will be
  // written, so a dropped information event still allocates nothing.
  void LogEventText(EventType type, const char* message, std::string_view detail) const noexcept;

 private:
  EventLogAccess& log_;
  const std::uint32_t& debug_;
};

// The message-table text of an event identifier, or null for one the table
// does not hold.
const char* MessageTableText(std::uint32_t event_id) noexcept;

// The event as the event viewer shows it: the message-table text of its
// identifier with %1 and %2 replaced by the two strings ("message: detail\r\n"
// for types 1, 2 and 4; a fixed sentence for 5 and 6).
std::string RenderEvent(std::uint32_t event_id, const char* message, const char* detail);

// Registers the event source under HKEY_LOCAL_MACHINE if it is not yet
// registered. True when the key exists or was created with both values. An
// existing key is neither read nor rewritten. Reports nothing.
bool EnsureEventSource(RegistryAccess& registry);

}  // namespace turnpike
