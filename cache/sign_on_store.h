// SignOnStore: where the filter keeps the sign-ons it has made, and finds
// them again.
//
// The request decision keeps a SignOn under a cookie value once its ticket
// is validated, and on later requests asks for the sign-on under the cookie
// value the browser brings back. Single logout removes a sign-on by the
// ticket it was validated with; a local logout removes it by its cookie
// value. The decision knows the store only through this interface, so a host
// can put its own behind it (the in-process CredentialsCache under IIS; a
// store that every Apache child process, or every server of a farm, sees).
//
// What callers may rely on, for every implementation:
//   - Cookie values and tickets are compared byte for byte: case-sensitive,
//     no trimming, no unescaping.
//   - A sign-on expires SessionTimeout minutes after SignOn::validated,
//     however often it is looked up; one exactly that old is expired. No
//     lookup ever answers an expired sign-on.
//   - Every answer is the caller's own copy; nothing the caller passes in
//     is kept beyond the call but copies.
//   - Nothing is an ordinary answer, never an error to the caller.
//     Implementations report their own trouble through event reporting, with
//     the texts of cache/cache_messages.h where a step has one.
//   - No exception leaves an operation, and every operation may be called
//     from any number of threads at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/sign_on.h"
#include "platform/clock.h"

namespace turnpike {

// The two settings a store reads, in whole minutes: a sign-on's lifetime,
// and the least time between two cleanings of a store that cleans.
struct CacheTimeouts {
  std::uint32_t SessionTimeout = 0;
  std::uint32_t CacheCleanTimeout = 0;
};

// True when `time` is `minutes` or more old at `now`: at or before
// now - minutes. The product cannot overflow (2^32 minutes is about 2^61
// units); when it exceeds `now` the threshold would lie before 1601, and the
// answer is false, so that a huge timeout means "never" rather than
// "immediately".
constexpr bool IsExpired(TimeValue time, std::uint32_t minutes, TimeValue now) noexcept {
  const TimeValue span = TimeValue{minutes} * kTicksPerMinute;
  if (span > now) return false;
  return time <= now - span;
}

class SignOnStore {
 public:
  virtual ~SignOnStore();

  // Keeps `sign_on`, replacing whatever its cookie value held. Answers the
  // cookie value to send (the ticket itself, or with opaque cookies a value
  // of cache/opaque_cookie.h that only the store knows to belong to the
  // ticket), or nothing when the caller must answer with an error.
  virtual std::optional<std::string> Store(const SignOn& sign_on) noexcept = 0;

  // The sign-on kept under `cookie` while it has not expired, or nothing,
  // after which the browser must log in again. Its ticket is left empty: a
  // signed-on request needs only the user and the attributes, and a copy
  // of the ticket would cost every such request an allocation. The
  // removals answer it.
  virtual std::optional<SignOn> Lookup(std::string_view cookie) noexcept = 0;

  // Single logout: removes the sign-on that `ticket` was validated for, and
  // answers it; nothing when none is kept (expired ones included).
  virtual std::optional<SignOn> RemoveByTicket(std::string_view ticket) noexcept = 0;

  // Local logout: removes the sign-on kept under `cookie`, and answers it;
  // nothing when none is kept. A store that keeps no ticket beside an
  // opaque cookie value (the shared store) answers it with an empty ticket.
  virtual std::optional<SignOn> RemoveByCookie(std::string_view cookie) noexcept = 0;

 protected:
  SignOnStore() = default;
  SignOnStore(const SignOnStore&) = default;
  SignOnStore& operator=(const SignOnStore&) = default;
};

}  // namespace turnpike
