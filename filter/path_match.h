// Finding the protected path that a request URL falls under.
#pragma once

#include "config/filter_settings.h"

namespace turnpike {

// Brings `url` into matching form, in place (percent escapes before the first
// '?' or '#' decoded once, ASCII capitals lowered), then returns the index of
// the first protected path, in list order, that occurs anywhere in it, or -1.
// A protected path is a plain substring, compared lowered: /secure matches
// /secured/a and /x?next=/secure, not only a path prefix.
//
// Allocates nothing; the path list is only read.
int FindProtectedPath(char* url, const ProtectedPathList& paths) noexcept;

}  // namespace turnpike
