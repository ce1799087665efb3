// Helpers shared by the fuzz targets.
//
// Each target checks what it can of its function's contract and aborts with
// a message when a check fails, so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/libxml2_document.h"
#include "platform/validation_platform.h"

#define FUZZ_CHECK(condition)                                                         \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (false)

namespace turnpike::fuzz {

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Cuts `text` at the first `separator`; the part before it is returned and
// `text` keeps the rest (empty when there was no separator).
inline std::string_view NextField(std::string_view& text, char separator = '\n') {
  const std::size_t end = text.find(separator);
  const std::string_view field = text.substr(0, end);
  text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  return field;
}

// The text as the C string a host hands over: up to its first NUL.
inline std::string CString(std::string_view text) {
  return std::string(text.substr(0, text.find('\0')));
}

inline bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Validation services whose HTTP answer is a fixed body (nothing: the GET
// fails) and whose documents are real libxml2 ones, so that the answer is
// parsed exactly as in a web server. It records the URLs it was asked for.
class BodyValidationPlatform final : public ValidationPlatform {
 public:
  explicit BodyValidationPlatform(std::optional<std::string> body) : body_(std::move(body)) {}

  std::unique_ptr<ValidationSession> Begin() override { return std::make_unique<Session>(*this); }

  const std::vector<std::string>& urls() const { return urls_; }

 private:
  class Request final : public HttpRequest {
   public:
    explicit Request(BodyValidationPlatform& owner) : owner_(owner) {}
    bool Get(const char* url) override {
      owner_.urls_.emplace_back(url);
      return owner_.body_.has_value();
    }
    std::optional<NarrowText> ResponseText() override {
      if (!owner_.body_) return std::nullopt;
      return NarrowText{*owner_.body_};
    }

   private:
    BodyValidationPlatform& owner_;
  };

  class Session final : public ValidationSession {
   public:
    explicit Session(BodyValidationPlatform& owner) : owner_(owner) {}
    std::unique_ptr<HttpRequest> CreateHttpRequest() override {
      return std::make_unique<Request>(owner_);
    }
    std::unique_ptr<XmlDocument> CreateXmlDocument() override {
      return std::make_unique<Libxml2Document>();
    }

   private:
    BodyValidationPlatform& owner_;
  };

  std::optional<std::string> body_;
  std::vector<std::string> urls_;
};

}  // namespace turnpike::fuzz
