// Finding the protected path that a request falls under.
//
// A request is protected when a protected path occurs in the URL the
// browser sent or in the path the server will serve, since those may
// differ (escapes, dot segments, doubled slashes, ";parameters" that
// servlet containers drop). When in doubt, protect: every form is tried.
#pragma once

#include <string_view>

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

// As FindProtectedPath for text that needs no decoding (a path the server
// has already decoded): lowered in place, then searched.
int FindProtectedPathInDecoded(char* text, const ProtectedPathList& paths) noexcept;

// Removes, in place, the ";parameters" of every segment of the path that
// starts `text` (before its first '?' or '#'): "/secure;jsessionid=1/a;x"
// becomes "/secure/a", which is what servlet containers serve. True when
// anything was removed.
bool RemovePathParameters(char* text) noexcept;

// Whether the path of `url` (before its first '?' or '#') is already in the
// form every server brings a path into before it serves it: no percent
// escape to decode, no dot segment to remove, no doubled slash to merge, no
// backslash a server might take for a slash. The path a server serves for
// such a URL is the URL's own path, so there is nothing else to try.
bool IsNormalPath(std::string_view url) noexcept;

}  // namespace turnpike
