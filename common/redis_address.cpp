#include "common/redis_address.h"


#include "common/ascii.h"

namespace turnpike {
namespace {

constexpr std::string_view kScheme = "redis://";

bool IsNameByte(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

// Digits only, 1 to 5 of them, no larger than `most`.
std::optional<std::uint32_t> SmallNumberOf(std::string_view text, std::uint32_t most) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > most) return std::nullopt;
  return value;
}

}  // namespace

std::optional<RedisAddress> ParseRedisAddress(std::string_view text) {
  if (text.size() <= kScheme.size() || !AsciiEqualsIgnoreCase(text.substr(0, kScheme.size()), kScheme)) {
    return std::nullopt;
  }
  std::string_view rest = text.substr(kScheme.size());
  RedisAddress address;
  address.text.assign(text);

  std::string_view host;
  if (rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos || close == 1) return std::nullopt;
    host = rest.substr(1, close - 1);
    for (const char c : host) {
      if (!IsAsciiHexDigit(c) && c != ':' && c != '.') return std::nullopt;
    }
    rest.remove_prefix(close + 1);
  } else {
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    host = rest.substr(0, colon);
    for (const char c : host) {
      if (!IsNameByte(c)) return std::nullopt;
    }
    rest.remove_prefix(colon);
  }
  if (rest.empty() || rest.front() != ':') return std::nullopt;
  rest.remove_prefix(1);

  const std::size_t slash = rest.find('/');
  const std::optional<std::uint32_t> port = SmallNumberOf(rest.substr(0, slash), 65535);
  if (!port || *port == 0) return std::nullopt;
  if (slash != std::string_view::npos) {
    const std::optional<std::uint32_t> database = SmallNumberOf(rest.substr(slash + 1), 65535);
    if (!database) return std::nullopt;
    address.database = *database;
  }
  address.host.assign(host);
  address.port = static_cast<std::uint16_t>(*port);
  return address;
}

}  // namespace turnpike
