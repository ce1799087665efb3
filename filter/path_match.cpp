#include "filter/path_match.h"

#include <cstring>

#include "common/ascii.h"
#include "platform/url_unescape.h"

namespace turnpike {

int FindProtectedPath(char* url, const ProtectedPathList& paths) noexcept {
  // Decoding once before the first path, rather than again before each,
  // keeps a doubly escaped URL at one level of decoding for every path.
  UrlUnescapeInPlace(url);
  AsciiLowerInPlace(url);
  for (std::size_t i = 0; i < paths.Count; ++i) {
    if (std::strstr(url, paths.LoweredPaths[i].c_str()) != nullptr) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace turnpike
