#include "hosts/apache/apache_filter_host.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "common/ascii.h"

namespace turnpike {
namespace {

// Copies `value` and its terminator when they fit in `*size` bytes, as ISAPI
// does; otherwise tells the size needed.
bool CopyOut(std::string_view value, char* buffer, std::uint32_t* size) noexcept {
  const std::size_t needed = value.size() + 1;
  if (needed > *size) {
    *size = needed > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(needed);
    return false;
  }
  std::memcpy(buffer, value.data(), value.size());
  buffer[value.size()] = '\0';
  *size = static_cast<std::uint32_t>(needed);
  return true;
}

// "host:port" into the caller's buffer, as CopyOut copies a text.
bool CopyOutWithPort(std::string_view host, apr_port_t port, char* buffer,
                     std::uint32_t* size) noexcept {
  char digits[8];
  const std::to_chars_result end =
      std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(port));
  const std::string_view port_text(digits, static_cast<std::size_t>(end.ptr - digits));
  const std::size_t needed = host.size() + 1 + port_text.size() + 1;
  if (needed > *size) {
    *size = needed > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(needed);
    return false;
  }
  std::memcpy(buffer, host.data(), host.size());
  buffer[host.size()] = ':';
  std::memcpy(buffer + host.size() + 1, port_text.data(), port_text.size());
  buffer[needed - 1] = '\0';
  *size = static_cast<std::uint32_t>(needed);
  return true;
}

// The header's name as APR tables hold it: ISAPI names carry a colon.
const char* TableName(apr_pool_t* pool, const char* name) noexcept {
  const std::size_t length = std::strlen(name);
  if (length > 0 && name[length - 1] == ':') return apr_pstrmemdup(pool, name, length - 1);
  return name;
}

bool IsSafeHeaderValue(const char* value) noexcept {
  return std::strpbrk(value, "\r\n") == nullptr;
}

// RFC 9110 token characters: what a header name may consist of.
bool IsHeaderName(std::string_view name) noexcept {
  if (name.empty()) return false;
  for (const char c : name) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && std::strchr("!#$%&'*+-.^_`|~", c) == nullptr) return false;
  }
  return true;
}

// The request target in origin form. A request line in absolute form
// ("GET http://host/secure/ HTTP/1.1", as clients speak to proxies) names the
// same resource as its path and query, which is what IIS gives a filter as
// "url". Passing the scheme and authority on would put them into the service
// URL a second time, behind the ones taken from HTTPS and SERVER_NAME, and
// such a browser could never finish signing on.
const char* OriginForm(const request_rec* request) noexcept {
  const char* uri = request->unparsed_uri;
  if (uri[0] == '/' || request->parsed_uri.scheme == nullptr) return uri;
  const char* authority = std::strstr(uri, "://");
  if (authority == nullptr) return uri;
  const char* rest = authority + 3 + std::strcspn(authority + 3, "/?#");
  if (*rest == '/') return rest;
  return apr_pstrcat(request->pool, "/", rest, nullptr);
}

}  // namespace

bool ApacheFilterHost::GetHeader(const char* name, char* buffer, std::uint32_t* size) {
  if (name == nullptr || buffer == nullptr || size == nullptr) return false;
  if (std::strcmp(name, "url") == 0) {
    if (request_->unparsed_uri == nullptr) return false;
    return CopyOut(OriginForm(request_), buffer, size);
  }
  const char* value = apr_table_get(request_->headers_in, TableName(request_->pool, name));
  if (value == nullptr) return false;
  return CopyOut(value, buffer, size);
}

bool ApacheFilterHost::SetHeader(const char* name, const char* value) {
  if (name == nullptr || value == nullptr || !IsSafeHeaderValue(value)) return false;
  const char* key = TableName(request_->pool, name);
  if (apr_table_get(request_->headers_in, key) == nullptr) return false;
  // apr_table_set drops every other value under the name (in any letter
  // case), so a browser that sent the header twice keeps neither copy.
  apr_table_set(request_->headers_in, key, value);
  return true;
}

bool ApacheFilterHost::AddHeader(const char* name, const char* value) {
  if (name == nullptr || value == nullptr || !IsSafeHeaderValue(value)) return false;
  apr_table_add(request_->headers_in, TableName(request_->pool, name), value);
  return true;
}

bool ApacheFilterHost::GetServerVariable(const char* name, char* buffer, std::uint32_t* size) {
  if (name == nullptr || buffer == nullptr || size == nullptr) return false;
  if (AsciiEqualsIgnoreCase(name, "HTTPS")) {
    const char* scheme = ap_http_scheme(request_);
    const bool https = scheme != nullptr && AsciiEqualsIgnoreCase(scheme, "https");
    return CopyOut(https ? "on" : "off", buffer, size);
  }
  if (AsciiEqualsIgnoreCase(name, "SERVER_NAME")) {
    const char* host = ap_get_server_name_for_url(request_);
    if (host == nullptr) return false;
    const apr_port_t port = ap_get_server_port(request_);
    if (port == ap_default_port(request_)) return CopyOut(host, buffer, size);
    return CopyOutWithPort(host, port, buffer, size);
  }
  return false;
}

bool ApacheFilterHost::SendResponseHeader(const char* status_text, const char* headers) {
  if (status_text == nullptr || headers == nullptr || answered_) return false;
  const std::string_view status(status_text);
  // "302 Redirection": three digits, then the reason after one blank.
  if (status.size() < 3 || status[0] < '1' || status[0] > '5' || status[1] < '0' ||
      status[1] > '9' || status[2] < '0' || status[2] > '9' ||
      (status.size() > 3 && (status.size() == 4 || status[3] != ' '))) {
    return false;
  }

  // Read the whole block before recording anything, so a refused block
  // leaves the request as it was.
  apr_table_t* parsed = apr_table_make(request_->pool, 4);
  std::string_view rest(headers);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // the empty line that ends the block
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsHeaderName(line.substr(0, colon))) return false;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    if (value.find('\r') != std::string_view::npos) return false;
    apr_table_addn(parsed, apr_pstrmemdup(request_->pool, line.data(), colon),
                   apr_pstrmemdup(request_->pool, value.data(), value.size()));
  }

  request_->status = (status[0] - '0') * 100 + (status[1] - '0') * 10 + (status[2] - '0');
  request_->status_line = apr_pstrmemdup(request_->pool, status.data(), status.size());
  // err_headers_out rather than headers_out: Apache keeps these for every
  // kind of response it builds, also when it answers through its error path.
  apr_table_do(
      [](void* out, const char* key, const char* value) -> int {
        apr_table_addn(static_cast<apr_table_t*>(out), key, value);
        return 1;
      },
      request_->err_headers_out, parsed, nullptr);
  answered_ = true;
  return true;
}

}  // namespace turnpike
