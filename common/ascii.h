// Locale-independent character classes for protocol bytes.
//
// The filter compares URLs, header values and registry names byte by byte.
// <cctype> answers by the current C locale and is undefined for negative
// chars, so protocol code uses these instead: only ASCII A-Z and a-z are
// letters here, and every byte above 0x7F stays as it is.
#pragma once

#include <cstddef>
#include <string_view>

namespace turnpike {

constexpr char AsciiToLower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool IsAsciiHexDigit(char c) noexcept {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The value of a hex digit; only meaningful when IsAsciiHexDigit(c).
constexpr int AsciiHexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return c - 'A' + 10;
}

// A character that may stand in an HTTP header name (a token): letters,
// digits and !#$%&'*+-.^_`|~. Anything else, a blank or a colon above all,
// would change where the name ends.
constexpr bool IsHeaderTokenChar(char c) noexcept {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Lowers ASCII capitals in place up to the terminator.
inline void AsciiLowerInPlace(char* text) noexcept {
  for (; *text != '\0'; ++text) *text = AsciiToLower(*text);
}

// Case-insensitive equality over ASCII letters, as the Windows registry
// compares key paths and value names.
constexpr bool AsciiEqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiToLower(a[i]) != AsciiToLower(b[i])) return false;
  }
  return true;
}

}  // namespace turnpike
