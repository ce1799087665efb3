#include "hosts/apache/socache_credentials_store.h"

#include <array>
#include <climits>
#include <cstring>
#include <new>

#include "cache/cache_messages.h"
#include "cache/credentials_cache.h"
#include "hosts/apache/apache_event_log.h"
#include "platform/posix/system_clock.h"

namespace turnpike {
namespace {

// The in-process cache's texts, for the same steps.
using namespace cache_messages;

// This store's own trouble.
constexpr const char* kStoreFailed =
    "The Turnpike filter could not store a sign-on in the shared credentials cache:";
constexpr const char* kRetrieveFailed =
    "The Turnpike filter could not read the shared credentials cache:";
constexpr const char* kRemoveFailed =
    "The Turnpike filter could not remove an expired sign-on from the shared credentials cache:";
constexpr const char* kLockFailed =
    "The Turnpike filter could not lock the shared credentials cache:";
constexpr const char* kUserTooLong =
    "The Turnpike filter cannot keep a user name this long in the shared credentials cache:";
constexpr const char* kEntryUnreadable =
    "The Turnpike filter found an unreadable entry in the shared credentials cache for:";

constexpr unsigned char kValueVersion = 1;
constexpr std::size_t kValueHeaderSize = 1 + 8;
constexpr std::size_t kMaxValueSize = kValueHeaderSize + kMaxStoredUserLength;

constexpr apr_time_t kMicrosecondsPerMinute = APR_INT64_C(60) * APR_USEC_PER_SEC;
// No provider may be handed an expiry it already counts as past: memcache
// refuses one less than a whole second ahead, shmcb would drop the entry at
// once. Two seconds clear both; the lookup judges expiry itself anyway.
constexpr apr_time_t kLeastCacheLifetime = 2 * APR_USEC_PER_SEC;
// memcached reads a relative lifetime above 30 days as an absolute date.
constexpr apr_time_t kMemcacheLongestLifetime = APR_INT64_C(30) * 24 * 60 * kMicrosecondsPerMinute;

using CacheId = std::array<unsigned char, APR_SHA1_DIGESTSIZE>;

CacheId IdOf(std::string_view token) noexcept {
  apr_sha1_ctx_t context;
  apr_sha1_init(&context);
  // apr_sha1_update_binary takes an unsigned int length; a cookie value is
  // far below that, but a longer view is hashed in pieces all the same.
  const auto* bytes = reinterpret_cast<const unsigned char*>(token.data());
  std::size_t left = token.size();
  while (left > 0) {
    const unsigned int piece = left > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(left);
    apr_sha1_update_binary(&context, bytes, piece);
    bytes += piece;
    left -= piece;
  }
  CacheId id{};
  apr_sha1_final(id.data(), &context);
  return id;
}

std::string EncodeSignOn(TimeValue created, std::string_view user) {
  std::string value;
  value.reserve(kValueHeaderSize + user.size());
  value.push_back(static_cast<char>(kValueVersion));
  for (int shift = 0; shift < 64; shift += 8) {
    value.push_back(static_cast<char>((created >> shift) & 0xFF));
  }
  value.append(user);
  return value;
}

bool DecodeSignOn(const unsigned char* data, std::size_t size, TimeValue& created,
                  std::string_view& user) noexcept {
  if (size < kValueHeaderSize || data[0] != kValueVersion) return false;
  created = 0;
  for (int byte = 7; byte >= 0; --byte) {
    created = (created << 8) | data[1 + byte];
  }
  user = std::string_view(reinterpret_cast<const char*>(data) + kValueHeaderSize,
                          size - kValueHeaderSize);
  return true;
}

// The filter's time value as APR's: microseconds since 1970.
apr_time_t AprTimeOf(TimeValue value) noexcept {
  if (value <= kUnixEpochAsTimeValue) return 0;
  return static_cast<apr_time_t>((value - kUnixEpochAsTimeValue) / 10);
}

// The pool for one cache call's temporaries. Within a request being
// filtered on this thread it is that request's pool, which Apache clears
// when the request ends; only outside one is a pool made for the call and
// destroyed after it. A pool of its own takes the process's global pool and
// allocator locks to make and again to destroy, on every lookup, which
// threads serving signed-on browsers would contend for.
class TemporaryPool {
 public:
  TemporaryPool() noexcept {
    if (const request_rec* request = FilteredRequest(); request != nullptr) {
      pool_ = request->pool;
    } else if (apr_pool_create(&own_, nullptr) == APR_SUCCESS) {
      pool_ = own_;
    }
  }
  ~TemporaryPool() {
    if (own_ != nullptr) apr_pool_destroy(own_);
  }
  TemporaryPool(const TemporaryPool&) = delete;
  TemporaryPool& operator=(const TemporaryPool&) = delete;
  apr_pool_t* get() const noexcept { return pool_; }

