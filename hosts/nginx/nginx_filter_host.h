// NginxFilterHost: one nginx request as the filter's FilterHost.
//
// Built by the access-phase handler over the request, used for one step of
// the decision on the worker's event loop, then dropped.
//
// How each operation maps:
//   - GetUrl: r->unparsed_uri, the request target as the browser sent it
//     (path and query; nginx keeps the path of an absolute-form target, and
//     :path under HTTP/2). It stays the browser's after rewrites and
//     internal redirects.
//   - GetHeader: the request headers with that name, in any letter case;
//     several Cookie headers (HTTP/2 sends one per cookie) are joined with
//     "; ", one cookie list as HTTP/1.1 sends it.
//   - ReplaceHeader: every request header of that name goes, and the value
//     is added once: proxy_pass, fastcgi_pass (HTTP_*), uwsgi_pass and
//     scgi_pass forward the request's header list, so the back end sees this
//     value and no other. The value is also what $turnpike_user gives.
//     Refuses a value holding CR, LF or NUL.
//   - RemoveLookAlikeHeaders: every request header whose name looks like
//     the one given leaves the list (RemoveLookAlikeRequestHeaders).
//   - GetServerVariable "HTTPS": "on" on a TLS connection, else "off".
//   - GetServerVariable "SERVER_NAME": the server block's first server_name
//     (never the Host header, which would let a browser choose the service
//     its ticket is validated for), and the port the connection came in on
//     unless it is the scheme's default; IPv6 literals in brackets. False
//     without a plain name (none, a wildcard or a regular expression): set
//     ServerBaseURL then.
//   - GetServerPath: r->uri, the path nginx matches locations against and
//     serves: escapes decoded, dot segments removed, slashes merged as
//     merge_slashes says, after any rewrite. False when it holds a NUL.
//   - ProtectedByServer: `turnpike on` in the location serving the request.
//   - SendAnswer: recorded whole; the handler sends it when the step is over
//     (SendRecordedAnswer), since an answer ends the request.
//   - RequestEventLog: the request's connection log.
//
// Not thread-safe; needs none: a request belongs to its worker's event loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "hosts/nginx/nginx_event_log.h"
#include "hosts/nginx/nginx_headers.h"
#include "platform/answer.h"
#include "platform/filter_host.h"

namespace turnpike {

class NginxFilterHost final : public FilterHost {
 public:
  // `user`: where the identity given to the application is kept for
  // $turnpike_user, in the request's pool. `scrubbed`: the handler has
  // already removed the identity header's look-alikes and the headers under
  // the attribute prefix from this request, so the removals need not look
  // again.
  NginxFilterHost(ngx_http_request_t* request, bool protected_by_location, ngx_str_t* user,
                  bool scrubbed = false) noexcept
      : request_(request), protected_(protected_by_location), scrubbed_(scrubbed), user_(user),
        events_(request) {}

  bool GetUrl(char* buffer, std::uint32_t* size) override;
  bool GetHeader(const char* name, char* buffer, std::uint32_t* size) override;
  bool ReplaceHeader(const char* name, const char* value) override;
  bool RemoveLookAlikeHeaders(const char* name) override;
  bool RemovePrefixedHeaders(const char* prefix) override;
  bool GetServerVariable(const char* name, char* buffer, std::uint32_t* size) override;
  bool GetServerPath(char* buffer, std::uint32_t* size) override;
  bool ProtectedByServer() noexcept override { return protected_; }
  bool SendAnswer(const Answer& answer) override;
  EventLogAccess* RequestEventLog() noexcept override { return &events_; }

  const std::optional<Answer>& answer() const noexcept { return answer_; }
  // Whether the identity header was set by this step.
  bool identity_set() const noexcept { return identity_set_; }

 private:
  ngx_http_request_t* request_;
  bool protected_;
  bool scrubbed_;
  ngx_str_t* user_;
  NginxRequestEventLog events_;
  std::optional<Answer> answer_;
  bool identity_set_ = false;
};

// Takes every request header whose name looks like `name`
// (HeaderNamesLookAlike) out of the request's list. False when the request's
// pool had no memory for the shorter list; the list is then as it was.
bool RemoveLookAlikeRequestHeaders(ngx_http_request_t* request, std::string_view name) noexcept;

// Takes every request header whose name starts like `prefix`
// (HeaderNameStartsLike) out of the request's list, as above.
bool RemovePrefixedRequestHeaders(ngx_http_request_t* request, std::string_view prefix) noexcept;

// Sends `answer` as the whole response: status line, Location, Set-Cookie,
// Cache-Control, the body. What ngx_http_finalize_request takes next.
ngx_int_t SendRecordedAnswer(ngx_http_request_t* request, const Answer& answer) noexcept;

}  // namespace turnpike
