// CredentialsCacheInspector looks into both maps of a cache, and can break
// the both-or-neither rule on purpose to see how the cache copes.
// CacheUnderTest wires a cache to a fake clock and a recording event log.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cache/credentials_cache.h"
#include "fakes/fake_clock.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {

class CredentialsCacheInspector {
 public:
  struct Entry {  // a half missing from its map is absent
    std::optional<std::string> user;
    std::optional<TimeValue> time;
    bool operator==(const Entry&) const = default;
  };

  explicit CredentialsCacheInspector(CredentialsCache& cache) : cache_(cache) {}

  std::map<std::string, Entry> Entries() const {
    std::lock_guard lock(cache_.mutex_);
    std::map<std::string, Entry> entries;
    for (const auto& [token, user] : cache_.UserArtifactMap) entries[token].user = user;
    for (const auto& [token, time] : cache_.TimestampArtifactMap) entries[token].time = time.time;
    return entries;
  }

  void DropUserHalf(const std::string& token) {
    std::lock_guard lock(cache_.mutex_);
    cache_.UserArtifactMap.erase(token);
  }

 private:
  CredentialsCache& cache_;
};

using Event = std::tuple<std::uint32_t, std::string, std::string>;  // type, message, detail

// The texts every store reports for the same steps.
inline constexpr const char* kCreated = "The Turnpike filter created authentication map entries for:";
inline constexpr const char* kNotHeld = "The Turnpike filter was unable to look up an authentication record for: ";
inline constexpr const char* kFound = "The Turnpike filter has retrieved the timestamp artifact from the Auth map.:";
inline constexpr const char* kUnexpired =
    "The Turnpike filter has determined the timestamp artifact is unexpired, setting user id:";
inline constexpr TimeValue kMinute = kTicksPerMinute;
inline constexpr std::uint32_t kNever = 0xFFFFFFFF;  // reaches back before 1601

inline std::optional<std::string> UserOf(std::optional<SignOn> sign_on) {
  return sign_on ? std::optional(std::move(sign_on->user)) : std::nullopt;
}

struct CacheUnderTest {
  CacheUnderTest(std::uint32_t session_timeout, std::uint32_t clean_timeout, std::uint32_t debug_setting)
      : debug(debug_setting), cache{clock, CacheTimeouts{session_timeout, clean_timeout}, reporter} {
    cache.InitCredentialsCache();
  }
  // The sign-on the decision would store for `ticket` now.
  SignOn SignOnOf(std::string ticket, std::string user) const { return {std::move(user), {}, std::move(ticket), clock.Now()}; }
  std::optional<std::string> Store(std::string ticket, std::string user) {
    return cache.Store(SignOnOf(std::move(ticket), std::move(user)));
  }
  std::optional<std::string> LookupUser(std::string_view cookie) { return UserOf(cache.Lookup(cookie)); }
  std::vector<Event> Events() {
    std::vector<Event> events;
    for (const RecordedEvent& e : log.TakeEvents()) events.emplace_back(e.event_id, e.message, e.detail);
    return events;
  }

  FakeClock clock;
  std::uint32_t debug;
  RecordingEventLog log;
  EventReporter reporter{log, debug};
  CredentialsCache cache;
  CredentialsCacheInspector inspect{cache};
};

}  // namespace turnpike
