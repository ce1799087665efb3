// FilterHost: the web server's side of one request, as the filter uses it.
//
// One FilterHost stands for a single request (ISAPI's HTTP_FILTER_CONTEXT and
// HTTP_FILTER_PREPROC_HEADERS, Apache's request_rec). It is used only while
// the filter handles that request, on the thread the host calls the filter
// on, and is never shared between requests; implementations need no locking.
//
// Header names are plain ("Cookie", "CASUser"): a host whose interface wants
// them otherwise (ISAPI's trailing colon) converts them itself.
//
// What callers rely on is only the boolean each operation returns; how the
// host stores headers or forms the response is its own business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/sign_on.h"
#include "platform/answer.h"
#include "platform/event_log_access.h"

namespace turnpike {

// What reading a request's body came to (FilterHost::ReadBody).
enum class BodyRead {
  Whole,        // the whole body, at most the limit
  TooLarge,     // more than the limit: the first `limit` bytes
  Unavailable,  // this host cannot read bodies before the application does
  Failed,       // the body could not be read (the client went away, a time-out)
};

class FilterHost {
 public:
  virtual ~FilterHost() = default;

  // The request line's URL with its query, exactly as sent (neither
  // unescaped nor normalised), NUL-terminated, into `buffer`, whose capacity
  // the caller passes in `*size`. False when it is absent, does not fit, or
  // anything else fails; when it does not fit, a host that can tell leaves
  // the size it needs in `*size` (as ISAPI does with
  // ERROR_INSUFFICIENT_BUFFER), so that the caller can ask again with a
  // larger buffer. On false the buffer's contents are unspecified.
  virtual bool GetUrl(char* buffer, std::uint32_t* size) = 0;

  // As GetUrl, for the value of a request header. "Cookie" gives every
  // cookie the request carries: a host that holds several Cookie headers
  // hands them over as one value, joined as the host joins them.
  virtual bool GetHeader(const char* name, char* buffer, std::uint32_t* size) = 0;

  // Gives the application `value` under the header `name`, in place of
  // every value the browser sent under that name, however long. False when
  // the host could not, or could not be sure that no value of the browser's
  // is left beside it; the request must then not go on.
  virtual bool ReplaceHeader(const char* name, const char* value) = 0;

  // Removes every request header whose name looks like `name` (see
  // HeaderNamesLookAlike): applications behind the server may fold such
  // names into the one they read. True when none is left; false when the
  // host could not find out, and the caller must then not trust the
  // request's headers.
  virtual bool RemoveLookAlikeHeaders(const char* name) = 0;

  // Removes every request header whose name starts like `prefix` (see
  // HeaderNameStartsLike): the attribute headers' look-alikes. True when
  // none is left; false when the host could not find out (this default),
  // and the caller must then not pass attributes on.
  virtual bool RemovePrefixedHeaders(const char* /*prefix*/) { return false; }

  // As GetUrl, for a server variable ("HTTPS", "SERVER_NAME").
  virtual bool GetServerVariable(const char* name, char* buffer, std::uint32_t* size) = 0;

  // As GetUrl, for the path the server will serve: percent escapes decoded
  // and dot segments removed as the server itself does before it maps the
  // request, without the query. False when the host has no such form (ISAPI
  // gives only the URL as sent) or the server will refuse the path on its
  // own; the filter then judges the URL as sent alone.
  virtual bool GetServerPath(char*, std::uint32_t*) { return false; }

  // The request's body, up to `limit` bytes, into `body` (replacing what it
  // held). Whatever the filter then decides, a request it lets on reaches
  // the application with every byte of its body: the host keeps what it
  // read for it. Called only for a request that has a body to look at.
  virtual BodyRead ReadBody(std::size_t, std::string&) { return BodyRead::Unavailable; }

  // Sends `answer` as the response to the request, which ends there. True
  // when it went out.
  virtual bool SendAnswer(const Answer& answer) = 0;

  // Whether the server's own configuration protects this request whatever
  // the protected paths say (nginx: `turnpike on` in the location that
  // serves it, after nginx's own decoding and location matching). False:
  // the paths alone decide, as they always do beside it.
  virtual bool ProtectedByServer() noexcept { return false; }

  // Told of the sign-on a known cookie names, once the identity header is
  // set and the request may go on; nothing is asked of the host. A host
  // whose own access rules read the user or the attributes (Apache's
  // `Require`) keeps it for the rest of the request.
  virtual void SignedOn(const SignOn&) {}

  // Where the events of this request go: a host that ties each event to its
  // request (Apache writes the client and the virtual host's log) answers a
  // log of its own for the request; null: the filter's log.
  virtual EventLogAccess* RequestEventLog() noexcept { return nullptr; }
};

// Whether two header names would reach an application as the same one:
// equal once ASCII letter case is folded and '-', '_' and '.' are taken as
// one character, which is how CGI, WSGI, Rack, PHP and several application
// servers turn a header name into the variable they read (CAS-User and
// CAS_User both become HTTP_CAS_USER). A trailing colon on either is
// ignored.
constexpr bool HeaderNamesLookAlike(std::string_view a, std::string_view b) noexcept {
  if (!a.empty() && a.back() == ':') a.remove_suffix(1);
  if (!b.empty() && b.back() == ':') b.remove_suffix(1);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x == '_' || x == '.') x = '-';
    if (y == '_' || y == '.') y = '-';
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Whether a header name starts with what an application would read as
// `prefix` (HeaderNamesLookAlike on the name's first characters): CAS_mail
// and cas.Mail both start like "CAS-". A trailing colon on the name is
// ignored.
constexpr bool HeaderNameStartsLike(std::string_view name, std::string_view prefix) noexcept {
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return name.size() >= prefix.size() && HeaderNamesLookAlike(name.substr(0, prefix.size()), prefix);
}

}  // namespace turnpike
