#include "platform/url_unescape.h"

#include <cstring>

#include "common/ascii.h"

namespace turnpike {

void UrlUnescapeInPlace(char* url) noexcept {
  // Most URLs hold no escape before their query. Up to the first '%', '?' or
  // '#' every byte would be copied onto itself, so the C library's scan
  // finds that point, and the walk begins there or not at all.
  char* out = url + std::strcspn(url, "%?#");
  if (*out != '%') return;
  const char* in = out;
  while (*in != '\0' && *in != '?' && *in != '#') {
    if (in[0] == '%' && IsAsciiHexDigit(in[1]) && IsAsciiHexDigit(in[2])) {
      *out++ = static_cast<char>(AsciiHexValue(in[1]) * 16 + AsciiHexValue(in[2]));
      in += 3;
    } else {
      *out++ = *in++;
    }
  }
  if (out == in) return;  // nothing decoded: the text is already in place
  while ((*out++ = *in++) != '\0') {
  }
}

}  // namespace turnpike
