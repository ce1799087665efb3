// CurlHttpRequest: HttpRequest over one libcurl easy handle, borrowed from a
// CurlHandlePool. Internal to the Linux validation layer; see
// curl_libxml2_validation.h for the policy.
#pragma once

#include <curl/curl.h>

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/curl_libxml2_validation.h"
#include "platform/validation_platform.h"

namespace turnpike {

// Easy handles kept between validations, so that the next one finds the
// connection to the CAS server open (and its TLS session agreed) instead of
// opening both again. A handle comes back reset to libcurl's defaults, so no
// option of one request (its URL, its body callback) reaches the next; what
// it keeps is only its open connections and its caches of TLS sessions and
// host names, none of which belongs to a user: no cookie is ever kept
// (the cookie engine is never switched on) and no credentials are sent.
// Every handle also shares one cache of TLS sessions and host names, so a
// handle that has not talked to the server yet resumes a session another
// handle agreed.
//
// At most `kIdleHandles` wait; more are closed as they come back. Take and
// Give are safe on any number of threads at once. A pool belongs to one
// process: the Apache parent builds it before it forks, empty, and never
// validates, so no child inherits a connection that another uses.
class CurlHandlePool {
 public:
  static constexpr std::size_t kIdleHandles = 64;

  // keep false: every handle is closed when it comes back and nothing is
  // shared, so each validation opens its own connection and TLS session
  // (for comparison in benchmarks).
  explicit CurlHandlePool(bool keep = true) noexcept;
  ~CurlHandlePool();
  CurlHandlePool(const CurlHandlePool&) = delete;
  CurlHandlePool& operator=(const CurlHandlePool&) = delete;

  // A waiting handle, or a new one; null when libcurl cannot give one.
  CURL* Take() noexcept;
  void Give(CURL* handle) noexcept;
  // Null when the share could not be made: handles then keep only their own
  // sessions.
  CURLSH* share() const noexcept { return share_; }

 private:
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* pool) noexcept;
  static void Unlock(CURL*, curl_lock_data data, void* pool) noexcept;

  const bool keep_;
  std::mutex mutex_;
  std::vector<CURL*> idle_;
  CURLSH* share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> shared_data_locks_;
};

class CurlHttpRequest final : public HttpRequest {
 public:
  // Null when libcurl cannot give a handle.
  static std::unique_ptr<CurlHttpRequest> Create(const CurlHttpSettings& settings, CurlHandlePool& pool);

  bool Get(const char* url) override;
  std::optional<NarrowText> ResponseText() override;

 private:
  struct GiveBack {
    CurlHandlePool* pool;
    void operator()(CURL* handle) const noexcept { pool->Give(handle); }
  };

  CurlHttpRequest(CURL* handle, CurlHandlePool& pool, const CurlHttpSettings& settings) noexcept
      : handle_(handle, GiveBack{&pool}), share_(pool.share()), settings_(settings) {}

  bool Configure(const char* url);
  bool TrustOnly(CURL* handle) const noexcept;
  static std::size_t OnBody(char* data, std::size_t size, std::size_t count,
                            void* self) noexcept;

  std::unique_ptr<CURL, GiveBack> handle_;
  CURLSH* share_;
  CurlHttpSettings settings_;
  std::string body_;
  bool received_ = false;
};

}  // namespace turnpike
