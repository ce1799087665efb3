#include "platform/url_unescape.h"

#include "common/ascii.h"

namespace turnpike {

void UrlUnescapeInPlace(char* url) noexcept {
  const char* in = url;
  char* out = url;
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
