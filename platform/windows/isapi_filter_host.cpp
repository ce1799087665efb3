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

namespace {

// The presence test of the identity header reads into a buffer of the size
// every header buffer of the filter once had.
constexpr DWORD kPresenceTestSize = 2083;

std::string WithColon(const char* name) {
  std::string isapi_name(name);
  isapi_name += ':';
  return isapi_name;
}

}  // namespace

bool IsapiFilterHost::GetUrl(char* buffer, std::uint32_t* size) {
  if (headers_.GetHeader == nullptr) return false;
  DWORD capacity = *size;
  const BOOL got = headers_.GetHeader(&context_, const_cast<LPSTR>("url"), buffer, &capacity);
  *size = capacity;
  return got != FALSE;
}

bool IsapiFilterHost::GetHeader(const char* name, char* buffer, std::uint32_t* size) {
  if (headers_.GetHeader == nullptr) return false;
  std::string isapi_name = WithColon(name);
  DWORD capacity = *size;
  const BOOL got = headers_.GetHeader(&context_, isapi_name.data(), buffer, &capacity);
  *size = capacity;
  return got != FALSE;
}

bool IsapiFilterHost::ReplaceHeader(const char* name, const char* value) {
  if (headers_.GetHeader == nullptr || headers_.SetHeader == nullptr || headers_.AddHeader == nullptr) {
    return false;
  }
  std::string isapi_name = WithColon(name);
  // The presence test cannot tell a missing header from one whose value is
  // too long to read, and a browser can send either. So when the header does
  // not read back, SetHeader is still tried first: it replaces a value of any
  // length, and AddHeader is left for the case where IIS holds nothing to
  // replace. A header that reads back is only ever replaced: adding a second
  // one beside it would hand the application the browser's value.
  char probe[kPresenceTestSize];
  DWORD probe_size = sizeof probe;
  const bool readable = headers_.GetHeader(&context_, isapi_name.data(), probe, &probe_size) != FALSE;
  LPSTR isapi_value = const_cast<LPSTR>(value);
  return headers_.SetHeader(&context_, isapi_name.data(), isapi_value) != FALSE ||
         (!readable && headers_.AddHeader(&context_, isapi_name.data(), isapi_value) != FALSE);
}

bool IsapiFilterHost::RemoveLookAlikeHeaders(const char* name) {
  return RemoveRawHeaders([name](std::string_view header) { return HeaderNamesLookAlike(header, name); });
}

bool IsapiFilterHost::RemovePrefixedHeaders(const char* prefix) {
  return RemoveRawHeaders([prefix](std::string_view header) { return HeaderNameStartsLike(header, prefix); });
}

template <typename Matches>
bool IsapiFilterHost::RemoveRawHeaders(Matches matches) {
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
    if (!matches(header)) continue;
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

bool IsapiFilterHost::SendAnswer(const Answer& answer) {
  if (context_.ServerSupportFunction == nullptr) return false;
  char status[32];
  char block[kIsapiHeaderBlockSize];
  FormatIsapiHeaderBlock(answer, block);
  // The status goes as pData, the header block's address as ul1.
  if (context_.ServerSupportFunction(&context_, SF_REQ_SEND_RESPONSE_HEADER,
                                     const_cast<char*>(FormatIsapiStatus(answer, status)),
                                     reinterpret_cast<ULONG_PTR>(block), 0) == FALSE) {
    return false;
  }
  if (answer.body.empty()) return true;
  if (context_.WriteClient == nullptr) return false;
  DWORD written = static_cast<DWORD>(answer.body.size());
  // The body is only read, whatever the callback's signature says.
  return context_.WriteClient(&context_, const_cast<char*>(answer.body.data()), &written, 0) != FALSE &&
         written == answer.body.size();
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
