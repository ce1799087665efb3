#include "filter/attribute_headers.h"

#include <string_view>
#include <unordered_set>

#include "common/ascii.h"
#include "filter/answers.h"

namespace turnpike {
namespace {

constexpr const char* kAttributeHeadersNotRemoved =
    "The Turnpike filter was unable to remove the browser's headers under the attribute header prefix:";
constexpr const char* kAttributeHeaderFailed = "The Turnpike filter was unable to set the attribute header:";

bool IsHeaderToken(std::string_view name) noexcept {
  if (name.empty()) return false;
  for (const char c : name) {
    if (!IsHeaderTokenChar(c)) return false;
  }
  return true;
}

// The form in which two header names that look alike are equal.
std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = (c == '_' || c == '.') ? '-' : AsciiToLower(c);
  return folded;
}

}  // namespace

std::string AttributeHeaderValue(const std::vector<std::string>& values) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string header;
  for (const std::string& value : values) {
    if (&value != &values.front()) header += ", ";
    for (const char c : value) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '\\' || c == ',') {
        header += '\\';
        header += c;
      } else if (byte < 0x20 || byte == 0x7F) {
        header += "\\x";
        header += kHex[byte >> 4];
        header += kHex[byte & 0x0F];
      } else {
        header += c;
      }
    }
  }
  return header;
}

FilterStatus PassSignOn(FilterHost& host, const FilterSettings& settings, const EventReporter& reporter,
                        const SignOn& sign_on) {
  const std::optional<std::string>& prefix = settings.AttributeHeaderPrefix;
  if (!prefix) return SetIdentityHeader(host, settings, reporter, sign_on.user.c_str());
  // Before the identity header is set: its own name may start with the
  // prefix.
  if (!host.RemovePrefixedHeaders(prefix->c_str())) {
    reporter.LogEvent(EventType::Error, kAttributeHeadersNotRemoved, prefix->c_str());
    return FilterStatus::Error;
  }
  const FilterStatus status = SetIdentityHeader(host, settings, reporter, sign_on.user.c_str());
  if (status != FilterStatus::NextNotification || sign_on.attributes.empty()) return status;

  std::unordered_set<std::string> given{Folded(settings.AuthHeader)};
  for (const SignOnAttribute& attribute : sign_on.attributes) {
    if (!IsHeaderToken(attribute.name)) continue;
    const std::string name = *prefix + attribute.name;
    if (!given.insert(Folded(name)).second) continue;
    if (!host.ReplaceHeader(name.c_str(), AttributeHeaderValue(attribute.values).c_str())) {
      reporter.LogEvent(EventType::Error, kAttributeHeaderFailed, name.c_str());
      return FilterStatus::Error;
    }
  }
  return FilterStatus::NextNotification;
}

}  // namespace turnpike
