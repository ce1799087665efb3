#include "validation/validate_ticket.h"

#include <memory>
#include <string>

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

std::optional<std::string> Validate(const char* validation_url, ValidationPlatform& platform,
                                    const EventReporter& reporter) {
  // Declared first so that it ends last: the request and the document are
  // released before the thread's preparation is undone, on every path.
  const std::unique_ptr<ValidationSession> session = platform.Begin();
  if (session == nullptr) {
    reporter.LogEvent(EventType::Error, kInitializeMessage, nullptr);
    return std::nullopt;
  }

  const std::unique_ptr<HttpRequest> request = session->CreateHttpRequest();
  if (request == nullptr) {
    reporter.LogEvent(EventType::Error, kCreateRequestMessage, nullptr);
    return std::nullopt;
  }
  if (!request->Get(validation_url)) {
    reporter.LogEvent(EventType::Error, kLoadUrlMessage, validation_url);
    return std::nullopt;
  }

  const std::unique_ptr<XmlDocument> document = session->CreateXmlDocument();
  if (document == nullptr) {
    reporter.LogEvent(EventType::Error, kCreateDocumentMessage, nullptr);
    return std::nullopt;
  }

  const std::optional<NarrowText> text = request->ResponseText();
  if (!text) return std::nullopt;
  return ParseCasAnswer(document->LoadResponse(*request), *document, *text, reporter);
}

}  // namespace

std::optional<std::string> ValidateTicket(const char* validation_url, ValidationPlatform& platform,
                                          const EventReporter& reporter) noexcept {
  if (validation_url == nullptr) return std::nullopt;
  try {
    return Validate(validation_url, platform, reporter);
  } catch (...) {
    // Out of memory or a platform layer that threw: the ticket simply stays
    // unvalidated, and the unwinding has already released the call's objects.
    return std::nullopt;
  }
}

}  // namespace turnpike