 private:
  apr_pool_t* pool_ = nullptr;
  apr_pool_t* own_ = nullptr;
};

// Holds the global mutex, when there is one, for its lifetime.
class CacheLock {
 public:
  explicit CacheLock(apr_global_mutex_t* mutex) noexcept : mutex_(mutex) {
    status_ = mutex_ != nullptr ? apr_global_mutex_lock(mutex_) : APR_SUCCESS;
  }
  ~CacheLock() {
    if (mutex_ != nullptr && status_ == APR_SUCCESS) apr_global_mutex_unlock(mutex_);
  }
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;
  apr_status_t status() const noexcept { return status_; }

 private:
  apr_global_mutex_t* mutex_;
  apr_status_t status_;
};

}  // namespace

SocacheCredentialsStore::SocacheCredentialsStore(const SocacheBinding& binding,
                                                 const Clock& clock) noexcept
    : binding_(binding),
      clock_(clock),
      capped_at_30_days_(binding.provider_name != nullptr &&
                         std::strcmp(binding.provider_name, "memcache") == 0) {}

SocacheCredentialsStore::~SocacheCredentialsStore() = default;

void SocacheCredentialsStore::Attach(const FilterSettings& settings,
                                     const EventReporter& reporter) noexcept {
  settings_ = &settings;
  reporter_ = &reporter;
}

std::optional<std::string> SocacheCredentialsStore::StoreCredentials(
    std::string_view token, std::string_view user) noexcept {
  try {
    return Store(token, user);
  } catch (...) {
    // Only allocation can throw here; the caller answers with an error.
    return std::nullopt;
  }
}

std::optional<std::string> SocacheCredentialsStore::LookupCredentials(
    std::string_view token) noexcept {
  try {
    return Lookup(token);
  } catch (const std::bad_alloc&) {
    Report(EventType::Error, kUserCopyFailed, {});
    return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<std::string> SocacheCredentialsStore::Store(std::string_view token,
                                                          std::string_view user) {
  if (user.size() > kMaxStoredUserLength) {
    Report(EventType::Error, kUserTooLong, user.substr(0, 256));
    return std::nullopt;
  }
  const TimeValue created = clock_.Now();
  std::string value = EncodeSignOn(created, user);

  const apr_time_t now = apr_time_now();
  apr_time_t expiry = AprTimeOf(created) +
                      static_cast<apr_time_t>(settings_->SessionTimeout) * kMicrosecondsPerMinute;
  if (expiry < now + kLeastCacheLifetime) expiry = now + kLeastCacheLifetime;
  if (capped_at_30_days_ && expiry > now + kMemcacheLongestLifetime) {
    expiry = now + kMemcacheLongestLifetime;
  }

  const CacheId id = IdOf(token);
  TemporaryPool pool;
  if (pool.get() == nullptr) {
    ReportCacheTrouble(kStoreFailed, APR_ENOMEM);
    return std::nullopt;
  }
  apr_status_t status;
  {
    CacheLock lock(binding_.mutex != nullptr ? *binding_.mutex : nullptr);
    if (lock.status() != APR_SUCCESS) {
      ReportCacheTrouble(kLockFailed, lock.status());
      return std::nullopt;
    }
    status = binding_.provider->store(binding_.instance, binding_.server, id.data(),
                                      static_cast<unsigned int>(id.size()), expiry,
                                      reinterpret_cast<unsigned char*>(value.data()),
                                      static_cast<unsigned int>(value.size()), pool.get());
  }
  if (status != APR_SUCCESS) {
    ReportCacheTrouble(kStoreFailed, status);
    return std::nullopt;
  }
  Report(EventType::Information, kEntriesCreated, user);
  recent_.Remember(token, SignOn{std::string(user), {}, {}, created});
  return std::string(token);
}

std::optional<std::string> SocacheCredentialsStore::Lookup(std::string_view token) {
  // A sign-on this process confirmed a moment ago is answered without the
  // shared cache and its lock; its expiry is judged as for any other.
  if (std::optional<SignOn> recent = recent_.Find(token);
      recent && !IsExpired(recent->validated, settings_->SessionTimeout, clock_.Now())) {
    Report(EventType::Information, kTimestampFound, {});
    Report(EventType::Information, kUserFound, recent->user);
    return std::move(recent->user);
  }

  const CacheId id = IdOf(token);
  TemporaryPool pool;
  if (pool.get() == nullptr) {
    ReportCacheTrouble(kRetrieveFailed, APR_ENOMEM);
    return std::nullopt;
  }
  std::array<unsigned char, kMaxValueSize> data;
  unsigned int size = static_cast<unsigned int>(data.size());

  CacheLock lock(binding_.mutex != nullptr ? *binding_.mutex : nullptr);
  if (lock.status() != APR_SUCCESS) {
    ReportCacheTrouble(kLockFailed, lock.status());
    return std::nullopt;
  }
  const apr_status_t status =
      binding_.provider->retrieve(binding_.instance, binding_.server, id.data(),
                                  static_cast<unsigned int>(id.size()), data.data(), &size, pool.get());
  if (status == APR_NOTFOUND) {
    Report(EventType::Information, kTokenNotHeld, token);
    return std::nullopt;
  }
  if (status != APR_SUCCESS) {
    ReportCacheTrouble(kRetrieveFailed, status);
    return std::nullopt;
  }

  TimeValue created = 0;
  std::string_view user;
  if (!DecodeSignOn(data.data(), size, created, user)) {
    Report(EventType::Error, kEntryUnreadable, token);
    return std::nullopt;
  }
  Report(EventType::Information, kTimestampFound, {});

  if (IsExpired(created, settings_->SessionTimeout, clock_.Now())) {
    const apr_status_t removed = binding_.provider->remove(
        binding_.instance, binding_.server, id.data(), static_cast<unsigned int>(id.size()),
        pool.get());
    // Another process may have removed it first, or the cache expired it in
    // between; only a cache that could not be asked is trouble.
    if (removed != APR_SUCCESS && removed != APR_NOTFOUND) {
      ReportCacheTrouble(kRemoveFailed, removed);
    }
    return std::nullopt;
  }

  std::string copy(user);
  Report(EventType::Information, kUserFound, copy);
  recent_.Remember(token, SignOn{copy, {}, {}, created});
  return copy;
}

void SocacheCredentialsStore::Report(EventType type, const char* message,
                                     std::string_view detail) const noexcept {
  if (reporter_ != nullptr) reporter_->LogEventText(type, message, detail);
}

void SocacheCredentialsStore::ReportCacheTrouble(const char* message,
                                                 apr_status_t status) const noexcept {
  char reason[256];
  apr_strerror(status, reason, sizeof reason);
  char detail[512];
  apr_snprintf(detail, sizeof detail, "%s: %s (status %d)",
               binding_.provider_name != nullptr ? binding_.provider_name : "?", reason, status);
  Report(EventType::Error, message, detail);
}

}  // namespace turnpike
