#include "cache/shared_sign_on_store.h"

#include <algorithm>
#include <cstdint>
#include <new>

#include "cache/cache_messages.h"
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

void SharedSignOnStore::Attach(CacheTimeouts timeouts, const EventReporter& reporter) noexcept {
  timeouts_ = timeouts;
  reporter_ = &reporter;
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

std::optional<SignOn> SharedSignOnStore::Lookup(std::string_view cookie) noexcept {
  return Answer([this, cookie] { return LookupShared(cookie); });
}

std::optional<SignOn> SharedSignOnStore::RemoveByTicket(std::string_view ticket) noexcept {
  // The cookie value is the ticket, so one key finds the sign-on by both.
  return RemoveByCookie(ticket);
}

std::optional<SignOn> SharedSignOnStore::RemoveByCookie(std::string_view cookie) noexcept {
  return Answer([this, cookie] { return Remove(cookie); });
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
  // A sign-on this process confirmed a moment ago is answered without the
  // shared store and its lock; its expiry is judged as for any other.
  if (std::optional<SignOn> recent = recent_.Find(cookie);
      recent && !IsExpired(recent->validated, timeouts_.SessionTimeout, clock_.Now())) {
    Report(EventType::Information, kTimestampFound, {});
    Report(EventType::Information, kUserFound, recent->user);
    return recent;
  }

  const SignOnKey key = SignOnKeyOf(cookie);
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
  recent_.Remember(cookie, *sign_on);
  return sign_on;
}

std::optional<SignOn> SharedSignOnStore::Remove(std::string_view cookie) {
  // Forgotten first: from here on this process asks the shared store.
  recent_.Forget(cookie);
  const SignOnKey key = SignOnKeyOf(cookie);
  std::string value;
  std::string failure;
  const ByteStoreStatus status = bytes_.Get(BytesOf(key), value, failure);
  if (status == ByteStoreStatus::NotFound) return std::nullopt;
  if (status != ByteStoreStatus::Ok) {
    ReportTrouble(status, kRetrieveFailed, failure);
    return std::nullopt;
  }
  // An entry that cannot be read, or has expired, goes as well; only a
  // sign-on that was still good is answered.
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
  sign_on->ticket.assign(cookie);
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
