// The Windows build decodes with the shell's own function, so that a URL is
// matched exactly as the rest of Windows would read it.
#include "platform/url_unescape.h"

#include <windows.h>
#include <shlwapi.h>

// shlwapi.h defines a two-argument macro of this very name.
#undef UrlUnescapeInPlace

namespace turnpike {

void UrlUnescapeInPlace(char* url) noexcept {
  // In place the output never outgrows the input, so the result (only a
  // buffer-size complaint is possible) tells nothing worth acting on.
  (void)UrlUnescapeA(url, nullptr, nullptr, URL_UNESCAPE_INPLACE | URL_DONT_UNESCAPE_EXTRA_INFO);
}

}  // namespace turnpike
