#include "platform/windows/isapi_filter_host.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

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

bool IsapiFilterHost::RemoveLookAlikeHeaders(const char* name) {
  if (headers_.SetHeader == nullptr || context_.GetServerVariable == nullptr) return false;
  // ALL_RAW may be long: ask for the size first, then read it whole.
  std::string raw(1024, '\0');
  DWORD size = static_cast<DWORD>(raw.size());
  if (context_.GetServerVariable(&context_, const_cast<LPSTR>("ALL_RAW"), raw.data(), &size) == FALSE) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= raw.size()) return false;
    raw.assign(size, '\0');
    if (context_.GetServerVariable(&context_, const_cast<LPSTR>("ALL_RAW"), raw.data(), &size) ==
        FALSE) {
      return false;
    }
  }
  raw.resize(std::strlen(raw.c_str()));

  std::string_view rest(raw);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    const std::size_t colon = line.find(':');
    // A line that starts with a blank continues the one before it.
    if (colon == std::string_view::npos || line.empty() || line[0] == ' ' || line[0] == '\t') continue;
    const std::string_view header = line.substr(0, colon);
    if (!HeaderNamesLookAlike(header, name)) continue;
    std::string with_colon(header);
    with_colon += ':';
    char empty[] = "";
    if (headers_.SetHeader(&context_, with_colon.data(), empty) == FALSE) return false;
  }
  return true;
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

bool IsapiFilterHost::WriteClient(const char* data, std::uint32_t length) {
  if (context_.WriteClient == nullptr) return false;
  DWORD written = length;
  // The body is only read, whatever the callback's signature says.
  return context_.WriteClient(&context_, const_cast<char*>(data), &written, 0) != FALSE &&
         written == length;
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
