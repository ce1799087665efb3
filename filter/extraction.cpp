#include "filter/extraction.h"

#include <cstdint>
#include <string_view>

#include "filter/filter.h"

namespace turnpike {
namespace {

// The text that follows `word` and the one character after it, in the
// header `name`; nothing when the header cannot be read or the word is not
// followed by at least that character.
std::optional<std::string_view> ValueAfter(FilterHost& host, const char* name,
                                           std::string_view word,
                                           char (&buffer)[kUrlBufferSize]) {
  std::uint32_t size = kUrlBufferSize;
  if (!host.GetHeader(name, buffer, &size)) return std::nullopt;
  buffer[kUrlBufferSize - 1] = '\0';  // do not trust the host's terminator
  const std::string_view text(buffer);
  const std::size_t at = text.find(word);
  if (at == std::string_view::npos || at + word.size() >= text.size()) return std::nullopt;
  return text.substr(at + word.size() + 1);
}

}  // namespace

std::optional<std::string> ExtractTicket(FilterHost& host) {
  char url[kUrlBufferSize];
  const std::optional<std::string_view> ticket = ValueAfter(host, "url", "ticket", url);
  if (!ticket) return std::nullopt;
  return std::string(*ticket);
}

std::optional<std::string> ExtractCookie(FilterHost& host) {
  char cookies[kUrlBufferSize];
  const std::optional<std::string_view> rest = ValueAfter(host, "Cookie:", kCookieName, cookies);
  if (!rest) return std::nullopt;
  return std::string(rest->substr(0, rest->find(';')));
}

}  // namespace turnpike
