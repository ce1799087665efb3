#include "filter/extraction.h"

#include <algorithm>
#include <cstring>

namespace turnpike {
namespace {

constexpr bool IsCookieBlank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) noexcept {
  while (!text.empty() && IsCookieBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsCookieBlank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<TicketParameter> FindTicketParameter(std::string_view url) noexcept {
  // The path ends at the first '?' or '#'; only a '?' starts a query. Most
  // URLs have neither, so two memchr scans answer them.
  const char* begin = url.data();
  const char* question = static_cast<const char*>(std::memchr(begin, '?', url.size()));
  if (question == nullptr) return std::nullopt;
  const auto mark = static_cast<std::size_t>(question - begin);
  if (std::memchr(begin, '#', mark) != nullptr) return std::nullopt;
  const std::size_t query_begin = mark + 1;
  const std::size_t query_end = std::min(url.find('#', query_begin), url.size());

  constexpr std::string_view kName = kTicketParameter;
  for (std::size_t start = query_begin; start <= query_end;) {
    std::size_t end = url.find('&', start);
    if (end == std::string_view::npos || end > query_end) end = query_end;
    const std::string_view parameter = url.substr(start, end - start);
    if (parameter.size() > kName.size() && parameter[kName.size()] == '=' &&
        parameter.substr(0, kName.size()) == kName) {
      TicketParameter ticket;
      ticket.value = parameter.substr(kName.size() + 1);
      if (start > query_begin) {
        ticket.cut_begin = start - 1;  // its '&'
        ticket.cut_end = end;
      } else if (end < query_end) {
        ticket.cut_begin = start;  // first of several: the '&' after it
        ticket.cut_end = end + 1;
      } else {
        ticket.cut_begin = mark;  // the whole query: its '?' too
        ticket.cut_end = end;
      }
      return ticket;
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<std::string_view> CookieValues::Next() noexcept {
  while (!done_) {
    const std::size_t end = rest_.find(';');
    const std::string_view cookie = rest_.substr(0, end);
    if (end == std::string_view::npos) {
      done_ = true;
    } else {
      rest_.remove_prefix(end + 1);
    }
    const std::size_t equals = cookie.find('=');
    if (equals == std::string_view::npos) continue;
    if (TrimBlanks(cookie.substr(0, equals)) == name_) return TrimBlanks(cookie.substr(equals + 1));
  }
  return std::nullopt;
}

}  // namespace turnpike
