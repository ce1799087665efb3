// Shared pieces of the validation tests: an event reporter over a recording
// log, the one event shape validation reports (type 1, category 0), and the
// user of a sign-on and of a whole validation.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/sign_on.h"
#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "fakes/fake_clock.h"
#include "platform/memory/recording_event_log.h"
#include "validation/validate_ticket.h"

namespace turnpike {

inline RecordedEvent ErrorEvent(std::string message, std::string detail = "") {
  return RecordedEvent{EventSeverity::Error, 0, 1, std::move(message), std::move(detail)};
}

struct RecordingReporter {
  RecordingEventLog log;
  FilterSettings settings;
  EventReporter reporter{log, settings.Debug};
};

inline std::optional<std::string> UserOf(const std::optional<SignOn>& sign_on) {
  return sign_on ? std::optional<std::string>(sign_on->user) : std::nullopt;
}

inline std::optional<std::string> ValidatedUser(const std::string& url,
                                                ValidationPlatform& platform,
                                                const EventReporter& reporter) {
  return UserOf(ValidateTicket(url.c_str(), "ST", platform, FakeClock(), reporter).sign_on);
}

}  // namespace turnpike
