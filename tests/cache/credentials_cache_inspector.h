// CredentialsCacheInspector looks into both maps of a cache, and can break
// the both-or-neither rule on purpose to see how the cache copes.
// CacheUnderTest wires a cache to a fake clock and a recording event log.
// Step and RunSteps: a scenario of store calls and the answers they must give.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cache/credentials_cache.h"
#include "cache/sign_on_encoding.h"
#include "fakes/fake_byte_store.h"
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

struct Step {
  enum class Kind { Store, Refused, Lookup, ByTicket, ByCookie, Advance, Fail, Spoil, DropUser } kind;
  std::string ticket;
  std::optional<std::string> user = {};  // stored, or the answer
  TimeValue ticks = 0;
  std::optional<FakeByteStore::Failure> failure = {};
};
inline Step Store(std::string ticket, std::string user) { return {Step::Kind::Store, ticket, user}; }
inline Step Refused(std::string ticket, std::string user) { return {Step::Kind::Refused, ticket, user}; }
inline Step Lookup(std::string ticket, std::optional<std::string> answer = {}) { return {Step::Kind::Lookup, ticket, answer}; }
inline Step ByTicket(std::string ticket, std::optional<std::string> answer = {}) { return {Step::Kind::ByTicket, ticket, answer}; }
inline Step ByCookie(std::string ticket, std::optional<std::string> answer = {}) { return {Step::Kind::ByCookie, ticket, answer}; }
inline Step Advance(TimeValue ticks) { return {Step::Kind::Advance, "", {}, ticks}; }
inline Step Fail(FakeByteStore::Operation operation, ByteStoreStatus status) {
  return {Step::Kind::Fail, "", {}, 0, FakeByteStore::Failure{operation, status}};
}
inline Step Heal() { return {Step::Kind::Fail, ""}; }
inline Step Spoil(std::string ticket) { return {Step::Kind::Spoil, ticket}; }  // a value no release wrote
inline Step DropUser(std::string ticket) { return {Step::Kind::DropUser, ticket}; }

inline std::string KeyOf(std::string_view cookie) {
  const SignOnKey key = SignOnKeyOf(cookie);
  return {reinterpret_cast<const char*>(key.data()), key.size()};
}

// `store` is c's cache or a store on c's clock; `bytes`, where there is one, what it keeps.
inline void RunSteps(CacheUnderTest& c, SignOnStore& store, FakeByteStore* bytes, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    switch (step.kind) {
      case Step::Kind::Store: EXPECT_EQ(store.Store(c.SignOnOf(step.ticket, *step.user)), step.ticket); break;
      case Step::Kind::Refused: EXPECT_EQ(store.Store(c.SignOnOf(step.ticket, *step.user)), std::nullopt); break;
      case Step::Kind::Lookup: EXPECT_EQ(UserOf(store.Lookup(step.ticket)), step.user) << step.ticket; break;
      case Step::Kind::ByTicket: EXPECT_EQ(UserOf(store.RemoveByTicket(step.ticket)), step.user); break;
      case Step::Kind::ByCookie: EXPECT_EQ(UserOf(store.RemoveByCookie(step.ticket)), step.user); break;
      case Step::Kind::Advance: c.clock.Advance(step.ticks); break;
      case Step::Kind::Fail: bytes->failure = step.failure; break;
      case Step::Kind::Spoil: bytes->entries.at(KeyOf(step.ticket)).value = "\x03"; break;
      case Step::Kind::DropUser: c.inspect.DropUserHalf(step.ticket); break;
    }
  }
}

}  // namespace turnpike
