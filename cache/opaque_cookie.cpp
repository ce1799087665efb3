#include "cache/opaque_cookie.h"

namespace turnpike {

std::optional<std::string> NewOpaqueCookie(RandomSource& random) {
  unsigned char bytes[kOpaqueCookieBytes];
  if (!random.Fill(bytes, sizeof bytes)) return std::nullopt;
  constexpr char kDigits[] = "0123456789abcdef";
  std::string cookie(kOpaqueCookieLength, '0');
  for (std::size_t i = 0; i < kOpaqueCookieBytes; ++i) {
    cookie[2 * i] = kDigits[bytes[i] >> 4];
    cookie[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return cookie;
}

bool IsOpaqueCookie(std::string_view cookie) noexcept {
  if (cookie.size() != kOpaqueCookieLength) return false;
  for (const char c : cookie) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace turnpike
