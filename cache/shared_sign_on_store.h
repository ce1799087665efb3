// SharedSignOnStore: the sign-ons kept in a store that other processes, and
// other servers of a farm, share (a ByteStore: Apache's shared object cache,
// memcached, Redis), so that each accepts a cookie that any one of them set.
//
// What callers may rely on (the SignOnStore contract, as the in-process
// CredentialsCache keeps it):
//   - A sign-on lives under SignOnKeyOf(cookie value), the cookie value
//     being the ticket, in the encoding of cache/sign_on_encoding.h: the
//     shared store never holds a usable cookie value or ticket, and entries
//     that earlier releases wrote are read.
//   - With opaque cookies (Attach given a RandomSource) the cookie value is
//     128 random bits (cache/opaque_cookie.h) and the ticket's key holds a
//     ticket index, the key of the sign-on's entry, with the same lifetime:
//     single logout finds the sign-on by its ticket in any process. Only
//     values of the opaque form are accepted as cookies, so a ticket read
//     from a log is no cookie. A removal by cookie leaves the index to
//     expire (it then points at nothing) and answers the sign-on without
//     its ticket, which the shared store does not keep. The short memory
//     below is then keyed by the entry's key, so that a removal by ticket
//     forgets it too.
//   - A sign-on expires SessionTimeout minutes after its validation time,
//     judged here with the filter's clock; one exactly that old is expired.
//     The lifetime handed to the byte store is that same moment, at least
//     two seconds ahead; it only lets the store forget the entry.
//   - Storing the same ticket again replaces the sign-on.
//   - The lookup's events are the in-process cache's where they apply: token
//     not held, entry retrieved, unexpired (setting user id). There is no
//     cleaning and no cleaning event: the byte store forgets entries by
//     itself.
//   - Trouble with the byte store (unreachable, an entry too large, a lock
//     that fails) and entries it cannot read are reported as error events
//     (the byte store's text names the provider and its status) and
//     answered with nothing: a lookup then sends the browser to log in, a
//     store makes the request decision answer with an error (a cookie the
//     store does not hold would only bring the browser back through the
//     login page in a loop), a removal leaves the sign-on to expire.
//
// Each process remembers the sign-ons it has just stored or confirmed for
// kRecentSignOnTime (RecentSignOns), so that a signed-on browser's requests
// do not all queue on the shared store's lock; expiry is still judged by
// the validation time, and a removal here forgets it at once. Another
// process accepts a sign-on removed here for up to kRecentSignOnTime more.
//
// What it does not do: no size limit of its own beyond the encoding's; no
// cleaning; nothing kept in this process but that short memory.
//
// Ownership: the byte store and the clock are borrowed and must outlive
// this store, and so must the reporter handed to Attach.
//
// Threads: every operation may run on any number of threads at once, once
// Attach has run; Attach runs once, before the first request.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "cache/byte_store.h"
#include "cache/recent_sign_ons.h"
#include "cache/sign_on_encoding.h"
#include "cache/sign_on_store.h"
#include "eventlog/event_reporter.h"
#include "platform/clock.h"
#include "platform/random_source.h"

namespace turnpike {

// How long a process answers a sign-on it has just seen in the shared store
// without asking the store again, and how many it remembers: a second is
// enough for the requests one page load brings, and short against any
// session.
inline constexpr TimeValue kRecentSignOnTime = 10'000'000;  // one second
inline constexpr std::size_t kRecentSignOnCount = 10'000;

// The least lifetime handed to a byte store: memcached refuses one less than
// a whole second ahead, shmcb would drop the entry at once.
inline constexpr std::chrono::milliseconds kLeastStoreLifetime{2000};

class SharedSignOnStore final : public SignOnStore {
 public:
  SharedSignOnStore(ByteStore& bytes, const Clock& clock) noexcept;
  SharedSignOnStore(const SharedSignOnStore&) = delete;
  SharedSignOnStore& operator=(const SharedSignOnStore&) = delete;
  ~SharedSignOnStore() override;

  // The time-outs the settings hold and the filter's reporter, once they are
  // loaded and before the first request. Until then every sign-on counts as
  // expired and nothing is reported.
  // `opaque_cookies`: where the random cookie values come from, borrowed
  // like the clock; null: the cookie value is the ticket.
  void Attach(CacheTimeouts timeouts, const EventReporter& reporter, RandomSource* opaque_cookies = nullptr) noexcept;

  std::optional<std::string> Store(const SignOn& sign_on) noexcept override;
  std::optional<SignOn> Lookup(std::string_view cookie) noexcept override;
  std::optional<SignOn> RemoveByTicket(std::string_view ticket) noexcept override;
  std::optional<SignOn> RemoveByCookie(std::string_view cookie) noexcept override;

 private:
  template <typename Step>
  std::optional<SignOn> Answer(Step step) const noexcept;
  std::optional<SignOn> LookupShared(std::string_view cookie);
  std::optional<std::string> StoreOpaque(const SignOn& sign_on, const std::string& value);
  // Removes the entry under `key`, forgetting `recent` (its token in the
  // short memory); answers the sign-on without its ticket. `cookie` names
  // the entry in events.
  std::optional<SignOn> RemoveAt(const SignOnKey& key, std::string_view recent, std::string_view cookie);
  // The rest of RemoveAt, once `value` has been read from under `key`.
  std::optional<SignOn> RemoveFetched(const SignOnKey& key, std::string_view value, std::string_view cookie);
  std::optional<SignOn> RemoveTicket(std::string_view ticket);
  std::chrono::milliseconds LifetimeOf(TimeValue validated) const noexcept;
  void Report(EventType type, const char* message, std::string_view detail) const noexcept;
  void ReportTrouble(ByteStoreStatus status, const char* message, const std::string& failure) const noexcept;

  ByteStore& bytes_;
  const Clock& clock_;
  CacheTimeouts timeouts_;
  const EventReporter* reporter_ = nullptr;
  RandomSource* opaque_cookies_ = nullptr;
  RecentSignOns recent_{clock_, kRecentSignOnTime, kRecentSignOnCount};
};

}  // namespace turnpike
