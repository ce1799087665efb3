#include "filter/path_match.h"

#include <cstdint>
#include <cstring>

#include "common/ascii.h"
#include "platform/url_unescape.h"

namespace turnpike {
namespace {

// Lowers ASCII capitals in the `length` bytes at `text`, as AsciiLowerInPlace
// does up to the terminator, eight bytes at a time. In each byte below 0x80,
// adding 0x3F to its low seven bits sets the top bit from 'A' up and adding
// 0x25 from '[' up; where exactly the first is set, the byte is a capital
// and gets 0x20 added. Bytes from 0x80 up are left as they are.
void LowerAscii(char* text, std::size_t length) noexcept {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  constexpr std::uint64_t kTop = 0x8080808080808080ULL;
  std::size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text + i, 8);
    const std::uint64_t low = word & kLow7;
    const std::uint64_t from_a = low + 0x3F3F3F3F3F3F3F3FULL;
    const std::uint64_t after_z = low + 0x2525252525252525ULL;
    const std::uint64_t capitals = (from_a & ~after_z & ~word) & kTop;
    if (capitals != 0) {
      word |= capitals >> 2;
      std::memcpy(text + i, &word, 8);
    }
  }
  for (; i < length; ++i) text[i] = AsciiToLower(text[i]);
}

}  // namespace

int FindProtectedPath(char* url, const ProtectedPathList& paths) noexcept {
  // Decoding once before the first path, rather than again before each,
  // keeps a doubly escaped URL at one level of decoding for every path.
  UrlUnescapeInPlace(url);
  return FindProtectedPathInDecoded(url, paths);
}

int FindProtectedPathInDecoded(char* text, const ProtectedPathList& paths) noexcept {
  LowerAscii(text, std::strlen(text));
  for (std::size_t i = 0; i < paths.Count; ++i) {
    if (std::strstr(text, paths.LoweredPaths[i].c_str()) != nullptr) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool RemovePathParameters(char* text) noexcept {
  // Most paths hold no ';' at all: one scan answers them.
  char* semicolon = std::strchr(text, ';');
  if (semicolon == nullptr) return false;
  const std::size_t path_length = std::strcspn(text, "?#");
  if (semicolon >= text + path_length) return false;
  // Copy down from the first ';', skipping each parameter up to the '/'
  // that starts the next segment; the query and fragment follow unchanged.
  char* out = semicolon;
  const char* in = semicolon;
  const char* path_end = text + path_length;
  while (in < path_end) {
    if (*in == ';') {
      while (in < path_end && *in != '/') ++in;
    } else {
      *out++ = *in++;
    }
  }
  std::memmove(out, path_end, std::strlen(path_end) + 1);
  return true;
}

bool IsNormalPath(std::string_view url) noexcept {
  char previous = '\0';
  for (const char c : url) {
    if (c == '?' || c == '#') break;
    if (c == '%' || c == '\\' || (previous == '/' && (c == '/' || c == '.'))) return false;
    previous = c;
  }
  return true;
}

}  // namespace turnpike
