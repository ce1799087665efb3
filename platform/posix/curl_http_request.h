// CurlHttpRequest: HttpRequest over one libcurl easy handle. Internal to the
// Linux validation layer; see curl_libxml2_validation.h for the policy.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "platform/posix/curl_libxml2_validation.h"
#include "platform/validation_platform.h"

namespace turnpike {

class CurlHttpRequest final : public HttpRequest {
 public:
  // Null when libcurl cannot give a handle.
  static std::unique_ptr<CurlHttpRequest> Create(const CurlHttpSettings& settings);

  bool Get(const char* url) override;
  std::optional<NarrowText> ResponseText() override;

 private:
  struct EasyCleanup {
    void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
  };

  CurlHttpRequest(CURL* handle, const CurlHttpSettings& settings) noexcept
      : handle_(handle), settings_(settings) {}

  bool Configure(const char* url);
  bool TrustOnly(CURL* handle) const noexcept;
  static std::size_t OnBody(char* data, std::size_t size, std::size_t count,
                            void* self) noexcept;

  std::unique_ptr<CURL, EasyCleanup> handle_;
  CurlHttpSettings settings_;
  std::string body_;
  bool received_ = false;
};

}  // namespace turnpike
