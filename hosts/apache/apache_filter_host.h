// ApacheFilterHost: one Apache request as the filter's FilterHost.
//
// Built by the post_read_request hook over the request_rec Apache has just
// read, used for that one call on that request's thread, then dropped.
//
// How each operation maps:
//   - GetHeader "url": r->unparsed_uri, the request line's URL exactly as the
//     browser sent it (neither unescaped nor normalised), which is what the
//     protected-path match and the service URL are defined on.
//   - GetHeader of any other name ("Cookie:"): the first value of that header
//     in r->headers_in (names without regard to case, trailing colon
//     dropped). False when absent, or when the value and its terminator do not
//     fit the caller's buffer; `*size` then holds the size needed.
//   - SetHeader / AddHeader: the request headers the application will see
//     (r->headers_in, hence HTTP_* for CGI and SSI and the headers mod_proxy
//     forwards). SetHeader replaces every value the browser sent under that
//     name and is false when there is none to replace. Both refuse a value
//     holding CR or LF: these headers travel on to CGI programs and
//     proxied back ends, where such a value would split into a header of
//     its own.
//   - GetServerVariable "HTTPS": "on" when Apache names the request's scheme
//     https (mod_ssl on this server, or `ServerName https://...` behind a
//     TLS-terminating proxy), "off" otherwise.
//   - GetServerVariable "SERVER_NAME": the name Apache uses in URLs that point
//     back to itself (UseCanonicalName decides between ServerName and the
//     browser's Host), IPv6 literals in brackets, followed by ":port" when the
//     port is not the scheme's default. The core builds the service URL from
//     it and adds no port of its own; without the port a site on 8080 would
//     send the browser back to port 80. Other variables: false.
//   - SendResponseHeader: records the answer; nothing is written yet. The
//     status line becomes r->status / r->status_line, and every "Name: value"
//     line of the block goes to r->err_headers_out (kept when Apache builds
//     the response). The hook then ends the request, and Apache sends the
//     status line and these headers with "Content-Length: 0" and no body. A
//     block that is not "Name: value" lines is refused whole and nothing is
//     recorded.
//
// Not thread-safe; needs none: a request belongs to one thread.
#pragma once

#include <cstdint>

#include "hosts/apache/apache_headers.h"
#include "platform/filter_host.h"

namespace turnpike {

class ApacheFilterHost final : public FilterHost {
 public:
  explicit ApacheFilterHost(request_rec* request) noexcept : request_(request) {}

  bool GetHeader(const char* name, char* buffer, std::uint32_t* size) override;
  bool SetHeader(const char* name, const char* value) override;
  bool AddHeader(const char* name, const char* value) override;
  bool GetServerVariable(const char* name, char* buffer, std::uint32_t* size) override;
  bool SendResponseHeader(const char* status_text, const char* headers) override;

  // Whether SendResponseHeader has recorded an answer.
  bool answered() const noexcept { return answered_; }

 private:
  request_rec* request_;
  bool answered_ = false;
};

}  // namespace turnpike
