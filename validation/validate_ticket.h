// ValidateTicket: asks the CAS server whom a service ticket belongs to.
//
// Two steps, which a host may run apart: FetchValidation sends the GET and
// keeps what came back, ParseValidation reads that into a sign-on.
// ValidateTicket runs both back to back on the calling thread.
//
// `validation_url` is the complete validation URL, already formed and escaped
// by the caller ("<server>/<path>?service=<service>&ticket=<ticket>", at most
// 2082 bytes) and owned by it. The URL is fetched with one synchronous GET;
// the answer is read as CAS 2.0 XML when it is well-formed XML and as CAS 1.0
// text otherwise (ParseCasAnswer in cas_response.h). The outcome is the
// sign-on the server vouches for, with the ticket and the time of the
// validation, or nothing and why; on nothing the caller treats the ticket as
// not validated.
//
// Threads: everything a validation uses is created for it alone, so any
// number may run at once. On Linux the fetched answer keeps nothing of the
// fetching thread: it may be moved to another thread and parsed there (a
// host that must not block its event loop fetches on a worker and parses
// back on the loop). On Windows both steps must run on the same thread: the
// fetched answer holds COM objects of that thread's apartment.
//
// Failures of the platform are reported as error events; the answer's own
// faults are reported by the parsers (cas_response.h). No exception leaves
// any of the calls.
//
// Deliberately not done: no retry, no time-out of its own (the platform's
// apply), no look at the HTTP status, no caching of answers.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/sign_on.h"
#include "eventlog/event_reporter.h"
#include "platform/clock.h"
#include "platform/validation_platform.h"

namespace turnpike {

// What a validation found. On nothing, `why` is a short account of the cause
// for an administrator: that the validation could not be prepared, that the
// CAS server could not be reached or its answer read, or the answer it gave
// (its first kWhyAnswerLength bytes). Empty on a sign-on, and when the call
// could not even start.
struct ValidationOutcome {
  std::optional<SignOn> sign_on;
  std::string why;
};

inline constexpr std::size_t kWhyAnswerLength = 1000;

// The CAS server's answer as the platform received it, or why there is
// none, between FetchValidation and ParseValidation. It owns the platform's
// objects of the validation until the parse is done with them, and releases
// the HTTP request before the session it came from. Move-constructible only
// (an assignment would release the old session before its request): keep
// it in a std::optional and emplace it where it must wait.
class FetchedValidation {
 public:
  FetchedValidation() noexcept = default;
  FetchedValidation(FetchedValidation&&) noexcept = default;
  FetchedValidation& operator=(FetchedValidation&&) = delete;
  FetchedValidation(const FetchedValidation&) = delete;
  FetchedValidation& operator=(const FetchedValidation&) = delete;
  ~FetchedValidation() = default;

 private:
  friend FetchedValidation FetchValidation(const char*, ValidationPlatform&,
                                           const EventReporter&) noexcept;
  friend ValidationOutcome ParseValidation(FetchedValidation, std::string_view, const Clock&,
                                           const EventReporter&) noexcept;

  // Declared first so that it ends last.
  std::unique_ptr<ValidationSession> session_;
  std::unique_ptr<HttpRequest> request_;  // null: nothing was received
  std::string why_;
};

// Prepares the validation and sends the GET; a failure is reported here
// and carried to the parse, which only gives its cause back.
FetchedValidation FetchValidation(const char* validation_url, ValidationPlatform& platform,
                                  const EventReporter& reporter) noexcept;

// Reads what `fetched` received into the outcome; a sign-on gets `ticket`
// and the clock's time.
ValidationOutcome ParseValidation(FetchedValidation fetched, std::string_view ticket,
                                  const Clock& clock, const EventReporter& reporter) noexcept;

// FetchValidation, then ParseValidation.
ValidationOutcome ValidateTicket(const char* validation_url, std::string_view ticket,
                                 ValidationPlatform& platform, const Clock& clock,
                                 const EventReporter& reporter) noexcept;

}  // namespace turnpike
