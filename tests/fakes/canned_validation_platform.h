// CannedValidationPlatform: the XML documents of a real platform, and HTTP
// answers that a test makes from the URL asked for, so that validations on
// many threads run at the parsers' speed without a server.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/validation_platform.h"

namespace turnpike {

class CannedValidationPlatform final : public ValidationPlatform {
 public:
  using Answer = std::string (*)(const std::string& url);
  CannedValidationPlatform(ValidationPlatform& documents, Answer answer) : documents_(documents), answer_(answer) {}
  std::unique_ptr<ValidationSession> Begin() override {
    return std::make_unique<Session>(documents_.Begin(), answer_);
  }

 private:
  class Request final : public HttpRequest {
   public:
    explicit Request(Answer answer) : answer_(answer) {}
    bool Get(const char* url) override {
      body_ = answer_(url);
      return true;
    }
    std::optional<NarrowText> ResponseText() override { return NarrowText{body_}; }

   private:
    Answer answer_;
    std::string body_;
  };

  class Session final : public ValidationSession {
   public:
    Session(std::unique_ptr<ValidationSession> real, Answer answer) : real_(std::move(real)), answer_(answer) {}
    std::unique_ptr<HttpRequest> CreateHttpRequest() override { return std::make_unique<Request>(answer_); }
    std::unique_ptr<XmlDocument> CreateXmlDocument() override { return real_->CreateXmlDocument(); }

   private:
    std::unique_ptr<ValidationSession> real_;
    Answer answer_;
  };

  ValidationPlatform& documents_;
  Answer answer_;
};

}  // namespace turnpike
