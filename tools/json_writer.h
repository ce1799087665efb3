// A minimal JSON writer for turnpike-try's JSON Lines output.
#pragma once

#include <string>
#include <string_view>

namespace turnpike {

// `text` as a JSON string literal, quotes included. Valid UTF-8 passes as it
// is; control characters are escaped, and every byte that is not part of a
// valid UTF-8 sequence becomes \u00XX (read as Latin-1), so the output is
// always valid JSON whatever bytes a URL or a CAS server carried.
std::string JsonString(std::string_view text);

}  // namespace turnpike
