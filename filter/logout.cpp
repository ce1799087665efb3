// The two ways a sign-on ends before its time: the browser asks for
// LogoutPath (local logout), or the CAS server, where the user signed out,
// POSTs a logout request naming the ticket (single logout).
#include <memory>
#include <optional>
#include <string>

#include "common/ascii.h"
#include "filter/answers.h"
#include "filter/extraction.h"
#include "filter/filter.h"
#include "filter/host_text.h"
#include "filter/logout_request.h"

namespace turnpike {
namespace {

constexpr const char* kSignedOutHere = "The Turnpike filter removed the sign-on at the logout path, for:";
constexpr const char* kSignedOutByCas =
    "The Turnpike filter removed the sign-on named by a single-logout request, for:";
constexpr const char* kLogoutTicketUnknown =
    "The Turnpike filter received a single-logout request for a ticket it keeps no sign-on for:";
constexpr const char* kLogoutRequestRefused =
    "The Turnpike filter refused a single-logout request it could not read:";
constexpr const char* kLogoutRequestTooLarge =
    "The Turnpike filter refused a single-logout request larger than 64 KiB, sent to:";
constexpr const char* kBodyUnreadable = "The Turnpike filter was unable to read the body of a request to:";

}  // namespace

// The path of the URL as sent, before its query or fragment, against
// LogoutPath in any ASCII letter case (IIS serves paths so).
bool TurnpikeFilter::IsLogoutPath(std::string_view url) const noexcept {
  const std::string_view path = url.substr(0, url.find_first_of("?#"));
  return AsciiEqualsIgnoreCase(path, *settings_.LogoutPath);
}

FilterStatus TurnpikeFilter::LocalLogout(FilterHost& host, const EventReporter& reporter) {
  HostText cookies;
  if (cookies.ReadHeader(host, "Cookie")) {
    // Every VAVUZE the browser holds: one of another path or domain may be
    // the one the store knows.
    CookieValues values(cookies.view(), kCookieName);
    for (std::optional<std::string_view> cookie = values.Next(); cookie; cookie = values.Next()) {
      if (const std::optional<SignOn> removed = credentials_->RemoveByCookie(*cookie)) {
        reporter.LogEvent(EventType::Information, kSignedOutHere, removed->user.c_str());
      }
    }
  }
  return SendLogoutRedirect(host, settings_, reporter);
}

std::optional<FilterStatus> TurnpikeFilter::SingleLogout(FilterHost& host, std::string_view url,
                                                         const EventReporter& reporter) {
  // Only a form POST is read: a GET never signs anyone out, and every
  // other body goes to the application as it came.
  HostText field;
  if (!field.ReadServerVariable(host, "REQUEST_METHOD") || field.view() != "POST") return std::nullopt;
  if (!field.ReadHeader(host, "Content-Type") || !IsFormContentType(field.view())) return std::nullopt;
  std::string body;
  switch (host.ReadBody(kMaxLogoutRequestBody, body)) {
    case BodyRead::Whole:
      break;
    case BodyRead::TooLarge:
      if (!FindLogoutRequest(body)) return std::nullopt;
      reporter.LogEventText(EventType::Warning, kLogoutRequestTooLarge, url);
      return SendLogoutAnswer(host, reporter, 413, "Request Entity Too Large");
    case BodyRead::Unavailable:
      return std::nullopt;
    case BodyRead::Failed:
      reporter.LogEventText(EventType::Error, kBodyUnreadable, url);
      return FilterStatus::Error;
  }
  const std::optional<std::string> xml = FindLogoutRequest(body);
  if (!xml) return std::nullopt;

  LogoutRequest request;
  if (services_.validation != nullptr) {
    // The session first: the document must go before it.
    const std::unique_ptr<ValidationSession> session = services_.validation->Begin();
    const std::unique_ptr<XmlDocument> document = session ? session->CreateXmlDocument() : nullptr;
    if (document) request = ParseLogoutRequest(*document, *xml);
  }
  switch (request.status) {
    case LogoutRequestStatus::Found:
      break;
    case LogoutRequestStatus::NotWellFormed:
    case LogoutRequestStatus::CarriesDtd:
    case LogoutRequestStatus::NoSessionIndex:
      reporter.LogEventText(EventType::Warning, kLogoutRequestRefused, *xml);
      return SendLogoutAnswer(host, reporter, 400, "Bad Request");
    case LogoutRequestStatus::Failed:
      reporter.LogEventText(EventType::Error, kLogoutRequestRefused, *xml);
      return FilterStatus::Error;
  }
  if (const std::optional<SignOn> removed = credentials_->RemoveByTicket(request.session_index)) {
    reporter.LogEvent(EventType::Information, kSignedOutByCas, removed->user.c_str());
  } else {
    // Expired, signed out here already, or never validated here: CAS sends
    // the request to every service, whatever each still knows.
    reporter.LogEvent(EventType::Information, kLogoutTicketUnknown, request.session_index.c_str());
  }
  return SendLogoutAnswer(host, reporter, 200, "OK");
}

}  // namespace turnpike
