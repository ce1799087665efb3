// FilterHost: the web server's side of one request, as the filter uses it.
//
// One FilterHost stands for the filter context and the pre-processed headers
// record of a single request (ISAPI's HTTP_FILTER_CONTEXT and
// HTTP_FILTER_PREPROC_HEADERS, or Apache's request_rec). It is used only
// during the notification that lends it, on that notification's thread, and
// is never shared between requests; implementations need no locking.
//
// Header names follow the ISAPI convention: "url" is the request line's URL
// with its query, exactly as sent (neither unescaped nor normalised); every
// other name carries its trailing colon ("Cookie:", "CASUser:").
//
// What callers rely on is only the boolean each operation returns; how the
// host stores headers or forms the response is its own business.
#pragma once

#include <cstdint>
#include <string_view>

namespace turnpike {

class FilterHost {
 public:
  virtual ~FilterHost() = default;

  // Copies the header's value, NUL-terminated, into `buffer`, whose capacity
  // the caller passes in `*size`. True with the value; false when the header
  // is absent, its value and terminator do not fit, or anything else fails.
  // When they do not fit, a host that can tell leaves the size they need in
  // `*size` (as ISAPI does with ERROR_INSUFFICIENT_BUFFER), so that the
  // caller can ask again with a larger buffer. On false the buffer's
  // contents are unspecified.
  //
  // "Cookie:" gives every cookie the request carries: a host that holds
  // several Cookie headers hands them over as one value, joined as the host
  // joins them.
  virtual bool GetHeader(const char* name, char* buffer, std::uint32_t* size) = 0;

  // Replaces the value of a header the request already carries.
  virtual bool SetHeader(const char* name, const char* value) = 0;

  // Adds a header to the request.
  virtual bool AddHeader(const char* name, const char* value) = 0;

  // Removes every request header whose name looks like `name` (colon
  // included or not; see HeaderNamesLookAlike): applications behind the
  // server may fold such names into the one they read. True when none is
  // left; false when the host could not find out, and the caller must then
  // not trust the request's headers.
  virtual bool RemoveLookAlikeHeaders(const char* name) = 0;

  // As GetHeader, for a server variable ("HTTPS", "SERVER_NAME").
  virtual bool GetServerVariable(const char* name, char* buffer, std::uint32_t* size) = 0;

  // As GetHeader, for the path the server will serve: percent escapes
  // decoded and dot segments removed as the server itself does before it
  // maps the request, without the query. False when the host has no such
  // form (ISAPI gives only the URL as sent) or the server will refuse the
  // path on its own; the filter then judges the URL as sent alone.
  virtual bool GetServerPath(char*, std::uint32_t*) { return false; }

  // ServerSupportFunction(SF_REQ_SEND_RESPONSE_HEADER): sends the response
  // status line with `status_text` ("302 Redirection") and `headers`, a
  // complete header block ending in an empty line. True when it went out;
  // the request then ends, with no body unless WriteClient sends one.
  virtual bool SendResponseHeader(const char* status_text, const char* headers) = 0;

  // WriteClient: sends `length` bytes of response body after the header
  // block, whose Content-Length names them. True when they went out.
  virtual bool WriteClient(const char* data, std::uint32_t length) = 0;
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

}  // namespace turnpike
