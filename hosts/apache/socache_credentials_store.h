// SocacheCredentialsStore: sign-ons kept in Apache's shared object cache
// (mod_socache), so that every child process, and with memcache or redis
// every server of a farm, accepts a cookie that any one of them set.
//
// What callers may rely on (the CredentialsStore contract, as the in-process
// CredentialsCache keeps it):
//   - Tokens are compared byte for byte. The cache id is the token's SHA-1
//     digest: every token, however long, makes an id of the same small size
//     (memcache keys are limited), and the shared cache, which other
//     machines may read, never holds a usable cookie value. Two tokens would
//     meet only through a SHA-1 second preimage.
//   - The value holds the user name and the time of the sign-on (a version
//     byte, the 64-bit creation time little-endian, then the user's bytes), so
//     processes and machines of either byte order read it alike.
//   - An entry expires `SessionTimeout` minutes after it was created; using
//     the cookie does not extend it, and one exactly that old is expired. The
//     lookup judges the creation time itself with the filter's clock; the
//     expiry handed to the cache (the same moment, at least two seconds
//     ahead so that no provider refuses it as past) only lets the cache
//     forget the entry. memcached reads a lifetime above 30 days as a date,
//     so for it the cache's expiry is capped at 30 days, which then also
//     bounds the sign-on.
//   - Storing a token again replaces its user and its time.
//   - The lookup's events are the in-process cache's, where they apply:
//     token not held, entry retrieved, unexpired (setting user id). There is
//     no cleaning and no cleaning event: the cache expires entries by itself.
//   - Trouble with the cache (unreachable memcached or redis, an entry too
//     large, a lock that fails) is reported as an error event naming the
//     provider and its status, and answered with nothing: a lookup then sends
//     the browser to log in, a store makes the request decision answer with
//     an error (a cookie the cache does not hold would only bring the browser
//     back through the login page in a loop).
//
// Each process remembers the sign-ons it has just stored or confirmed for
// kRecentSignOnTime (RecentSignOns), so that a signed-on browser's requests
// do not all queue on the shared cache's lock; expiry is still judged by the
// creation time.
//
// What it does not do: no size limit of its own beyond kMaxStoredUserLength;
// a full shmcb cache makes room by dropping its oldest entries, whose
// browsers are then sent to log in again (a process that confirmed such a
// sign-on within the last second still accepts it until that second ends). Nothing survives a restart of
// Apache with shmcb (the segment is made anew), but does with memcache and
// redis.
//
// Ownership and lifetime: provider, instance and mutex belong to the module,
// which keeps them for the configuration generation; the server, the clock,
// and what Attach hands over are borrowed and must outlive the store.
//
// Threads: both operations may run on any number of threads and processes
// at once. Providers that say they are not (AP_SOCACHE_FLAG_NOTMPSAFE, such
// as shmcb) are used only under the global mutex, held for one cache call, or
// for the lookup's read-then-remove of an expired entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cache/credentials_store.h"
#include "cache/recent_sign_ons.h"
#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "hosts/apache/apache_headers.h"
#include "platform/clock.h"

namespace turnpike {

// How long a process answers a sign-on it has just seen in the shared cache
// without asking the cache again, and how many it remembers: a second is
// enough for the requests one page load brings, and short against any
// session.
inline constexpr TimeValue kRecentSignOnTime = 10'000'000;  // one second
inline constexpr std::size_t kRecentSignOnCount = 10'000;

// The longest user name the store keeps; CAS user names are far shorter.
inline constexpr std::size_t kMaxStoredUserLength = 4096;
// The consumer name under which the module's entries live in the cache
// (at most 16 characters; shmcb and the network caches put it in names).
inline constexpr const char* kSocacheName = "turnpike";

struct SocacheBinding {
  const ap_socache_provider_t* provider = nullptr;
  const char* provider_name = nullptr;  // as configured: "shmcb", "memcache", ...
  ap_socache_instance_t* instance = nullptr;
  // The module's mutex variable, null inside when the provider needs none.
  // Read at every use: a child process re-attaches the mutex at its start.
  apr_global_mutex_t* const* mutex = nullptr;
  server_rec* server = nullptr;         // for the provider's own logging
};

class SocacheCredentialsStore final : public CredentialsStore {
 public:
  SocacheCredentialsStore(const SocacheBinding& binding, const Clock& clock) noexcept;
  SocacheCredentialsStore(const SocacheCredentialsStore&) = delete;
  SocacheCredentialsStore& operator=(const SocacheCredentialsStore&) = delete;
  ~SocacheCredentialsStore() override;

  // The filter's settings (SessionTimeout, Debug) and its reporter. Called
  // once, after the filter is built and before it starts: the filter owns
  // both, and is itself built with this store.
  void Attach(const FilterSettings& settings, const EventReporter& reporter) noexcept;

  std::optional<std::string> StoreCredentials(std::string_view token,
                                              std::string_view user) noexcept override;
  std::optional<std::string> LookupCredentials(std::string_view token) noexcept override;

 private:
  std::optional<std::string> Store(std::string_view token, std::string_view user);
  std::optional<std::string> Lookup(std::string_view token);
  void Report(EventType type, const char* message, std::string_view detail) const noexcept;
  void ReportCacheTrouble(const char* message, apr_status_t status) const noexcept;

  SocacheBinding binding_;
  const Clock& clock_;
  const FilterSettings* settings_ = nullptr;
  const EventReporter* reporter_ = nullptr;
  bool capped_at_30_days_ = false;
  RecentSignOns recent_{clock_, kRecentSignOnTime, kRecentSignOnCount};
};

}  // namespace turnpike
