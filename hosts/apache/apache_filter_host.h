// ApacheFilterHost: one Apache request as the filter's FilterHost.
//
// Built by the post_read_request hook over the request_rec Apache has just
// read, used for that one call on that request's thread, then dropped.
//
// How each operation maps:
//   - GetUrl: the request target in origin form (path and query). A
//     target sent in origin form is r->unparsed_uri, exactly as the browser
//     sent it (neither unescaped nor normalised); one in absolute form
//     ("GET http://host/secure/ HTTP/1.1", or "http:/secure/") is rebuilt
//     from Apache's own parse of it, r->parsed_uri's path and query, which is
//     what Apache serves. Searching the text for "://" instead would let
//     "http:/secure/page?x=://y" pass as "/y".
//   - GetHeader ("Cookie"): the value of that header in r->headers_in (names
//     without regard to case); Apache has already joined repeated headers
//     with ", ". False when absent, or when the value and its terminator do
//     not fit the caller's buffer; `*size` then holds the size needed.
//   - ReplaceHeader: the request headers the application will see
//     (r->headers_in, hence HTTP_* for CGI and SSI and the headers mod_proxy
//     forwards): apr_table_set, which drops every value the browser sent
//     under that name in any letter case. Refuses a value holding CR or LF:
//     these headers travel on to CGI programs and proxied back ends, where
//     such a value would split into a header of its own.
//   - RemoveLookAlikeHeaders: unsets every header of r->headers_in whose
//     name looks like the one given (RemoveLookAlikes below).
//   - RemovePrefixedHeaders: unsets every header of r->headers_in whose
//     name starts like the prefix (RemovePrefixed below).
//   - GetServerVariable "HTTPS": "on" when Apache names the request's scheme
//     https (mod_ssl on this server, or `ServerName https://...` behind a
//     TLS-terminating proxy), "off" otherwise.
//   - GetServerVariable "SERVER_NAME": the virtual host's own name, as
//     `UseCanonicalName On` gives it whatever that directive says: its
//     ServerName, and the ServerName's port (or the <VirtualHost>'s), else
//     the port the connection came in on, or with a ServerName that names
//     its scheme the scheme's own port; the port only when it is not the
//     scheme's default; IPv6 literals in brackets. Never the browser's Host
//     header, which would let a browser choose the service a ticket is
//     validated for. Other variables: false.
//   - GetServerPath: r->parsed_uri.path brought into the form Apache itself
//     serves (ap_process_request_internal, which runs after this hook):
//     dot segments removed, slashes merged, escapes decoded (an escaped
//     slash too), dot segments removed again. False when Apache will refuse
//     the path itself (above the root, a bad or NUL escape).
//   - GetServerVariable "REQUEST_METHOD": r->method.
//   - ReadBody: reads the body through the request's input filters (the
//     HTTP input filter undoes the chunking; the limit is Apache's main
//     LimitRequestBody, since no <Directory> or <Location> applies yet) up
//     to one byte past the limit, then puts what it read back in front of
//     them (the TURNPIKE_KEPT_BODY input filter), so that a handler, CGI
//     program or proxied back end that reads the body gets every byte.
//   - SendAnswer: the status becomes r->status / r->status_line, Location,
//     Set-Cookie and Cache-Control go to r->err_headers_out (kept when Apache
//     builds the response, whichever way), a body is written with its
//     content type (Apache counts its length). The hook then ends the
//     request, and Apache sends the rest. An answer with CR or LF in a
//     header value is refused whole and nothing is recorded.
//   - RequestEventLog: the events of this request, tagged with it.
//   - ProtectedByServer: as the authentication hook says (AuthType Turnpike).
//   - SignedOn: the sign-on is kept with the request (KeepSignOn), for the
//     authentication hook and the `Require` providers that come later in
//     the same request.
//
// Not thread-safe; needs none: a request belongs to one thread.
#pragma once

#include <cstdint>

#include "hosts/apache/apache_event_log.h"
#include "hosts/apache/apache_headers.h"
#include "platform/filter_host.h"

namespace turnpike {

class ApacheFilterHost final : public FilterHost {
 public:
  // `scrubbed`: the request's look-alikes of the identity header, and its
  // headers under the attribute prefix, are gone already (the hook removed
  // them before the filter ran), so the removals need not look again.
  // `protected_by_server`: Apache's own configuration protects the request
  // (AuthType Turnpike); the filter then needs no protected path in it.
  explicit ApacheFilterHost(request_rec* request, bool scrubbed = false,
                            bool protected_by_server = false) noexcept
      : request_(request), scrubbed_(scrubbed), protected_by_server_(protected_by_server),
        events_(request) {}

  bool GetUrl(char* buffer, std::uint32_t* size) override;
  bool GetHeader(const char* name, char* buffer, std::uint32_t* size) override;
  bool ReplaceHeader(const char* name, const char* value) override;
  bool RemoveLookAlikeHeaders(const char* name) override;
  bool RemovePrefixedHeaders(const char* prefix) override;
  bool GetServerVariable(const char* name, char* buffer, std::uint32_t* size) override;
  bool GetServerPath(char* buffer, std::uint32_t* size) override;
  bool SendAnswer(const Answer& answer) override;
  BodyRead ReadBody(std::size_t limit, std::string& body) override;
  EventLogAccess* RequestEventLog() noexcept override { return &events_; }
  bool ProtectedByServer() noexcept override { return protected_by_server_; }
  void SignedOn(const SignOn& sign_on) override;

  // Whether SendResponseHeader has recorded an answer.
  bool answered() const noexcept { return answered_; }

 private:
  request_rec* request_;
  bool scrubbed_;
  bool protected_by_server_;
  ApacheRequestEventLog events_;
  bool answered_ = false;
};

// Registers the input filter that hands a request's body, as ReadBody read
// it, to whoever reads the body next. Called once, from the module's hook
// registration.
void RegisterKeptBodyFilter() noexcept;
// Keeps a copy of `sign_on` with `request` until its pool is cleared.
void KeepSignOn(request_rec* request, const SignOn& sign_on);

// The sign-on kept with `request`, or with the request it is a subrequest
// or an internal redirect of (ErrorDocument, DirectoryIndex, mod_rewrite's
// internal redirects), nearest first; null when none was kept. Valid while
// that request's pool lives.
const SignOn* KeptSignOn(const request_rec* request) noexcept;

// Unsets every header of `headers` whose name looks like `name`
// (HeaderNamesLookAlike); allocates nothing.
void RemoveLookAlikes(apr_table_t* headers, const char* name) noexcept;

// Unsets every header of `headers` whose name starts like `prefix`
// (HeaderNameStartsLike); allocates nothing.
void RemovePrefixed(apr_table_t* headers, const char* prefix) noexcept;

}  // namespace turnpike
