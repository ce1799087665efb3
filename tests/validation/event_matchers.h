// Shared pieces of the validation tests: an event reporter over a recording
// log, and the one event shape validation reports (type 1, category 0).
#pragma once

#include <string>
#include <vector>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {

inline RecordedEvent ErrorEvent(std::string message, std::string detail = "") {
  return RecordedEvent{EventSeverity::Error, 0, 1, std::move(message), std::move(detail)};
}

struct RecordingReporter {
  RecordingEventLog log;
  FilterSettings settings;
  EventReporter reporter{log, settings.Debug};
};

}  // namespace turnpike
