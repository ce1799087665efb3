// In-place percent-decoding of a URL before its query, for matching only.
//
// The rule of the Windows shell function UrlUnescapeA called with
// URL_UNESCAPE_INPLACE | URL_DONT_UNESCAPE_EXTRA_INFO: walking the URL, every
// '%' followed by two hexadecimal digits becomes the byte they spell, until
// the first '?' or '#', after which nothing is decoded. Anything else stays,
// including a '%' not followed by two hex digits and '+'. A decoded %00 ends
// the string there, as it does on Windows.
//
// Does not allocate; safe on any thread for a buffer the caller owns.
#pragma once

namespace turnpike {

void UrlUnescapeInPlace(char* url) noexcept;

}  // namespace turnpike
