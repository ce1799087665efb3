// The sign-on handed to the application: the user in the identity header
// and, under AttributeHeaderPrefix, each attribute the CAS server released
// in a header of its own ("CAS-" and "mail" give CAS-mail).
//
// The value of an attribute header is its values in the answer's order,
// joined with ", ". Inside a value a backslash and a comma are preceded by a
// backslash, so that an application can split the header at every comma
// that follows no backslash; a control character (CR, LF, NUL, TAB and the
// rest below 0x20, and DEL) becomes "\x" and two upper-case hex digits, so
// that no value can end the header line or add one of its own. Bytes above
// 0x7F pass as they are (the filter's 8-bit form, as for the user name).
//
// An attribute whose name holds a character a header name may not (a
// blank, a colon, a byte above 0x7F) is skipped, and so is one whose header
// would look like the identity header or like an attribute header already
// given (another letter case, '_' or '.' for '-'): an application must never
// read an attribute as the user, nor one attribute for another. The
// attributes stay whole in the stores; only their headers are skipped.
//
// Safe on any thread; the settings are only read.
#pragma once

#include <string>
#include <vector>

#include "common/sign_on.h"
#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "platform/filter_host.h"
#include "platform/isapi.h"

namespace turnpike {

// The header value for `values`, escaped and joined as described above.
std::string AttributeHeaderValue(const std::vector<std::string>& values);

// Lets the request go on with `sign_on`: without AttributeHeaderPrefix, as
// SetIdentityHeader; with it, every header the browser sent whose name
// starts like the prefix is removed first, then the identity header and the
// attribute headers are set. Error, after an error event, when the host
// cannot do one of these: the application must not see a request with a
// browser's header left under the prefix.
FilterStatus PassSignOn(FilterHost& host, const FilterSettings& settings, const EventReporter& reporter,
                        const SignOn& sign_on);

}  // namespace turnpike
