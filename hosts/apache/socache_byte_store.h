// SocacheByteStore: the bytes of the shared sign-ons in Apache's shared
// object cache (mod_socache), so that every child process, and with memcache
// or redis every server of a farm, sees them. SharedSignOnStore decides what
// they mean; this adapter only calls the provider.
//
// What callers may rely on (the ByteStore contract):
//   - A lifetime becomes the provider's absolute expiry, from APR's clock.
//     memcached reads a lifetime above 30 days as a date, so for memcache
//     it is capped at 30 days, which then also bounds the sign-on.
//   - A failure's text names the provider as configured, APR's reason, the
//     status and the provider's arguments, which for memcache and redis are
//     the servers' addresses: "memcache: Connection refused (status 111) at
//     cache1.example.org:11211".
//   - Nothing survives a restart of Apache with shmcb (the segment is made
//     anew), but does with memcache and redis. A full shmcb cache makes room
//     by dropping its oldest entries.
//
// Ownership and lifetime: provider, instance and mutex belong to the module,
// which keeps them for the configuration generation; the server is borrowed.
//
// Threads: every operation may run on any number of threads and processes
// at once. Providers that say they are not fit for that
// (AP_SOCACHE_FLAG_NOTMPSAFE, such as shmcb) are used only under the global
// mutex, held for one cache call.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "cache/byte_store.h"
#include "hosts/apache/apache_headers.h"

namespace turnpike {

// The consumer name under which the module's entries live in the cache
// (at most 16 characters; shmcb and the network caches put it in names).
inline constexpr const char* kSocacheName = "turnpike";

struct SocacheBinding {
  const ap_socache_provider_t* provider = nullptr;
  const char* provider_name = nullptr;  // as configured: "shmcb", "memcache", ...
  ap_socache_instance_t* instance = nullptr;
  // The module's mutex variable, null inside when the provider needs none.
  // Read at every use: a child process re-attaches the mutex at its start.
  apr_global_mutex_t* const* mutex = nullptr;
  server_rec* server = nullptr;         // for the provider's own logging
  // The provider's arguments as configured (memcached's or Redis's
  // addresses), named in every failure; null: none.
  const char* provider_arguments = nullptr;
};

class SocacheByteStore final : public ByteStore {
 public:
  explicit SocacheByteStore(const SocacheBinding& binding) noexcept;
  SocacheByteStore(const SocacheByteStore&) = delete;
  SocacheByteStore& operator=(const SocacheByteStore&) = delete;
  ~SocacheByteStore() override;

  ByteStoreStatus Put(std::string_view key, std::string_view value, std::chrono::milliseconds lifetime,
                      std::string& failure) noexcept override;
  ByteStoreStatus Get(std::string_view key, std::string& value, std::string& failure) noexcept override;
  ByteStoreStatus Remove(std::string_view key, std::string& failure) noexcept override;

 private:
  template <typename ProviderCall>
  ByteStoreStatus Call(std::string& failure, ProviderCall call) const noexcept;
  ByteStoreStatus Trouble(apr_status_t status, std::string& failure) const noexcept;

  SocacheBinding binding_;
  bool capped_at_30_days_ = false;
};

}  // namespace turnpike
