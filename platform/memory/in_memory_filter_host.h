// InMemoryFilterHost: one request held in memory, for tests and for
// turnpike-try.
//
// It answers the FilterHost operations from the URL, headers and server
// variables it was given, records what the filter did (the answer sent, as
// IIS would send it; the headers set) and can be told to fail any
// operation. Header names compare without regard to ASCII case, as in HTTP;
// several Cookie headers read as one, joined with "; " as HTTP/2 joins them.
// Not thread-safe: like a real request, it belongs to one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/answer.h"
#include "platform/filter_host.h"

namespace turnpike {

class InMemoryFilterHost final : public FilterHost {
 public:
  enum class Operation {
    GetUrl,
    GetHeader,
    ReplaceHeader,
    RemoveLookAlikeHeaders,
    RemovePrefixedHeaders,
    GetServerVariable,
    GetServerPath,
    SendAnswer,
    ReadBody,
  };

  // The answer as IIS sends it: "302 Redirection", the header block
  // (FormatIsapiHeaderBlock), the body.
  struct Response {
    std::string status_text;
    std::string headers;
    std::string body;
  };

  // `url` is the request line's URL as sent; without a value it is absent.
  explicit InMemoryFilterHost(std::optional<std::string> url);

  // Adds a request header ("Cookie"; a trailing colon is dropped).
  void AddRequestHeader(std::string name, std::string value);
  void SetServerVariable(std::string name, std::string value);
  // The path the server would serve; without one GetServerPath answers false.
  void SetServerPath(std::string path);
  // The request's body, which ReadBody answers and the application would get.
  void SetBody(std::string body) { body_ = std::move(body); }
  const std::string& body() const noexcept { return body_; }

  // Makes every later call of `operation` fail (optionally only for `name`).
  void Fail(Operation operation, std::optional<std::string> name = std::nullopt);

  // What the filter did.
  const std::optional<Response>& response() const noexcept { return response_; }
  // Every value the request now carries under `name`, in order.
  std::vector<std::string> HeaderValues(std::string_view name) const;
  // The answer as the filter gave it, before any formatting.
  const std::optional<Answer>& answer() const noexcept { return answer_; }
  // Whether the filter changed or looked for the request's headers at all
  // (ReplaceHeader, RemoveLookAlikeHeaders) or answered.
  bool touched() const noexcept { return touched_; }
  // The last header the filter gave the application (name, value).
  const std::optional<std::pair<std::string, std::string>>& replaced() const noexcept { return replaced_; }
  // Protected whatever the paths say, as a server's own rules may make it.
  void SetProtectedByServer() noexcept { protected_by_server_ = true; }
  // The sign-on the filter let the request through with.
  const std::optional<SignOn>& signed_on() const noexcept { return signed_on_; }

  bool GetUrl(char* buffer, std::uint32_t* size) override;
  bool GetHeader(const char* name, char* buffer, std::uint32_t* size) override;
  bool ReplaceHeader(const char* name, const char* value) override;
  bool RemoveLookAlikeHeaders(const char* name) override;
  bool RemovePrefixedHeaders(const char* prefix) override;
  bool GetServerVariable(const char* name, char* buffer, std::uint32_t* size) override;
  bool GetServerPath(char* buffer, std::uint32_t* size) override;
  bool SendAnswer(const Answer& answer) override;
  BodyRead ReadBody(std::size_t limit, std::string& body) override;
  void SignedOn(const SignOn& sign_on) override { signed_on_ = sign_on; }
  bool ProtectedByServer() noexcept override { return protected_by_server_; }

 private:
  bool Fails(Operation operation, std::string_view name) const;

  std::optional<std::string> url_;
  std::optional<std::string> server_path_;
  std::string body_;
  std::vector<std::pair<std::string, std::string>> headers_;
  std::vector<std::pair<std::string, std::string>> variables_;
  std::vector<std::pair<Operation, std::optional<std::string>>> failures_;
  std::optional<Response> response_;
  std::optional<Answer> answer_;
  std::optional<std::pair<std::string, std::string>> replaced_;
  std::optional<SignOn> signed_on_;
  bool protected_by_server_ = false;
  bool touched_ = false;
};

}  // namespace turnpike
