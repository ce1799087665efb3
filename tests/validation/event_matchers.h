// Shared pieces of the validation tests: an event reporter over a recording
// log, the one event shape validation reports (type 1, category 0), the user
// of a sign-on and of a whole validation, and a ticket from the test CAS
// server.
#pragma once

#include <cstdio>
#include <memory>
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

// A ticket for `user` and `escaped_service` from the control endpoint of the
// test CAS server at `cas_url`; "" when there is none.
inline std::string IssueTicket(ValidationPlatform& platform, const std::string& cas_url,
                               const std::string& escaped_service, const std::string& user) {
  std::string url = cas_url + "/_ticket?service=" + escaped_service + "&username=";
  for (const char byte : user) {  // names with blanks, or beyond ASCII
    char escaped[4];
    std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(byte));
    url += escaped;
  }
  const std::unique_ptr<ValidationSession> session = platform.Begin();
  const std::unique_ptr<HttpRequest> request = session ? session->CreateHttpRequest() : nullptr;
  if (!request || !request->Get(url.c_str())) return "";
  return request->ResponseText().value_or(NarrowText{}).text;
}

}  // namespace turnpike
