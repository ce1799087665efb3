// The texts of the events that a credentials store reports, shared by every
// store so that a sign-on reads the same in the log whichever keeps it. The
// trailing blanks and the ".:" belong to the texts.
#pragma once

namespace turnpike::cache_messages {

inline constexpr const char* kEntriesCreated = "The Turnpike filter created authentication map entries for:";
inline constexpr const char* kTokenNotHeld =
    "The Turnpike filter was unable to look up an authentication record for: ";
inline constexpr const char* kTimestampFound =
    "The Turnpike filter has retrieved the timestamp artifact from the Auth map.:";
inline constexpr const char* kUserHalfMissingOnDelete = "The Turnpike filter was unable to delete the user artifact at:";
inline constexpr const char* kUserHalfMissingOnLookup =
    "The Turnpike filter was unable to retrieve the user artifact at: ";
inline constexpr const char* kUserCopyFailed = "The Turnpike filter was unable to create the user string. ";
inline constexpr const char* kUserFound =
    "The Turnpike filter has determined the timestamp artifact is unexpired, setting user id:";
inline constexpr const char* kEmptyWhileCleaning =
    "The Turnpike filter was found the auth timestamp map empty while cleaning";
inline constexpr const char* kCleaned = "The Turnpike filter successfully cleaned the credentials cache";
inline constexpr const char* kNoRandomCookie =
    "The Turnpike filter could not draw an opaque cookie value from the system's random generator for:";

}  // namespace turnpike::cache_messages
