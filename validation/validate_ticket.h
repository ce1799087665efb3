// ValidateTicket: asks the CAS server whom a service ticket belongs to.
//
// `validation_url` is the complete validation URL, already formed and escaped
// by the caller ("<server>/<path>?service=<service>&ticket=<ticket>", at most
// 2082 bytes) and owned by it. The URL is fetched with one synchronous GET on
// the calling thread; the answer is read as CAS 2.0 XML when it is well-formed
// XML and as CAS 1.0 text otherwise (ParseCasAnswer in cas_response.h). The
// result is the user name the server vouches for, or nothing; on nothing the
// caller treats the ticket as not validated.
//
// Everything the call uses is created and released inside it, on the calling
// thread, so any number of validations may run at once. Failures of the
// platform are reported as error events; the answer's own faults are reported
// by the parsers (cas_response.h). No exception leaves the call.
//
// Deliberately not done: no retry, no time-out of its own (the platform's
// apply), no look at the HTTP status, no caching of answers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "eventlog/event_reporter.h"
#include "platform/validation_platform.h"

namespace turnpike {

// On nothing, `why`, when given, receives a short account of the cause for
// an administrator: that the CAS server could not be reached, or the
// answer it gave (its first kWhyAnswerLength bytes).
std::optional<std::string> ValidateTicket(const char* validation_url, ValidationPlatform& platform,
                                          const EventReporter& reporter,
                                          std::string* why = nullptr) noexcept;

inline constexpr std::size_t kWhyAnswerLength = 1000;

}  // namespace turnpike
