#include "cache/shared_sign_on_store.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "cache/cache_messages.h"
#include "cache/opaque_cookie.h"
#include "cache/sign_on_encoding.h"

namespace turnpike {
namespace {

// The in-process cache's texts, for the same steps.
using namespace cache_messages;

// This store's own trouble.
constexpr const char* kStoreFailed =
    "The Turnpike filter could not store a sign-on in the shared credentials cache:";
constexpr const char* kRetrieveFailed = "The Turnpike filter could not read the shared credentials cache:";
constexpr const char* kRemoveFailed =
    "The Turnpike filter could not remove an expired sign-on from the shared credentials cache:";
constexpr const char* kNotRemoved =
    "The Turnpike filter could not remove a sign-on from the shared credentials cache:";
constexpr const char* kLockFailed = "The Turnpike filter could not lock the shared credentials cache:";
constexpr const char* kUserTooLong =
    "The Turnpike filter cannot keep a user name this long in the shared credentials cache:";
constexpr const char* kSignOnTooLarge =
    "The Turnpike filter cannot keep a sign-on with this many attributes in the shared credentials cache:";
constexpr const char* kEntryUnreadable =
    "The Turnpike filter found an unreadable entry in the shared credentials cache for:";

// How much of an overlong user name an event shows.
constexpr std::size_t kUserShownInEvent = 256;
constexpr TimeValue kTicksPerMillisecond = 10'000;

std::string_view BytesOf(const SignOnKey& key) noexcept {
  return {reinterpret_cast<const char*>(key.data()), key.size()};
}

}  // namespace

ByteStore::~ByteStore() = default;

SharedSignOnStore::SharedSignOnStore(ByteStore& bytes, const Clock& clock) noexcept
    : bytes_(bytes), clock_(clock) {}

SharedSignOnStore::~SharedSignOnStore() = default;

void SharedSignOnStore::Attach(CacheTimeouts timeouts, const EventReporter& reporter,
                               RandomSource* opaque_cookies) noexcept {
  timeouts_ = timeouts;
  reporter_ = &reporter;
  opaque_cookies_ = opaque_cookies;
}

std::optional<std::string> SharedSignOnStore::Store(const SignOn& sign_on) noexcept {
  try {
    const std::string_view user = sign_on.user;
    if (user.size() > kMaxStoredUserLength) {
      Report(EventType::Error, kUserTooLong, user.substr(0, kUserShownInEvent));
      return std::nullopt;
    }
    const std::optional<std::string> value = EncodeSignOn(sign_on);
    if (!value) {
      Report(EventType::Error, kSignOnTooLarge, user.substr(0, kUserShownInEvent));
      return std::nullopt;
    }
    if (opaque_cookies_ != nullptr) return StoreOpaque(sign_on, *value);
    // The cookie value is the ticket.
    const SignOnKey key = SignOnKeyOf(sign_on.ticket);
    std::string failure;
    const ByteStoreStatus status = bytes_.Put(BytesOf(key), *value, LifetimeOf(sign_on.validated), failure);
    if (status != ByteStoreStatus::Ok) {
      ReportTrouble(status, kStoreFailed, failure);
      return std::nullopt;
    }
    Report(EventType::Information, kEntriesCreated, user);
    recent_.Remember(sign_on.ticket, sign_on);
    return sign_on.ticket;
  } catch (...) {
    // Only allocation can throw here; the caller answers with an error.
    return std::nullopt;
  }
}

// The sign-on under a random cookie value, then the ticket's index to it.
std::optional<std::string> SharedSignOnStore::StoreOpaque(const SignOn& sign_on, const std::string& value) {
  std::optional<std::string> cookie = NewOpaqueCookie(*opaque_cookies_);
  if (!cookie) {
    Report(EventType::Error, kNoRandomCookie, std::string_view(sign_on.user).substr(0, kUserShownInEvent));
    return std::nullopt;
  }
  const SignOnKey key = SignOnKeyOf(*cookie);
  const std::chrono::milliseconds lifetime = LifetimeOf(sign_on.validated);
  std::string failure;
  ByteStoreStatus status = bytes_.Put(BytesOf(key), value, lifetime, failure);
  if (status == ByteStoreStatus::Ok) {
    status = bytes_.Put(BytesOf(SignOnKeyOf(sign_on.ticket)), EncodeTicketIndex(key), lifetime, failure);
    // A sign-on that single logout could not find is not kept.
    std::string ignored;
    if (status != ByteStoreStatus::Ok) (void)bytes_.Remove(BytesOf(key), ignored);
  }
  if (status != ByteStoreStatus::Ok) {
    ReportTrouble(status, kStoreFailed, failure);
    return std::nullopt;
  }
  Report(EventType::Information, kEntriesCreated, sign_on.user);
  recent_.Remember(BytesOf(key), sign_on);
  return cookie;
}

std::optional<SignOn> SharedSignOnStore::Lookup(std::string_view cookie) noexcept {
  return Answer([this, cookie] { return LookupShared(cookie); });
}

std::optional<SignOn> SharedSignOnStore::RemoveByTicket(std::string_view ticket) noexcept {
  return Answer([this, ticket] { return RemoveTicket(ticket); });
}

std::optional<SignOn> SharedSignOnStore::RemoveByCookie(std::string_view cookie) noexcept {
  return Answer([this, cookie]() -> std::optional<SignOn> {
    if (opaque_cookies_ != nullptr) {
      if (!IsOpaqueCookie(cookie)) return std::nullopt;
      const SignOnKey key = SignOnKeyOf(cookie);
      return RemoveAt(key, BytesOf(key), cookie);
    }
    // The cookie value is the ticket.
    std::optional<SignOn> sign_on = RemoveAt(SignOnKeyOf(cookie), cookie, cookie);
    if (sign_on) sign_on->ticket.assign(cookie);
    return sign_on;
  });
}

// Only allocation can throw in `step`: the copy it could not make is
// reported, and the caller gets nothing.
template <typename Step>
std::optional<SignOn> SharedSignOnStore::Answer(Step step) const noexcept {
  try {
    return step();
  } catch (...) {
    Report(EventType::Error, kUserCopyFailed, {});
    return std::nullopt;
  }
}

std::optional<SignOn> SharedSignOnStore::LookupShared(std::string_view cookie) {
  const bool opaque = opaque_cookies_ != nullptr;
  if (opaque && !IsOpaqueCookie(cookie)) {
    Report(EventType::Information, kTokenNotHeld, cookie);
    return std::nullopt;
  }
  // With opaque cookies the short memory is keyed by the entry's key, the
  // one thing a removal by ticket learns of the cookie.
  std::optional<SignOnKey> opaque_key;
  if (opaque) opaque_key = SignOnKeyOf(cookie);
  const std::string_view recent_token = opaque ? BytesOf(*opaque_key) : cookie;
  // A sign-on this process confirmed a moment ago is answered without the
  // shared store and its lock; its expiry is judged as for any other.
  if (std::optional<SignOn> recent = recent_.Find(recent_token);
      recent && !IsExpired(recent->validated, timeouts_.SessionTimeout, clock_.Now())) {
    Report(EventType::Information, kTimestampFound, {});
    Report(EventType::Information, kUserFound, recent->user);
    return recent;
  }

  const SignOnKey key = opaque ? *opaque_key : SignOnKeyOf(cookie);
  std::string value;
  std::string failure;
  const ByteStoreStatus status = bytes_.Get(BytesOf(key), value, failure);
  if (status == ByteStoreStatus::NotFound) {
    Report(EventType::Information, kTokenNotHeld, cookie);
    return std::nullopt;
  }
  if (status != ByteStoreStatus::Ok) {
    ReportTrouble(status, kRetrieveFailed, failure);
    return std::nullopt;
  }
  std::optional<SignOn> sign_on = DecodeSignOn(value);
  if (!sign_on) {
    Report(EventType::Error, kEntryUnreadable, cookie);
    return std::nullopt;
  }
  Report(EventType::Information, kTimestampFound, {});

  if (IsExpired(sign_on->validated, timeouts_.SessionTimeout, clock_.Now())) {
    const ByteStoreStatus removed = bytes_.Remove(BytesOf(key), failure);
    // Another process may have removed it first, or the store forgot it in
    // between; only a store that could not be asked is trouble.
    if (removed != ByteStoreStatus::Ok && removed != ByteStoreStatus::NotFound) {
      ReportTrouble(removed, kRemoveFailed, failure);
    }
    return std::nullopt;
  }

  Report(EventType::Information, kUserFound, sign_on->user);
  recent_.Remember(recent_token, *sign_on);
  return sign_on;
}

// Single logout: the ticket's key holds the sign-on itself (the cookie value
// was the ticket) or, with opaque cookies, the index to it.
std::optional<SignOn> SharedSignOnStore::RemoveTicket(std::string_view ticket) {
  // Forgotten first, as for any removal: the memory's token when the cookie
  // value was the ticket.
  recent_.Forget(ticket);
  const SignOnKey ticket_key = SignOnKeyOf(ticket);
  std::string value;
  std::string failure;
  const ByteStoreStatus status = bytes_.Get(BytesOf(ticket_key), value, failure);
  if (status == ByteStoreStatus::NotFound) return std::nullopt;
  if (status != ByteStoreStatus::Ok) {
    ReportTrouble(status, kRetrieveFailed, failure);
    return std::nullopt;
  }
  std::optional<SignOn> sign_on;
  if (const std::optional<SignOnKey> entry = DecodeTicketIndex(value)) {
    sign_on = RemoveAt(*entry, BytesOf(*entry), ticket);
    const ByteStoreStatus removed = bytes_.Remove(BytesOf(ticket_key), failure);
    if (removed != ByteStoreStatus::Ok && removed != ByteStoreStatus::NotFound) {
      ReportTrouble(removed, kRemoveFailed, failure);
    }
  } else {
    sign_on = RemoveFetched(ticket_key, value, ticket);
  }
  if (sign_on) sign_on->ticket.assign(ticket);
  return sign_on;
}

std::optional<SignOn> SharedSignOnStore::RemoveAt(const SignOnKey& key, std::string_view recent,
                                                  std::string_view cookie) {
  // Forgotten first: from here on this process asks the shared store.
  recent_.Forget(recent);
  std::string value;
  std::string failure;
  const ByteStoreStatus status = bytes_.Get(BytesOf(key), value, failure);
  if (status == ByteStoreStatus::NotFound) return std::nullopt;
  if (status != ByteStoreStatus::Ok) {
    ReportTrouble(status, kRetrieveFailed, failure);
    return std::nullopt;
  }
  return RemoveFetched(key, value, cookie);
}

std::optional<SignOn> SharedSignOnStore::RemoveFetched(const SignOnKey& key, std::string_view value,
                                                       std::string_view cookie) {
  // An entry that cannot be read, or has expired, goes as well; only a
  // sign-on that was still good is answered.
  std::string failure;
  std::optional<SignOn> sign_on = DecodeSignOn(value);
  if (!sign_on) Report(EventType::Error, kEntryUnreadable, cookie);
  const bool good = sign_on && !IsExpired(sign_on->validated, timeouts_.SessionTimeout, clock_.Now());
  const ByteStoreStatus removed = bytes_.Remove(BytesOf(key), failure);
  if (removed != ByteStoreStatus::Ok && removed != ByteStoreStatus::NotFound) {
    ReportTrouble(removed, good ? kNotRemoved : kRemoveFailed, failure);
    return std::nullopt;
  }
  // Not found now: another process removed it in between, and answers it.
  if (!good || removed == ByteStoreStatus::NotFound) return std::nullopt;
  return sign_on;
}

// The moment the sign-on expires, as a lifetime from now, rounded up so that
// the store never forgets a sign-on before it expires.
std::chrono::milliseconds SharedSignOnStore::LifetimeOf(TimeValue validated) const noexcept {
  const TimeValue span = TimeValue{timeouts_.SessionTimeout} * kTicksPerMinute;
  const TimeValue end = validated > ~TimeValue{0} - span ? ~TimeValue{0} : validated + span;
  const TimeValue now = clock_.Now();
  const TimeValue left = end > now ? end - now : 0;
  const TimeValue milliseconds = left / kTicksPerMillisecond + (left % kTicksPerMillisecond != 0 ? 1 : 0);
  return std::max(std::chrono::milliseconds(static_cast<std::int64_t>(milliseconds)), kLeastStoreLifetime);
}

void SharedSignOnStore::Report(EventType type, const char* message, std::string_view detail) const noexcept {
  if (reporter_ != nullptr) reporter_->LogEventText(type, message, detail);
}

void SharedSignOnStore::ReportTrouble(ByteStoreStatus status, const char* message,
                                      const std::string& failure) const noexcept {
  Report(EventType::Error, status == ByteStoreStatus::LockFailed ? kLockFailed : message, failure);
}

}  // namespace turnpike
