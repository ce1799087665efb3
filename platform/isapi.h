// The ISAPI filter constants and structures that the core needs, with the
// numbers and the memory layout of the Windows SDK's httpfilt.h.
//
// They are defined here, under names of their own, so that the portable core
// never includes a Windows header; the Windows layer checks at compile time
// that each one equals its SDK counterpart and converts at the boundary. The
// comment beside each gives the ISAPI name.
#pragma once

#include <cstdint>

namespace turnpike {

using Dword = std::uint32_t;  // DWORD: 32 bits on every Windows target

// What the filter answers for one notification (SF_STATUS_TYPE). The request
// decision returns exactly these three.
enum class FilterStatus : Dword {
  FinishedKeepConn = 0x8000001,  // SF_STATUS_REQ_FINISHED_KEEP_CONN: a redirect was sent
  NextNotification = 0x8000002,  // SF_STATUS_REQ_NEXT_NOTIFICATION: let the request go on
  Error = 0x8000004,             // SF_STATUS_REQ_ERROR: the request failed
};

// The ISAPI name of a status, as administrators see it in IIS documentation.
constexpr const char* IsapiStatusName(FilterStatus status) noexcept {
  switch (status) {
    case FilterStatus::FinishedKeepConn: return "SF_STATUS_REQ_FINISHED_KEEP_CONN";
    case FilterStatus::NextNotification: return "SF_STATUS_REQ_NEXT_NOTIFICATION";
    case FilterStatus::Error: return "SF_STATUS_REQ_ERROR";
  }
  return "SF_STATUS_UNKNOWN";
}

inline constexpr Dword kSfNotifyPreprocHeaders = 0x00004000;  // SF_NOTIFY_PREPROC_HEADERS
inline constexpr Dword kSfNotifyOrderHigh = 0x00080000;       // SF_NOTIFY_ORDER_HIGH
inline constexpr Dword kSfReqSendResponseHeader = 0;          // SF_REQ_SEND_RESPONSE_HEADER
inline constexpr unsigned kSfMaxFilterDescLen = 256 + 1;      // SF_MAX_FILTER_DESC_LEN

// HTTP_FILTER_VERSION, field for field.
struct HttpFilterVersion {
  Dword dwServerFilterVersion;
  Dword dwFilterVersion;
  char lpszFilterDesc[kSfMaxFilterDescLen];
  Dword dwFlags;
};

}  // namespace turnpike
