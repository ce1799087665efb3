#include "hosts/apache/socache_byte_store.h"

#include <array>
#include <cstring>
#include <limits>
#include <new>

#include "cache/sign_on_encoding.h"

namespace turnpike {
namespace {

// memcached reads a relative lifetime above 30 days as an absolute date.
constexpr std::chrono::milliseconds kMemcacheLongestLifetime = std::chrono::hours(30 * 24);

const unsigned char* IdOf(std::string_view key) noexcept {
  return reinterpret_cast<const unsigned char*>(key.data());
}

// The pool for one cache call's temporaries, cleared when the call ends.
// Each thread keeps one, made the first time it needs one, on an allocator of
// its own and outside the process's pool tree: a pool made and destroyed per
// call takes the global pool's and allocator's locks twice, on every lookup,
// which threads serving signed-on browsers would contend for. It holds
// nothing of any request.
class ScratchPool {
 public:
  ScratchPool() noexcept : pool_(ThisThreadsPool()) {}
  ~ScratchPool() {
    if (pool_ != nullptr) apr_pool_clear(pool_);
  }
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;
  apr_pool_t* get() const noexcept { return pool_; }

 private:
  struct Owner {
    apr_pool_t* pool = nullptr;
    ~Owner() {
      if (pool != nullptr) apr_pool_destroy(pool);  // and its allocator, which it owns
    }
  };

  static apr_pool_t* ThisThreadsPool() noexcept {
    thread_local Owner owner;
    if (owner.pool != nullptr) return owner.pool;
    apr_allocator_t* allocator = nullptr;
    if (apr_allocator_create(&allocator) != APR_SUCCESS) return nullptr;
    if (apr_pool_create_unmanaged_ex(&owner.pool, nullptr, allocator) != APR_SUCCESS) {
      apr_allocator_destroy(allocator);
      owner.pool = nullptr;
      return nullptr;
    }
    apr_allocator_owner_set(allocator, owner.pool);
    return owner.pool;
  }

  apr_pool_t* pool_;
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

SocacheByteStore::SocacheByteStore(const SocacheBinding& binding) noexcept
    : binding_(binding),
      capped_at_30_days_(binding.provider_name != nullptr &&
                         std::strcmp(binding.provider_name, "memcache") == 0) {}

SocacheByteStore::~SocacheByteStore() = default;

ByteStoreStatus SocacheByteStore::Put(std::string_view key, std::string_view value,
                                      std::chrono::milliseconds lifetime, std::string& failure) noexcept {
  if (capped_at_30_days_ && lifetime > kMemcacheLongestLifetime) lifetime = kMemcacheLongestLifetime;
  const apr_time_t now = apr_time_now();
  const std::chrono::microseconds ahead = lifetime;
  const apr_time_t expiry = ahead.count() > std::numeric_limits<apr_time_t>::max() - now
                                ? std::numeric_limits<apr_time_t>::max()
                                : now + ahead.count();
  const ByteStoreStatus status = Call(failure, [&](apr_pool_t* pool) {
    // The providers only read the value; their signature predates const.
    return binding_.provider->store(binding_.instance, binding_.server, IdOf(key),
                                    static_cast<unsigned int>(key.size()), expiry,
                                    reinterpret_cast<unsigned char*>(const_cast<char*>(value.data())),
                                    static_cast<unsigned int>(value.size()), pool);
  });
  return status == ByteStoreStatus::NotFound ? Trouble(APR_NOTFOUND, failure) : status;
}

ByteStoreStatus SocacheByteStore::Get(std::string_view key, std::string& value, std::string& failure) noexcept {
  std::array<unsigned char, kMaxEncodedSignOnSize> data;
  unsigned int size = static_cast<unsigned int>(data.size());
  const ByteStoreStatus status = Call(failure, [&](apr_pool_t* pool) {
    return binding_.provider->retrieve(binding_.instance, binding_.server, IdOf(key),
                                       static_cast<unsigned int>(key.size()), data.data(), &size, pool);
  });
  if (status != ByteStoreStatus::Ok) return status;
  try {
    value.assign(reinterpret_cast<const char*>(data.data()), size);
  } catch (const std::bad_alloc&) {
    return Trouble(APR_ENOMEM, failure);
  }
  return ByteStoreStatus::Ok;
}

ByteStoreStatus SocacheByteStore::Remove(std::string_view key, std::string& failure) noexcept {
  return Call(failure, [&](apr_pool_t* pool) {
    return binding_.provider->remove(binding_.instance, binding_.server, IdOf(key),
                                     static_cast<unsigned int>(key.size()), pool);
  });
}

// One provider call, with a pool for its temporaries and, for a provider
// unfit for threads, under the global mutex.
template <typename ProviderCall>
ByteStoreStatus SocacheByteStore::Call(std::string& failure, ProviderCall call) const noexcept {
  ScratchPool pool;
  if (pool.get() == nullptr) return Trouble(APR_ENOMEM, failure);
  apr_status_t status;
  {
    CacheLock lock(binding_.mutex != nullptr ? *binding_.mutex : nullptr);
    if (lock.status() != APR_SUCCESS) {
      Trouble(lock.status(), failure);
      return ByteStoreStatus::LockFailed;
    }
    status = call(pool.get());
  }
  if (status == APR_NOTFOUND) return ByteStoreStatus::NotFound;
  return status == APR_SUCCESS ? ByteStoreStatus::Ok : Trouble(status, failure);
}

ByteStoreStatus SocacheByteStore::Trouble(apr_status_t status, std::string& failure) const noexcept {
  char reason[256];
  apr_strerror(status, reason, sizeof reason);
  char detail[768];
  apr_snprintf(detail, sizeof detail, "%s: %s (status %d)%s%s",
               binding_.provider_name != nullptr ? binding_.provider_name : "?", reason, status,
               binding_.provider_arguments != nullptr ? " at " : "",
               binding_.provider_arguments != nullptr ? binding_.provider_arguments : "");
  try {
    failure = detail;
  } catch (const std::bad_alloc&) {
    // The event then goes without its detail; the failure itself is kept.
  }
  return ByteStoreStatus::Failed;
}

}  // namespace turnpike
