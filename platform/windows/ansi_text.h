// Conversions between the filter's 8-bit strings and the UTF-16 strings of
// COM, through the system's ANSI code page, as every other 8-bit text on the
// server is read.
//
// UTF-16 to 8 bits is exact or says that it is not: never best fit, which
// would turn full-width "ａｄｍｉｎ" (another account) into "admin" and "Łukasz"
// into "Lukasz". A character the code page lacks becomes the code page's
// default character and the result is marked not exact (NarrowText).
//
// Both answer nothing only when the platform refuses the conversion or a
// length does not fit in an int. Allocation failures of std::string throw
// std::bad_alloc. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/validation_platform.h"
#include "platform/windows/com.h"

namespace turnpike {

std::optional<Bstr> AnsiToBstr(std::string_view text);

// The whole BSTR, embedded NULs included; a null BSTR is "".
std::optional<NarrowText> BstrToAnsi(BSTR text);

// As BstrToAnsi, into the code page `code_page` (a number, not CP_ACP).
// UTF-8 takes neither best fit nor a default character: every character
// converts, and an unpaired surrogate comes out as U+FFFD, not exact. The
// code pages that take neither and are not UTF-8 (UTF-7, the ISO-2022
// family, ISCII, symbol) are never a system's ANSI code page; given one, the
// platform refuses the call and the answer is nothing, never a lossy text.
std::optional<NarrowText> WideToCodePage(UINT code_page, std::wstring_view text);

}  // namespace turnpike
