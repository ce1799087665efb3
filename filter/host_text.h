// HostText: a header, server variable or URL read from the host, of any
// length the host accepts.
//
// Values of ordinary length (below 2083 bytes, the size every buffer of the
// filter once had) are read into a buffer inside the object, so an ordinary
// request costs no heap allocation. A longer value, up to kMaxHostTextSize,
// is read again into a heap buffer of the size the host asks for. Browsers
// send long Cookie headers (analytics cookies) and long URLs, and a request
// whose cookie cannot be read would be sent round the login page forever.
//
// The text is NUL-terminated and stops at the first NUL the host put in it.
// Not thread-safe; one object belongs to one request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/filter_host.h"

namespace turnpike {

// The first read's buffer: values shorter than this cost no allocation.
inline constexpr std::uint32_t kHostTextInlineSize = 2083;
// The longest value read, terminator included: no web server accepts longer
// request lines or header fields by default.
inline constexpr std::uint32_t kMaxHostTextSize = 64 * 1024;

class HostText {
 public:
  HostText() noexcept { inline_[0] = '\0'; }
  HostText(const HostText&) = delete;
  HostText& operator=(const HostText&) = delete;

  // False when the header (variable, server path) is absent, its value is
  // longer than kMaxHostTextSize allows, or the host fails. May throw
  // std::bad_alloc for a long value.
  bool ReadUrl(FilterHost& host);
  bool ReadHeader(FilterHost& host, const char* name);
  bool ReadServerVariable(FilterHost& host, const char* name);
  bool ReadServerPath(FilterHost& host);

  // Holds a copy of `text` (the matching steps change their copy in place).
  void Assign(std::string_view text);

  char* data() noexcept { return data_; }
  const char* c_str() const noexcept { return data_; }
  std::string_view view() const noexcept { return {data_, size_}; }
  // Re-reads the length after the text was changed in place.
  void Resync() noexcept;

 private:
  template <typename Read>
  bool ReadWith(Read read);

  char inline_[kHostTextInlineSize];
  std::string heap_;
  char* data_ = inline_;
  std::size_t size_ = 0;
};

}  // namespace turnpike
