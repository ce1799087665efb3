// StaticUrlHost: a request that has only a URL, lent without a copy, so that
// the host itself allocates and records nothing while the filter runs. For
// the allocation test and the benchmarks of an unprotected request.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/filter_host.h"

namespace turnpike {

class StaticUrlHost final : public FilterHost {
 public:
  explicit StaticUrlHost(const char* url) : url_(url) {}

  bool GetUrl(char* buffer, std::uint32_t* size) override {
    ++reads;
    const std::size_t needed = std::strlen(url_) + 1;
    if (needed > *size) return false;
    std::memcpy(buffer, url_, needed);
    return true;
  }
  bool GetHeader(const char*, char*, std::uint32_t*) override {
    ++reads;
    return false;
  }
  bool ReplaceHeader(const char*, const char*) override { return false; }
  bool RemoveLookAlikeHeaders(const char*) override { return true; }
  bool GetServerVariable(const char*, char*, std::uint32_t*) override { return false; }
  bool SendAnswer(const Answer&) override { return false; }

  int reads = 0;  // GetUrl and GetHeader calls

 private:
  const char* url_;
};

}  // namespace turnpike
