// CredentialsCache: the sign-ons of this process, kept in its memory.
//
// Two hash maps keyed by the ticket: `UserArtifactMap` (ticket to user name)
// and `TimestampArtifactMap` (ticket to the time the ticket was validated).
// An entry lives `SessionTimeout` minutes from its creation; using the cookie
// does not extend it. Expired entries are removed when a lookup meets them,
// and by a cleaning that every lookup starts with, at most once per
// `CacheCleanTimeout` minutes.
//
// What callers may rely on:
//   - A token is in both maps or in neither, also after a failed allocation.
//   - An entry exactly `SessionTimeout` minutes old is expired; with 0 every
//     entry is expired as soon as it exists. A lookup never returns the user
//     of an expired entry, even one that no cleaning has removed yet.
//   - Storing a token that is already held replaces its user and its time;
//     one entry remains.
//   - A stored empty user name comes back as "", not as nothing.
//   - With Debug 0 a lookup allocates nothing but the copy of the user name
//     it returns (so nothing when it returns nothing): the ticket is found
//     through its view, without a temporary key.
//   - Timeouts so large that "now minus the timeout" would fall before
//     1601-01-01 mean "never": an entry under such a `SessionTimeout` never
//     expires, and under such a `CacheCleanTimeout` no cleaning runs.
//   - Every event reported here goes through the EventReporter: information
//     events only while Debug is non-zero, the cleaning summary (a warning)
//     always.
//
// What it deliberately does not do:
//   - No size limit, no eviction, no logout: an entry leaves only by
//     expiring. A process that gets no cookie lookups never cleans.
//   - Nothing is persisted or shared with other processes.
//   - No cleaning when storing, and no thread or timer of its own.
//   - The hash is std::hash without a per-process seed. Keys are only tickets
//     that the CAS server has just validated, never a value a browser chose,
//     so nobody outside can crowd one bucket.
//
// Memory: when an entry cannot be allocated, the half already made is taken
// out again, an existing entry keeps its old user and time, and the store
// answers nothing (the request decision reports that and answers with an
// error). When the returned copy of the token cannot be made the entry stays.
// When the copy of a user name cannot be made the lookup reports it and
// answers nothing; the entry stays.
//
// Ownership: the cache owns its copies of tokens and user names; the caller
// owns every returned string. The clock and the reporter are borrowed and
// must outlive the cache; the two time-outs are its own copy.
//
// Threads: StoreCredentials and LookupCredentials may run on any number of
// threads at once. One non-recursive mutex guards both maps and the time of
// the last cleaning; each store and each lookup holds it for its whole run,
// the lookup's cleaning included, and events are reported while it is held.
// A due cleaning walks every entry under the lock, so it delays every other
// request for that long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "cache/credentials_store.h"
#include "cache/sign_on_store.h"
#include "eventlog/event_reporter.h"
#include "platform/clock.h"

namespace turnpike {

// The bucket count each map starts with (the standard library may round it
// up); the maps grow beyond it as needed.
inline constexpr std::size_t kCredentialsCacheBuckets = 1024;

class CredentialsCache final : public CredentialsStore {
 public:
  CredentialsCache(const Clock& clock, CacheTimeouts timeouts, const EventReporter& reporter) noexcept;
  CredentialsCache(const CredentialsCache&) = delete;
  CredentialsCache& operator=(const CredentialsCache&) = delete;
  ~CredentialsCache() override;

  // Empties both maps, gives each its starting buckets and takes now as the
  // time of the last cleaning, so the first cleaning comes due
  // `CacheCleanTimeout` minutes from here. Called once at start-up, after
  // the settings are loaded. If the buckets cannot be allocated the maps
  // start smaller and grow as usual.
  void InitCredentialsCache() noexcept;

  std::optional<std::string> StoreCredentials(std::string_view token,
                                              std::string_view user) noexcept override;
  std::optional<std::string> LookupCredentials(std::string_view token) noexcept override;

 private:
  friend class CredentialsCacheInspector;  // tests look at both maps

  // Lets a std::string_view find a std::string key without building one.
  struct TokenHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view token) const noexcept {
      return std::hash<std::string_view>{}(token);
    }
  };
  using UserMap = std::unordered_map<std::string, std::string, TokenHash, std::equal_to<>>;
  using TimestampMap = std::unordered_map<std::string, TimeValue, TokenHash, std::equal_to<>>;

  // Both run with mutex_ held.
  void CleanCredentialsCache(TimeValue now);
  TimestampMap::iterator RemoveEntry(TimestampMap::iterator entry);

  void Report(EventType type, const char* message, const char* detail) const noexcept;
  void Report(EventType type, const char* message, std::string_view detail) const noexcept;

  const Clock& clock_;
  const CacheTimeouts timeouts_;
  const EventReporter& reporter_;

  std::mutex mutex_;
  UserMap UserArtifactMap;
  TimestampMap TimestampArtifactMap;
  TimeValue LastCleanTime = 0;
};

}  // namespace turnpike
