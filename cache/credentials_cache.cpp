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
// How far a store looks back from the young end for the place of its time.
// Request threads that validated a moment apart may store in either order;
// a time older than this many entries means the clock was set back.
constexpr int kOrderSearchSteps = 64;

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
  oldest_ = newest_ = nullptr;
  in_time_order_ = true;
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
  // The timestamp half comes first: it owns the text that the user half's
  // key views.
  auto time_entry = TimestampArtifactMap.find(hashed);
  const bool new_entry = time_entry == TimestampArtifactMap.end();
  if (new_entry) {
    try {
      time_entry = TimestampArtifactMap.emplace(std::string(token), TimestampArtifact{}).first;
    } catch (const std::bad_alloc&) {
      return std::nullopt;
    }
  }

  UserMap::iterator user_entry = UserArtifactMap.find(hashed);
  try {
    if (user_entry == UserArtifactMap.end()) {
      user_entry = UserArtifactMap.emplace(TokenView(time_entry->first), sign_on.user).first;
    } else {
      // assign allocates before it lets go of the old text, so a failure
      // leaves the entry whole with its previous sign-on and time.
      user_entry->second.assign(sign_on.user);
    }
  } catch (const std::bad_alloc&) {
    // A new timestamp half without its user could never be answered; it is
    // not linked yet, so it simply goes.
    if (new_entry) TimestampArtifactMap.erase(time_entry);
    return std::nullopt;
  }

  TimestampEntry& entry = *time_entry;
  if (!new_entry) Unlink(entry);
  entry.second.time = sign_on.validated;
  entry.second.extras = std::move(extras);
  Link(entry);

  if (opaque_cookies_ != nullptr) {
    try {
      TicketCookieMap.emplace(sign_on.ticket, opaque);
    } catch (const std::bad_alloc&) {
      // A sign-on that single logout could not find must not be kept.
      ExtractEntry(time_entry);
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

  if (in_time_order_) {
    // Everything behind the first unexpired entry is younger still.
    while (oldest_ != nullptr && IsExpired(oldest_->second.time, timeouts_.SessionTimeout, now)) {
      RemoveOldest();
    }
  } else {
    RemoveEveryExpired(now);
    SortByTime();
  }
  const std::size_t after = TimestampArtifactMap.size();

  char counts[kEventDetailSize];
  // The text is far below the buffer size; it cannot be cut.
  (void)BoundedFormat(counts, sizeof counts, kCleanCountsFormat, AsEventCount(before),
                      AsEventCount(after));
  Report(EventType::Warning, kCleaned, counts);
}

void CredentialsCache::RemoveEveryExpired(TimeValue now) {
  const std::uint32_t session_timeout = timeouts_.SessionTimeout;
  for (auto entry = TimestampArtifactMap.begin(); entry != TimestampArtifactMap.end();) {
    if (IsExpired(entry->second.time, session_timeout, now)) {
      entry = RemoveEntry(entry);
    } else {
      ++entry;
    }
  }
}

void CredentialsCache::SortByTime() noexcept {
  std::vector<TimestampEntry*> entries;
  try {
    entries.reserve(TimestampArtifactMap.size());
  } catch (const std::bad_alloc&) {
    // Still out of order: the next cleaning walks everything again.
    return;
  }
  for (TimestampEntry* entry = oldest_; entry != nullptr; entry = entry->second.newer) entries.push_back(entry);
  // Entries of one time expire together, so their order does not matter;
  // std::sort takes no memory of its own.
  std::sort(entries.begin(), entries.end(), [](const TimestampEntry* a, const TimestampEntry* b) {
    return a->second.time < b->second.time;
  });
  oldest_ = newest_ = nullptr;
  for (TimestampEntry* entry : entries) {
    entry->second.older = newest_;
    entry->second.newer = nullptr;
    (newest_ != nullptr ? newest_->second.newer : oldest_) = entry;
    newest_ = entry;
  }
  in_time_order_ = true;
}

void CredentialsCache::Link(TimestampEntry& entry) noexcept {
  // Behind the youngest entry whose time is not later than this one.
  TimestampEntry* before = newest_;
  for (int steps = 0; before != nullptr && before->second.time > entry.second.time; ++steps) {
    if (steps == kOrderSearchSteps) {
      before = newest_;
      in_time_order_ = false;
      break;
    }
    before = before->second.older;
  }
  TimestampEntry* after = before != nullptr ? before->second.newer : oldest_;
  entry.second.older = before;
  entry.second.newer = after;
  (before != nullptr ? before->second.newer : oldest_) = &entry;
  (after != nullptr ? after->second.older : newest_) = &entry;
}

void CredentialsCache::Unlink(TimestampEntry& entry) noexcept {
  TimestampArtifact& links = entry.second;
  (links.older != nullptr ? links.older->second.newer : oldest_) = links.newer;
  (links.newer != nullptr ? links.newer->second.older : newest_) = links.older;
  links.older = links.newer = nullptr;
}

CredentialsCache::TimestampMap::iterator CredentialsCache::RemoveEntry(
    TimestampMap::iterator entry) {
  const auto next = std::next(entry);
  ExtractEntry(entry);
  return next;
}

CredentialsCache::ExtractedEntry CredentialsCache::ExtractEntry(TimestampMap::iterator entry) {
  Unlink(*entry);
  return ExtractUserHalf(TimestampArtifactMap.extract(entry));
}

void CredentialsCache::RemoveOldest() {
  TimestampEntry& oldest = *oldest_;
  Unlink(oldest);
  // By its key: one walk of its bucket finds the node and the one before it.
  ExtractUserHalf(TimestampArtifactMap.extract(oldest.first));
}

CredentialsCache::ExtractedEntry CredentialsCache::ExtractUserHalf(TimestampMap::node_type time_half) {
  // Removal starts from the timestamp half, so that half is always there to
  // remove. The extracted node keeps its key alive, without a copy, for the
  // user-half removal and its report.
  // An opaque cookie's index entry goes with it, unless the ticket has been
  // stored again under another cookie value since.
  if (const EntryExtras* extras = time_half.mapped().extras.get(); extras != nullptr && !extras->ticket.empty()) {
    const auto index = TicketCookieMap.find(extras->ticket);
    if (index != TicketCookieMap.end() && index->second == time_half.key()) TicketCookieMap.erase(index);
  }
  UserMap::node_type user_half = UserArtifactMap.extract(TokenView(time_half.key()));
  ExtractedEntry removed{std::move(time_half), std::move(user_half)};
  if (removed.second.empty()) Report(EventType::Error, kUserHalfMissingOnDelete, removed.first.key().c_str());
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
