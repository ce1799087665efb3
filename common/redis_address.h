// The address of a Redis server as the SharedCache value gives it:
// redis://HOST:PORT or redis://HOST:PORT/DB.
//
// HOST is a name, an IPv4 address or a bracketed IPv6 address; PORT is
// 1 to 65535; DB, when present, a database number 0 to 65535 (0 when
// absent). The scheme is compared without letter case; nothing else is
// taken: no user information or password (SharedCachePassword holds it, out
// of the address that events print), no query, no blank, no empty part, no
// sign or leading '+', no trailing slash without a number. A value that is
// anything else is refused at start-up rather than guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace turnpike {

struct RedisAddress {
  std::string host;  // IPv6 without its brackets
  std::uint16_t port = 0;
  std::uint32_t database = 0;
  std::string text;  // the value as configured, for events

  bool operator==(const RedisAddress&) const = default;
};

std::optional<RedisAddress> ParseRedisAddress(std::string_view text);

}  // namespace turnpike
