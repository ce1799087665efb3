#include "platform/windows/isapi_filter_host.h"

#include <cstddef>
#include <cstring>

namespace turnpike {

// The core's mirror of httpfilt.h must agree with the SDK, number for number
// and byte for byte.
static_assert(static_cast<DWORD>(FilterStatus::FinishedKeepConn) == SF_STATUS_REQ_FINISHED_KEEP_CONN);
static_assert(static_cast<DWORD>(FilterStatus::NextNotification) == SF_STATUS_REQ_NEXT_NOTIFICATION);
static_assert(static_cast<DWORD>(FilterStatus::Error) == SF_STATUS_REQ_ERROR);
static_assert(kSfNotifyPreprocHeaders == SF_NOTIFY_PREPROC_HEADERS);
static_assert(kSfNotifyOrderHigh == SF_NOTIFY_ORDER_HIGH);
static_assert(kSfReqSendResponseHeader == SF_REQ_SEND_RESPONSE_HEADER);
static_assert(kSfMaxFilterDescLen == SF_MAX_FILTER_DESC_LEN);
static_assert(sizeof(Dword) == sizeof(DWORD));
static_assert(sizeof(HttpFilterVersion) == sizeof(HTTP_FILTER_VERSION));
static_assert(offsetof(HttpFilterVersion, dwServerFilterVersion) ==
              offsetof(HTTP_FILTER_VERSION, dwServerFilterVersion));
static_assert(offsetof(HttpFilterVersion, dwFilterVersion) ==
              offsetof(HTTP_FILTER_VERSION, dwFilterVersion));
static_assert(offsetof(HttpFilterVersion, lpszFilterDesc) ==
              offsetof(HTTP_FILTER_VERSION, lpszFilterDesc));
static_assert(offsetof(HttpFilterVersion, dwFlags) == offsetof(HTTP_FILTER_VERSION, dwFlags));

// The ISAPI callbacks take names and values as LPSTR but only read them.

bool IsapiFilterHost::GetHeader(const char* name, char* buffer, std::uint32_t* size) {
  if (headers_.GetHeader == nullptr) return false;
  DWORD capacity = *size;
  const BOOL got = headers_.GetHeader(&context_, const_cast<LPSTR>(name), buffer, &capacity);
  *size = capacity;
  return got != FALSE;
}

bool IsapiFilterHost::SetHeader(const char* name, const char* value) {
  if (headers_.SetHeader == nullptr) return false;
  return headers_.SetHeader(&context_, const_cast<LPSTR>(name), const_cast<LPSTR>(value)) != FALSE;
}

bool IsapiFilterHost::AddHeader(const char* name, const char* value) {
  if (headers_.AddHeader == nullptr) return false;
  return headers_.AddHeader(&context_, const_cast<LPSTR>(name), const_cast<LPSTR>(value)) != FALSE;
}

bool IsapiFilterHost::GetServerVariable(const char* name, char* buffer, std::uint32_t* size) {
  if (context_.GetServerVariable == nullptr) return false;
  DWORD capacity = *size;
  const BOOL got = context_.GetServerVariable(&context_, const_cast<LPSTR>(name), buffer, &capacity);
  *size = capacity;
  return got != FALSE;
}

bool IsapiFilterHost::SendResponseHeader(const char* status_text, const char* headers) {
  if (context_.ServerSupportFunction == nullptr) return false;
  // The status goes as pData, the header block's address as ul1.
  return context_.ServerSupportFunction(&context_, SF_REQ_SEND_RESPONSE_HEADER,
                                        const_cast<char*>(status_text),
                                        reinterpret_cast<ULONG_PTR>(headers), 0) != FALSE;
}

DWORD ToIsapiStatus(FilterStatus status) noexcept {
  switch (status) {
    case FilterStatus::FinishedKeepConn: return SF_STATUS_REQ_FINISHED_KEEP_CONN;
    case FilterStatus::NextNotification: return SF_STATUS_REQ_NEXT_NOTIFICATION;
    case FilterStatus::Error: return SF_STATUS_REQ_ERROR;
  }
  return SF_STATUS_REQ_ERROR;
}

void CopyFilterVersion(const HttpFilterVersion& from, HTTP_FILTER_VERSION& to) noexcept {
  to.dwFilterVersion = from.dwFilterVersion;
  std::memcpy(to.lpszFilterDesc, from.lpszFilterDesc, sizeof to.lpszFilterDesc);
  to.dwFlags = from.dwFlags;
}

}  // namespace turnpike
