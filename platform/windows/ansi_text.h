// Conversions between the filter's 8-bit strings and the UTF-16 strings of
// COM, through the system's ANSI code page (CP_ACP), as every other 8-bit
// text on the server is read.
//
// A character the code page cannot hold becomes the code page's default
// character ('?'); nothing fails on content. Both answer nothing only when
// the platform refuses the conversion or a length does not fit in an int.
// Allocation failures of std::string throw std::bad_alloc. Thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/windows/com.h"

namespace turnpike {

std::optional<Bstr> AnsiToBstr(std::string_view text);

// The whole BSTR, embedded NULs included; a null BSTR is "".
std::optional<std::string> BstrToAnsi(BSTR text);

}  // namespace turnpike
