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

ValidationOutcome Refused(std::string why) {
  return ValidationOutcome{std::nullopt, std::move(why)};
}

}  // namespace

FetchedValidation FetchValidation(const char* validation_url, ValidationPlatform& platform,
                                  const EventReporter& reporter) noexcept {
  FetchedValidation fetched;
  if (validation_url == nullptr) return fetched;
  try {
    fetched.session_ = platform.Begin();
    if (fetched.session_ == nullptr) {
      reporter.LogEvent(EventType::Error, kInitializeMessage, nullptr);
      fetched.why_ = kNotPrepared;
      return fetched;
    }
    fetched.request_ = fetched.session_->CreateHttpRequest();
    if (fetched.request_ == nullptr) {
      reporter.LogEvent(EventType::Error, kCreateRequestMessage, nullptr);
      fetched.why_ = kNotPrepared;
      return fetched;
    }
    if (!fetched.request_->Get(validation_url)) {
      reporter.LogEvent(EventType::Error, kLoadUrlMessage, validation_url);
      fetched.why_ = kUnreachable;
      fetched.request_.reset();
    }
  } catch (...) {
    // Out of memory or a platform layer that threw: the ticket simply stays
    // unvalidated, with no account of why.
    return FetchedValidation();
  }
  return fetched;
}

ValidationOutcome ParseValidation(FetchedValidation fetched, std::string_view ticket,
                                  const Clock& clock, const EventReporter& reporter) noexcept {
  try {
    if (fetched.request_ == nullptr) return Refused(std::move(fetched.why_));
    // Released before the fetched objects, and so before the session.
    const std::unique_ptr<XmlDocument> document = fetched.session_->CreateXmlDocument();
    if (document == nullptr) {
      reporter.LogEvent(EventType::Error, kCreateDocumentMessage, nullptr);
      return Refused(kNotPrepared);
    }
    const std::optional<NarrowText> text = fetched.request_->ResponseText();
    if (!text) return Refused(kUnreadable);
    const XmlLoadResult loaded = document->LoadResponse(*fetched.request_);
    if (loaded == XmlLoadResult::Failed) return Refused(kUnreadable);
    std::optional<SignOn> sign_on = ParseCasAnswer(loaded, *document, *text, reporter);
    if (!sign_on) return Refused(AnswerAsCause(text->text));
    sign_on->ticket = ticket;
    sign_on->validated = clock.Now();
    return ValidationOutcome{std::move(sign_on), std::string()};
  } catch (...) {
    // As in the fetch; the unwinding has already released the document.
    return ValidationOutcome{};
  }
}

ValidationOutcome ValidateTicket(const char* validation_url, std::string_view ticket,
                                 ValidationPlatform& platform, const Clock& clock,
                                 const EventReporter& reporter) noexcept {
  return ParseValidation(FetchValidation(validation_url, platform, reporter), ticket, clock,
                         reporter);
}

}  // namespace turnpike
