// Answer: what the filter sends a browser instead of letting its request on.
//
// The decision fills one and hands it to the host (FilterHost::SendAnswer),
// which puts it into its own response: IIS through one header block
// (FormatIsapiHeaderBlock below), Apache into the request record. Plain data;
// the body is static text the answer only points to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace turnpike {

struct Answer {
  std::uint16_t status = 302;
  const char* reason = "Redirection";  // the status line's text after the code
  std::string location;                // empty: no Location header
  std::vector<std::string> set_cookies;  // one Set-Cookie header each, in order
  const char* content_type = nullptr;  // with a body
  std::string_view body;               // static text; empty: none
  bool no_store = false;               // Cache-Control: no-store
  // Other headers (name without colon, value), after Set-Cookie, in order.
  std::vector<std::pair<std::string, std::string>> headers;
};

// IIS takes the status as one text ("302 Redirection") and the headers as
// one block of at most this many bytes, terminator included.
inline constexpr std::size_t kIsapiHeaderBlockSize = 4096;

// "<status> <reason>" into `out` (at least 32 bytes); the text it wrote.
const char* FormatIsapiStatus(const Answer& answer, char (&out)[32]) noexcept;

// The header block SF_REQ_SEND_RESPONSE_HEADER takes: Location, each
// Set-Cookie, the other headers, then for a body Content-Type, Content-Length and Cache-Control,
// each "Name: value" and CR LF, and the empty line that ends the block. A
// longer block is cut after kIsapiHeaderBlockSize - 1 bytes and sent as cut,
// without its closing empty line: only an oversized service URL or setting
// can make it that long. Allocates nothing.
void FormatIsapiHeaderBlock(const Answer& answer, char (&out)[kIsapiHeaderBlockSize]) noexcept;

}  // namespace turnpike
