// IsapiFilterHost: FilterHost over the two records IIS lends a filter for
// one SF_NOTIFY_PREPROC_HEADERS notification, HTTP_FILTER_CONTEXT and
// HTTP_FILTER_PREPROC_HEADERS.
//
// Header reads and writes go through the headers record's GetHeader,
// SetHeader and AddHeader, with the colon ISAPI wants after each name (the
// URL is the special name "url"), server variables through the context's
// GetServerVariable, the answer through the context's
// ServerSupportFunction(SF_REQ_SEND_RESPONSE_HEADER, status text, header
// block, 0), the block formatted and cut as FormatIsapiHeaderBlock says, and
// WriteClient for a body. Look-alike headers are found in the ALL_RAW
// server variable (every header line as the client sent it) and deleted by
// SetHeader with an empty value, which is how IIS deletes a request header.
// The records belong to IIS and to the one request; the host only borrows
// them for the notification's length and keeps nothing. A callback that IIS
// left empty counts as a failed call.
#pragma once

#include <windows.h>
#include <httpfilt.h>

#include "platform/filter_host.h"
#include "platform/isapi.h"

namespace turnpike {

class IsapiFilterHost final : public FilterHost {
 public:
  IsapiFilterHost(HTTP_FILTER_CONTEXT& context, HTTP_FILTER_PREPROC_HEADERS& headers) noexcept
      : context_(context), headers_(headers) {}

  bool GetUrl(char* buffer, std::uint32_t* size) override;
  bool GetHeader(const char* name, char* buffer, std::uint32_t* size) override;
  bool ReplaceHeader(const char* name, const char* value) override;
  bool RemoveLookAlikeHeaders(const char* name) override;
  bool RemovePrefixedHeaders(const char* prefix) override;
  bool GetServerVariable(const char* name, char* buffer, std::uint32_t* size) override;
  bool SendAnswer(const Answer& answer) override;

 private:
  // Deletes every header of ALL_RAW whose name `matches`.
  template <typename Matches>
  bool RemoveRawHeaders(Matches matches);

  HTTP_FILTER_CONTEXT& context_;
  HTTP_FILTER_PREPROC_HEADERS& headers_;
};

// The ISAPI number of a filter status.
DWORD ToIsapiStatus(FilterStatus status) noexcept;

// The core's copy of HTTP_FILTER_VERSION, field for field, into IIS's record.
void CopyFilterVersion(const HttpFilterVersion& from, HTTP_FILTER_VERSION& to) noexcept;

}  // namespace turnpike
