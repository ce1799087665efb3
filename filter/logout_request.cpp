#include "filter/logout_request.h"

#include <memory>

#include "common/ascii.h"

namespace turnpike {
namespace {

constexpr const char* kSamlProtocolNamespace = "urn:oasis:names:tc:SAML:2.0:protocol";
constexpr XmlNamespaceBinding kSamlBindings[] = {{"samlp", kSamlProtocolNamespace}};

constexpr bool IsBlank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string DecodeFormValue(std::string_view value) {
  std::string decoded;
  decoded.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%' && i + 2 < value.size() && IsAsciiHexDigit(value[i + 1]) &&
               IsAsciiHexDigit(value[i + 2])) {
      decoded += static_cast<char>(AsciiHexValue(value[i + 1]) * 16 + AsciiHexValue(value[i + 2]));
      i += 2;
    } else {
      decoded += c;
    }
  }
  return decoded;
}

LogoutRequest ReadLogoutRequest(XmlDocument& document, std::string_view xml) {
  LogoutRequest request;
  switch (document.LoadXml(xml)) {
    case XmlLoadResult::WellFormed:
      break;
    case XmlLoadResult::NotWellFormed:
      request.status = LogoutRequestStatus::NotWellFormed;
      return request;
    case XmlLoadResult::CarriesDtd:
      request.status = LogoutRequestStatus::CarriesDtd;
      return request;
    case XmlLoadResult::Failed:
      return request;
  }
  if (document.BindNamespaces(kSamlBindings) != XmlBindResult::Bound) return request;
  std::unique_ptr<XmlNode> index;
  switch (document.SelectSingleNode("/samlp:LogoutRequest/samlp:SessionIndex", index)) {
    case XmlQueryResult::Failed:
      return request;
    case XmlQueryResult::NotFound:
      request.status = LogoutRequestStatus::NoSessionIndex;
      return request;
    case XmlQueryResult::Found:
      break;
  }
  std::optional<NarrowText> text = index->Text();
  if (!text) return request;
  // A ticket the 8-bit form cannot hold exactly could name another one.
  if (!text->exact || text->text.empty() || text->text.find('\0') != std::string::npos) {
    request.status = LogoutRequestStatus::NoSessionIndex;
    return request;
  }
  request.status = LogoutRequestStatus::Found;
  request.session_index = std::move(text->text);
  return request;
}

}  // namespace

bool IsFormContentType(std::string_view content_type) noexcept {
  std::string_view media = content_type.substr(0, content_type.find(';'));
  while (!media.empty() && IsBlank(media.front())) media.remove_prefix(1);
  while (!media.empty() && IsBlank(media.back())) media.remove_suffix(1);
  return AsciiEqualsIgnoreCase(media, "application/x-www-form-urlencoded");
}

std::optional<std::string> FindLogoutRequest(std::string_view body) {
  while (!body.empty()) {
    const std::size_t end = body.find('&');
    const std::string_view parameter = body.substr(0, end);
    const std::size_t equals = parameter.find('=');
    if (parameter.substr(0, equals) == kLogoutRequestParameter) {
      return DecodeFormValue(equals == std::string_view::npos ? std::string_view()
                                                               : parameter.substr(equals + 1));
    }
    if (end == std::string_view::npos) break;
    body.remove_prefix(end + 1);
  }
  return std::nullopt;
}

LogoutRequest ParseLogoutRequest(XmlDocument& document, std::string_view xml) noexcept {
  try {
    return ReadLogoutRequest(document, xml);
  } catch (...) {
    return {};
  }
}

}  // namespace turnpike
