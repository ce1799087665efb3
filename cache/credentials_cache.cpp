#include "cache/credentials_cache.h"

#include <algorithm>
#include <climits>
#include <new>
#include <utility>

#include "cache/cache_messages.h"
#include "cache/opaque_cookie.h"
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

SignOnStore::~SignOnStore() = default;

CredentialsCache::CredentialsCache(const Clock& clock, CacheTimeouts timeouts,
                                   const EventReporter& reporter, RandomSource* opaque_cookies) noexcept
    : clock_(clock), timeouts_(timeouts), reporter_(reporter), opaque_cookies_(opaque_cookies) {}

CredentialsCache::~CredentialsCache() = default;

void CredentialsCache::InitCredentialsCache() noexcept {
  std::lock_guard lock(mutex_);
  UserArtifactMap.clear();
  TimestampArtifactMap.clear();
  TicketCookieMap.clear();
  try {
    UserArtifactMap.reserve(kCredentialsCacheBuckets);
    TimestampArtifactMap.reserve(kCredentialsCacheBuckets);
  } catch (const std::bad_alloc&) {
    // A rehash that fails leaves the map as it was; it grows on demand.
  }
  LastCleanTime = clock_.Now();
}

std::optional<std::string> CredentialsCache::Store(const SignOn& sign_on) noexcept {
  // Made before the lock, which other requests wait for: the opaque cookie
  // value, and the copy of the attributes (most sign-ons have none).
  std::string opaque;
  std::unique_ptr<EntryExtras> extras;
  try {
    if (opaque_cookies_ != nullptr) {
      std::optional<std::string> made = NewOpaqueCookie(*opaque_cookies_);
      if (!made) {
        Report(EventType::Error, kNoRandomCookie, sign_on.user.c_str());
        return std::nullopt;
      }
      opaque = std::move(*made);
    }
    if (!sign_on.attributes.empty() || opaque_cookies_ != nullptr) {
      extras = std::make_unique<EntryExtras>(
          EntryExtras{sign_on.attributes, opaque_cookies_ != nullptr ? sign_on.ticket : std::string()});
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  const std::string_view token = opaque_cookies_ != nullptr ? std::string_view(opaque) : sign_on.ticket;

  const HashedToken hashed{token, TokenHash{}(token)};
  std::lock_guard lock(mutex_);
  if (opaque_cookies_ != nullptr) {
    // Storing a ticket again replaces its sign-on, as under its own name:
    // the earlier cookie value goes with it.
    const auto earlier = TicketCookieMap.find(sign_on.ticket);
    if (earlier != TicketCookieMap.end()) {
      const auto entry = TimestampArtifactMap.find(earlier->second);
      if (entry != TimestampArtifactMap.end()) {
        RemoveEntry(entry);
      } else {
        TicketCookieMap.erase(earlier);
      }
    }
  }
  UserMap::iterator user_entry = UserArtifactMap.find(hashed);
  const bool new_user_entry = user_entry == UserArtifactMap.end();
  try {
    if (new_user_entry) {
      user_entry = UserArtifactMap.emplace(std::string(token), sign_on.user).first;
    } else {
      // assign allocates before it lets go of the old text, so a failure
      // leaves the entry whole with its previous sign-on and time.
      user_entry->second.assign(sign_on.user);
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }

  try {
    const auto time_entry = TimestampArtifactMap.find(hashed);
    if (time_entry != TimestampArtifactMap.end()) {
      time_entry->second = TimestampArtifact{sign_on.validated, std::move(extras)};
    } else {
      TimestampArtifactMap.emplace(std::string(token), TimestampArtifact{sign_on.validated, std::move(extras)});
    }
  } catch (const std::bad_alloc&) {
    // Without its time the entry could never expire or be cleaned; take the
    // user half out so the token is in neither map.
    UserArtifactMap.erase(user_entry);
    return std::nullopt;
  }

  if (opaque_cookies_ != nullptr) {
    try {
      TicketCookieMap.emplace(sign_on.ticket, opaque);
    } catch (const std::bad_alloc&) {
      // A sign-on that single logout could not find must not be kept.
      ExtractEntry(TimestampArtifactMap.find(hashed));
      return std::nullopt;
    }
  }

  Report(EventType::Information, kEntriesCreated, user_entry->second.c_str());

  if (opaque_cookies_ != nullptr) return opaque;
  try {
    return std::string(token);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

std::optional<SignOn> CredentialsCache::Lookup(std::string_view cookie) noexcept {
  std::lock_guard lock(mutex_);
  // One reading serves the cleaning and the lookup, so both judge expiry at
  // the same instant and a cleaning of many entries reads the clock once.
  const TimeValue now = clock_.Now();
  CleanCredentialsCache(now);

  const HashedToken token{cookie, TokenHash{}(cookie)};
  const auto time_entry = TimestampArtifactMap.find(token);
  if (time_entry == TimestampArtifactMap.end()) {
    Report(EventType::Information, kTokenNotHeld, cookie);
    return std::nullopt;
  }
  Report(EventType::Information, kTimestampFound, nullptr);

  const TimestampArtifact& found = time_entry->second;
  if (IsExpired(found.time, timeouts_.SessionTimeout, now)) {
    RemoveEntry(time_entry);
    return std::nullopt;
  }

  const auto user_entry = UserArtifactMap.find(token);
  if (user_entry == UserArtifactMap.end()) {
    Report(EventType::Information, kUserHalfMissingOnLookup, time_entry->first.c_str());
    return std::nullopt;
  }

  // The copies are made first, so that what can fail fails before the
  // answer is built; the answer is then built in the caller's place, with
  // no move of the record.
  std::string user;
  std::vector<SignOnAttribute> attributes;
  try {
    user = user_entry->second;
    if (found.extras) attributes = found.extras->attributes;
  } catch (const std::bad_alloc&) {
    Report(EventType::Error, kUserCopyFailed, nullptr);
    Report(EventType::Information, kUserFound, nullptr);
    return std::nullopt;
  }
  Report(EventType::Information, kUserFound, user.c_str());
  return SignOn{std::move(user), std::move(attributes), std::string(), found.time};
}

std::optional<SignOn> CredentialsCache::RemoveByTicket(std::string_view ticket) noexcept {
  if (opaque_cookies_ == nullptr) return Remove(ticket);
  std::lock_guard lock(mutex_);
  const auto index = TicketCookieMap.find(ticket);
  if (index == TicketCookieMap.end()) return std::nullopt;
  // The removal erases the index entry that holds this text: a copy on the
  // stack, so that nothing is allocated.
  char cookie[kOpaqueCookieLength];
  if (index->second.size() != sizeof cookie) return std::nullopt;
  std::copy(index->second.begin(), index->second.end(), cookie);
  return RemoveHeld(std::string_view(cookie, sizeof cookie));
}

std::optional<SignOn> CredentialsCache::RemoveByCookie(std::string_view cookie) noexcept {
  return Remove(cookie);
}

std::optional<SignOn> CredentialsCache::Remove(std::string_view cookie) noexcept {
  std::lock_guard lock(mutex_);
  return RemoveHeld(cookie);
}

std::optional<SignOn> CredentialsCache::RemoveHeld(std::string_view cookie) noexcept {
  const auto time_entry = TimestampArtifactMap.find(cookie);
  if (time_entry == TimestampArtifactMap.end()) return std::nullopt;
  const bool expired = IsExpired(time_entry->second.time, timeouts_.SessionTimeout, clock_.Now());
  auto [time_half, user_half] = ExtractEntry(time_entry);
  if (expired || user_half.empty()) return std::nullopt;
  // Moved out of the nodes: nothing is allocated, nothing can fail.
  TimestampArtifact& time = time_half.mapped();
  SignOn sign_on;
  sign_on.user = std::move(user_half.mapped());
  if (time.extras) sign_on.attributes = std::move(time.extras->attributes);
  sign_on.ticket = opaque_cookies_ != nullptr && time.extras ? std::move(time.extras->ticket)
                                                             : std::move(time_half.key());
  sign_on.validated = time.time;
  return sign_on;
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
    if (IsExpired(entry->second.time, session_timeout, now)) {
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
  const auto next = std::next(entry);
  ExtractEntry(entry);
  return next;
}

CredentialsCache::ExtractedEntry CredentialsCache::ExtractEntry(TimestampMap::iterator entry) {
  // Removal starts from the timestamp half, so that half is always there to
  // remove. Extracting the node keeps its key alive, without a copy, for the
  // user-half removal and its report.
  ExtractedEntry removed{TimestampArtifactMap.extract(entry), UserMap::node_type{}};
  // An opaque cookie's index entry goes with it, unless the ticket has been
  // stored again under another cookie value since.
  if (const EntryExtras* extras = removed.first.mapped().extras.get(); extras != nullptr && !extras->ticket.empty()) {
    const auto index = TicketCookieMap.find(extras->ticket);
    if (index != TicketCookieMap.end() && index->second == removed.first.key()) TicketCookieMap.erase(index);
  }
  const auto user_entry = UserArtifactMap.find(removed.first.key());
  if (user_entry == UserArtifactMap.end()) {
    Report(EventType::Error, kUserHalfMissingOnDelete, removed.first.key().c_str());
  } else {
    removed.second = UserArtifactMap.extract(user_entry);
  }
  return removed;
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
