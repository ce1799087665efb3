#include "platform/posix/curl_http_request.h"

#include <new>
#include <string_view>

#include "common/ascii.h"

namespace turnpike {
namespace {

template <typename Value>
bool SetOption(CURL* handle, CURLoption option, Value value) noexcept {
  return curl_easy_setopt(handle, option, value) == CURLE_OK;
}

bool IsHttpsUrl(const char* url) noexcept {
  const std::string_view text(url);
  return text.size() >= 6 && AsciiEqualsIgnoreCase(text.substr(0, 6), "https:");
}

}  // namespace

CurlHandlePool::CurlHandlePool(bool keep) noexcept : keep_(keep) {
  if (!keep_) return;
  share_ = curl_share_init();
  if (share_ == nullptr) return;
  const bool shared = curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CurlHandlePool::Lock) == CURLSHE_OK &&
                      curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CurlHandlePool::Unlock) == CURLSHE_OK &&
                      curl_share_setopt(share_, CURLSHOPT_USERDATA, static_cast<void*>(this)) == CURLSHE_OK &&
                      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK &&
                      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) == CURLSHE_OK;
  if (!shared) {
    curl_share_cleanup(share_);
    share_ = nullptr;
  }
}

CurlHandlePool::~CurlHandlePool() {
  // The handles first: each still belongs to the share.
  for (CURL* handle : idle_) curl_easy_cleanup(handle);
  if (share_ != nullptr) curl_share_cleanup(share_);
}

CURL* CurlHandlePool::Take() noexcept {
  {
    std::lock_guard lock(mutex_);
    if (!idle_.empty()) {
      CURL* handle = idle_.back();
      idle_.pop_back();
      return handle;
    }
  }
  return curl_easy_init();
}

void CurlHandlePool::Give(CURL* handle) noexcept {
  if (handle == nullptr) return;
  // Back to libcurl's defaults: nothing of this request's options stays.
  // The live connections and the session caches stay; that is the point.
  curl_easy_reset(handle);
  {
    std::lock_guard lock(mutex_);
    if (keep_ && idle_.size() < kIdleHandles) {
      try {
        idle_.push_back(handle);
        return;
      } catch (const std::bad_alloc&) {
        // Closed below instead.
      }
    }
  }
  curl_easy_cleanup(handle);
}

void CurlHandlePool::Lock(CURL*, curl_lock_data data, curl_lock_access, void* pool) noexcept {
  static_cast<CurlHandlePool*>(pool)->shared_data_locks_[static_cast<std::size_t>(data)].lock();
}

void CurlHandlePool::Unlock(CURL*, curl_lock_data data, void* pool) noexcept {
  static_cast<CurlHandlePool*>(pool)->shared_data_locks_[static_cast<std::size_t>(data)].unlock();
}

std::unique_ptr<CurlHttpRequest> CurlHttpRequest::Create(const CurlHttpSettings& settings, CurlHandlePool& pool) {
  CURL* handle = pool.Take();
  if (handle == nullptr) return nullptr;
  std::unique_ptr<CurlHttpRequest> request(new (std::nothrow) CurlHttpRequest(handle, pool, settings));
  if (request == nullptr) pool.Give(handle);
  return request;
}

bool CurlHttpRequest::Configure(const char* url) {
  CURL* handle = handle_.get();
  // Once an exchange started over TLS, a redirect may not leave it.
  const char* redirect_protocols = IsHttpsUrl(url) ? "https" : "http,https";
  const long max_body = static_cast<long>(settings_.max_response_bytes);
  // A handle from the pool comes reset, so every option the exchange relies
  // on is set here, each time.
  return (share_ == nullptr || SetOption(handle, CURLOPT_SHARE, share_)) &&
         SetOption(handle, CURLOPT_URL, url) &&
         SetOption(handle, CURLOPT_HTTPGET, 1L) &&
         SetOption(handle, CURLOPT_PROTOCOLS_STR, "http,https") &&
         SetOption(handle, CURLOPT_REDIR_PROTOCOLS_STR, redirect_protocols) &&
         SetOption(handle, CURLOPT_FOLLOWLOCATION, 1L) &&
         SetOption(handle, CURLOPT_MAXREDIRS, settings_.max_redirects) &&
         // Request threads must not get signals for DNS time-outs.
         SetOption(handle, CURLOPT_NOSIGNAL, 1L) &&
         SetOption(handle, CURLOPT_CONNECTTIMEOUT_MS,
                   static_cast<long>(settings_.connect_timeout.count())) &&
         SetOption(handle, CURLOPT_TIMEOUT_MS,
                   static_cast<long>(settings_.total_timeout.count())) &&
         SetOption(handle, CURLOPT_SSL_VERIFYPEER, 1L) &&
         SetOption(handle, CURLOPT_SSL_VERIFYHOST, 2L) &&
         SetOption(handle, CURLOPT_NETRC, static_cast<long>(CURL_NETRC_IGNORED)) &&
         // Refuses early when the server announces a longer body; OnBody
         // enforces the same limit for chunked answers.
         SetOption(handle, CURLOPT_MAXFILESIZE, max_body) &&
         SetOption(handle, CURLOPT_WRITEFUNCTION, &CurlHttpRequest::OnBody) &&
         SetOption(handle, CURLOPT_WRITEDATA, static_cast<void*>(this)) && TrustOnly(handle);
}

// The CAs the administrator named replace the system's bundle and its
// folder of hashed certificates alike, which libcurl would otherwise also
// search.
bool CurlHttpRequest::TrustOnly(CURL* handle) const noexcept {
  const std::string* pem = settings_.trusted_certificates;
  if (pem == nullptr) return true;
  curl_blob blob{const_cast<char*>(pem->data()), pem->size(), CURL_BLOB_NOCOPY};
  return SetOption(handle, CURLOPT_CAINFO_BLOB, &blob) &&
         SetOption(handle, CURLOPT_CAINFO, static_cast<const char*>(nullptr)) &&
         SetOption(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
}

bool CurlHttpRequest::Get(const char* url) {
  received_ = false;
  body_.clear();
  if (url == nullptr || !Configure(url)) return false;
  if (curl_easy_perform(handle_.get()) != CURLE_OK) return false;
  received_ = true;
  return true;
}

std::optional<NarrowText> CurlHttpRequest::ResponseText() {
  if (!received_) return std::nullopt;
  return NarrowText{body_};
}

std::size_t CurlHttpRequest::OnBody(char* data, std::size_t size, std::size_t count,
                                    void* self) noexcept {
  auto* request = static_cast<CurlHttpRequest*>(self);
  const std::size_t length = size * count;
  // Answering fewer bytes than given makes libcurl fail the exchange.
  if (length > request->settings_.max_response_bytes - request->body_.size()) return 0;
  try {
    request->body_.append(data, length);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return length;
}

}  // namespace turnpike
