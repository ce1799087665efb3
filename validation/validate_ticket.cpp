#include "validation/validate_ticket.h"

#include <memory>
#include <string>
#include <utility>

#include "validation/cas_response.h"

namespace turnpike {
namespace {

constexpr const char* kInitializeMessage = "The Turnpike ISAPI filter was unable to initialize COM";
constexpr const char* kCreateRequestMessage =
    "The Turnpike ISAPI filter was unable to create an XML Instance ";
constexpr const char* kLoadUrlMessage =
    "The Turnpike ISAPI filter was unable to load the Validation URL XML Document";
constexpr const char* kCreateDocumentMessage =
    "The Turnpike ISAPI filter was unable to create an XML Document Instance ";

constexpr const char* kNotPrepared = "the validation could not be prepared on this server";
constexpr const char* kUnreachable = "the CAS server could not be reached";
constexpr const char* kUnreadable = "the CAS server's answer could not be read";

std::string AnswerAsCause(const std::string& text) {
  std::string cause = "the CAS server answered: ";
  cause.append(text, 0, kWhyAnswerLength);
  if (text.size() > kWhyAnswerLength) cause += "...";
  return cause;
}

std::optional<std::string> Validate(const char* validation_url, ValidationPlatform& platform,
                                    const EventReporter& reporter, std::string& why) {
  // Declared first so that it ends last: the request and the document are
  // released before the thread's preparation is undone, on every path.
  const std::unique_ptr<ValidationSession> session = platform.Begin();
  if (session == nullptr) {
    reporter.LogEvent(EventType::Error, kInitializeMessage, nullptr);
    why = kNotPrepared;
    return std::nullopt;
  }

  const std::unique_ptr<HttpRequest> request = session->CreateHttpRequest();
  if (request == nullptr) {
    reporter.LogEvent(EventType::Error, kCreateRequestMessage, nullptr);
    why = kNotPrepared;
    return std::nullopt;
  }
  if (!request->Get(validation_url)) {
    reporter.LogEvent(EventType::Error, kLoadUrlMessage, validation_url);
    why = kUnreachable;
    return std::nullopt;
  }

  const std::unique_ptr<XmlDocument> document = session->CreateXmlDocument();
  if (document == nullptr) {
    reporter.LogEvent(EventType::Error, kCreateDocumentMessage, nullptr);
    why = kNotPrepared;
    return std::nullopt;
  }

  const std::optional<NarrowText> text = request->ResponseText();
  if (!text) {
    why = kUnreadable;
    return std::nullopt;
  }
  const XmlLoadResult loaded = document->LoadResponse(*request);
  if (loaded == XmlLoadResult::Failed) {
    why = kUnreadable;
    return std::nullopt;
  }
  std::optional<SignOn> sign_on = ParseCasAnswer(loaded, *document, *text, reporter);
  if (!sign_on) {
    why = AnswerAsCause(text->text);
    return std::nullopt;
  }
  return std::move(sign_on->user);
}

}  // namespace

std::optional<std::string> ValidateTicket(const char* validation_url, ValidationPlatform& platform,
                                          const EventReporter& reporter, std::string* why) noexcept {
  if (validation_url == nullptr) return std::nullopt;
  try {
    std::string cause;
    std::optional<std::string> user = Validate(validation_url, platform, reporter, cause);
    if (!user && why != nullptr) *why = std::move(cause);
    return user;
  } catch (...) {
    // Out of memory or a platform layer that threw: the ticket simply stays
    // unvalidated, and the unwinding has already released the call's objects.
    return std::nullopt;
  }
}

}  // namespace turnpike
