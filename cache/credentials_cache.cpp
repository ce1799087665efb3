#include "cache/credentials_cache.h"

#include <algorithm>
#include <climits>
#include <new>
#include <utility>

#include "cache/cache_messages.h"
#include "common/bounded.h"

namespace turnpike {
namespace {

using namespace cache_messages;

constexpr const char* kCleanCountsFormat = "artifacts before: %i artifacts after: %i";
constexpr std::size_t kEventDetailSize = 4096;

// The summary prints counts as "%i"; no cache in one process comes near
// INT_MAX entries, but the conversion must stay defined if one did.
int AsEventCount(std::size_t count) noexcept {
  return static_cast<int>(std::min<std::size_t>(count, INT_MAX));
}

}  // namespace

CredentialsStore::~CredentialsStore() = default;
SignOnStore::~SignOnStore() = default;

CredentialsCache::CredentialsCache(const Clock& clock, CacheTimeouts timeouts,
                                   const EventReporter& reporter) noexcept
    : clock_(clock), timeouts_(timeouts), reporter_(reporter) {}

CredentialsCache::~CredentialsCache() = default;

void CredentialsCache::InitCredentialsCache() noexcept {
  std::lock_guard lock(mutex_);
  UserArtifactMap.clear();
  TimestampArtifactMap.clear();
  try {
    UserArtifactMap.reserve(kCredentialsCacheBuckets);
    TimestampArtifactMap.reserve(kCredentialsCacheBuckets);
  } catch (const std::bad_alloc&) {
    // A rehash that fails leaves the map as it was; it grows on demand.
  }
  LastCleanTime = clock_.Now();
}

std::optional<std::string> CredentialsCache::StoreCredentials(std::string_view token,
                                                              std::string_view user) noexcept {
  std::lock_guard lock(mutex_);
  const TimeValue now = clock_.Now();

  UserMap::iterator user_entry = UserArtifactMap.find(token);
  const bool new_user_entry = user_entry == UserArtifactMap.end();
  try {
    if (new_user_entry) {
      user_entry = UserArtifactMap.emplace(std::string(token), std::string(user)).first;
    } else {
      // assign allocates before it lets go of the old text, so a failure
      // leaves the entry whole with its previous user and time.
      user_entry->second.assign(user);
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }

  try {
    const auto time_entry = TimestampArtifactMap.find(token);
    if (time_entry != TimestampArtifactMap.end()) {
      time_entry->second = now;
    } else {
      TimestampArtifactMap.emplace(std::string(token), now);
    }
  } catch (const std::bad_alloc&) {
    // Without its time the entry could never expire or be cleaned; take the
    // user half out so the token is in neither map.
    UserArtifactMap.erase(user_entry);
    return std::nullopt;
  }

  Report(EventType::Information, kEntriesCreated, user_entry->second.c_str());

  try {
    return std::string(token);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<std::string> CredentialsCache::LookupCredentials(std::string_view token) noexcept {
  std::lock_guard lock(mutex_);
  // One reading serves the cleaning and the lookup, so both judge expiry at
  // the same instant and a cleaning of many entries reads the clock once.
  const TimeValue now = clock_.Now();
  CleanCredentialsCache(now);

  const auto time_entry = TimestampArtifactMap.find(token);
  if (time_entry == TimestampArtifactMap.end()) {
    Report(EventType::Information, kTokenNotHeld, token);
    return std::nullopt;
  }
  Report(EventType::Information, kTimestampFound, nullptr);

  if (IsExpired(time_entry->second, timeouts_.SessionTimeout, now)) {
    RemoveEntry(time_entry);
    return std::nullopt;
  }

  const auto user_entry = UserArtifactMap.find(token);
  if (user_entry == UserArtifactMap.end()) {
    Report(EventType::Information, kUserHalfMissingOnLookup, time_entry->first.c_str());
    return std::nullopt;
  }

  std::optional<std::string> user;
  try {
    user.emplace(user_entry->second);
  } catch (const std::bad_alloc&) {
    Report(EventType::Error, kUserCopyFailed, nullptr);
  }
  Report(EventType::Information, kUserFound, user ? user->c_str() : nullptr);
  return user;
}

void CredentialsCache::CleanCredentialsCache(TimeValue now) {
  if (!IsExpired(LastCleanTime, timeouts_.CacheCleanTimeout, now)) return;
  // Even a cleaning that finds nothing to do restarts the interval.
  LastCleanTime = now;

  const std::size_t before = TimestampArtifactMap.size();
  if (before == 0) {
    Report(EventType::Information, kEmptyWhileCleaning, nullptr);
    return;
  }

  const std::uint32_t session_timeout = timeouts_.SessionTimeout;
  for (auto entry = TimestampArtifactMap.begin(); entry != TimestampArtifactMap.end();) {
    if (IsExpired(entry->second, session_timeout, now)) {
      entry = RemoveEntry(entry);
    } else {
      ++entry;
    }
  }
  const std::size_t after = TimestampArtifactMap.size();

  char counts[kEventDetailSize];
  // The text is far below the buffer size; it cannot be cut.
  (void)BoundedFormat(counts, sizeof counts, kCleanCountsFormat, AsEventCount(before),
                      AsEventCount(after));
  Report(EventType::Warning, kCleaned, counts);
}

CredentialsCache::TimestampMap::iterator CredentialsCache::RemoveEntry(
    TimestampMap::iterator entry) {
  // Removal starts from the timestamp half, so that half is always there to
  // remove. Extracting the node keeps its key alive, without a copy, for the
  // user-half removal and its report.
  const auto next = std::next(entry);
  const TimestampMap::node_type removed = TimestampArtifactMap.extract(entry);
  const auto user_entry = UserArtifactMap.find(removed.key());
  if (user_entry == UserArtifactMap.end()) {
    Report(EventType::Error, kUserHalfMissingOnDelete, removed.key().c_str());
  } else {
    UserArtifactMap.erase(user_entry);
  }
  return next;
}

void CredentialsCache::Report(EventType type, const char* message,
                              const char* detail) const noexcept {
  reporter_.LogEvent(type, message, detail);
}

void CredentialsCache::Report(EventType type, const char* message,
                              std::string_view detail) const noexcept {
  reporter_.LogEventText(type, message, detail);
}

}  // namespace turnpike
