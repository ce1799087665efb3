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

namespace turnpike {

class FilterHost {
 public:
  virtual ~FilterHost() = default;

  // Copies the header's value, NUL-terminated, into `buffer`, whose capacity
  // the caller passes in `*size`. True with the value; false when the header
  // is absent, its value and terminator do not fit, or anything else fails.
  // On false the buffer's contents are unspecified.
  virtual bool GetHeader(const char* name, char* buffer, std::uint32_t* size) = 0;

  // Replaces the value of a header the request already carries.
  virtual bool SetHeader(const char* name, const char* value) = 0;

  // Adds a header to the request.
  virtual bool AddHeader(const char* name, const char* value) = 0;

  // As GetHeader, for a server variable ("HTTPS", "SERVER_NAME").
  virtual bool GetServerVariable(const char* name, char* buffer, std::uint32_t* size) = 0;

  // ServerSupportFunction(SF_REQ_SEND_RESPONSE_HEADER): sends the response
  // status line with `status_text` ("302 Redirection") and `headers`, a
  // complete header block ending in an empty line. True when it went out; the
  // request then ends with no body.
  virtual bool SendResponseHeader(const char* status_text, const char* headers) = 0;
};

}  // namespace turnpike
