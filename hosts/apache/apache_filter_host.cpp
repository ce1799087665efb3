#include "hosts/apache/apache_filter_host.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <memory>
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

apr_status_t DeleteSignOn(void* sign_on) noexcept {
  delete static_cast<SignOn*>(sign_on);
  return APR_SUCCESS;
}

bool IsSafeHeaderValue(const char* value) noexcept {
  return std::strpbrk(value, "\r\n") == nullptr;
}

// The request target in origin form into the caller's buffer, as CopyOut
// copies a text; see the class comment.
bool CopyOutOriginForm(const request_rec* request, char* buffer, std::uint32_t* size) noexcept {
  const char* uri = request->unparsed_uri;
  if (uri[0] == '/') return CopyOut(uri, buffer, size);
  const std::string_view path = request->parsed_uri.path != nullptr ? request->parsed_uri.path : "";
  const char* query = request->parsed_uri.query;
  const std::string_view slash = path.empty() || path.front() != '/' ? "/" : "";
  const std::string_view mark = query != nullptr ? "?" : "";
  const std::string_view query_text = query != nullptr ? query : "";
  const std::size_t needed = slash.size() + path.size() + mark.size() + query_text.size() + 1;
  if (needed > *size) {
    *size = needed > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(needed);
    return false;
  }
  char* out = buffer;
  for (const std::string_view piece : {slash, path, mark, query_text}) {
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  }
  *out = '\0';
  *size = static_cast<std::uint32_t>(needed);
  return true;
}

ap_filter_rec_t* kept_body_filter = nullptr;

// Hands out the kept body (f->ctx) before anything read below; once it is
// all out, steps aside. A speculative read copies without taking.
apr_status_t GiveKeptBody(ap_filter_t* filter, apr_bucket_brigade* out, ap_input_mode_t mode,
                          apr_read_type_e block, apr_off_t bytes) noexcept {
  auto* kept = static_cast<apr_bucket_brigade*>(filter->ctx);
  if (mode == AP_MODE_INIT || mode == AP_MODE_EATCRLF || APR_BRIGADE_EMPTY(kept)) {
    if (APR_BRIGADE_EMPTY(kept)) ap_remove_input_filter(filter);
    return ap_get_brigade(filter->next, out, mode, block, bytes);
  }
  if (mode == AP_MODE_GETLINE) return apr_brigade_split_line(out, kept, block, HUGE_STRING_LEN);
  if (mode == AP_MODE_EXHAUSTIVE) {
    APR_BRIGADE_CONCAT(out, kept);
    return APR_SUCCESS;
  }
  apr_bucket* end = nullptr;
  const apr_status_t status = apr_brigade_partition(kept, bytes, &end);
  if (status != APR_SUCCESS && status != APR_INCOMPLETE) return status;
  for (apr_bucket* bucket = APR_BRIGADE_FIRST(kept); bucket != end;) {
    apr_bucket* next = APR_BUCKET_NEXT(bucket);
    if (mode == AP_MODE_SPECULATIVE) {
      apr_bucket* copy = nullptr;
      if (apr_bucket_copy(bucket, &copy) != APR_SUCCESS) return APR_ENOMEM;
      APR_BRIGADE_INSERT_TAIL(out, copy);
    } else {
      APR_BUCKET_REMOVE(bucket);
      APR_BRIGADE_INSERT_TAIL(out, bucket);
    }
    bucket = next;
  }
  return APR_SUCCESS;
}

}  // namespace

void RegisterKeptBodyFilter() noexcept {
  // Between the content filters (which see the body as the handler does)
  // and the HTTP input filter, whose output it stands for.
  kept_body_filter = ap_register_input_filter("TURNPIKE_KEPT_BODY", GiveKeptBody, nullptr,
                                              static_cast<ap_filter_type>(AP_FTYPE_CONTENT_SET + 5));
}

BodyRead ApacheFilterHost::ReadBody(std::size_t limit, std::string& body) {
  body.clear();
  apr_bucket_alloc_t* allocator = request_->connection->bucket_alloc;
  apr_bucket_brigade* in = apr_brigade_create(request_->pool, allocator);
  bool end = false;
  while (!end && body.size() <= limit) {
    const auto wanted = static_cast<apr_off_t>(limit + 1 - body.size());
    if (ap_get_brigade(request_->input_filters, in, AP_MODE_READBYTES, APR_BLOCK_READ, wanted) !=
        APR_SUCCESS) {
      return BodyRead::Failed;
    }
    for (apr_bucket* bucket = APR_BRIGADE_FIRST(in); bucket != APR_BRIGADE_SENTINEL(in);
         bucket = APR_BUCKET_NEXT(bucket)) {
      if (APR_BUCKET_IS_EOS(bucket)) {
        end = true;
        break;
      }
      const char* data = nullptr;
      apr_size_t length = 0;
      if (apr_bucket_read(bucket, &data, &length, APR_BLOCK_READ) != APR_SUCCESS) return BodyRead::Failed;
      body.append(data, length);
    }
    apr_brigade_cleanup(in);
  }
  // A copy of every byte read, and the end when it came, for the handler.
  apr_bucket_brigade* kept = apr_brigade_create(request_->pool, allocator);
  if (!body.empty()) {
    APR_BRIGADE_INSERT_TAIL(kept, apr_bucket_heap_create(body.data(), body.size(), nullptr, allocator));
  }
  if (end) APR_BRIGADE_INSERT_TAIL(kept, apr_bucket_eos_create(allocator));
  if (ap_add_input_filter_handle(kept_body_filter, kept, request_, request_->connection) == nullptr) {
    return BodyRead::Failed;
  }
  if (body.size() <= limit) return BodyRead::Whole;
  body.resize(limit);
  return BodyRead::TooLarge;
}

bool ApacheFilterHost::GetUrl(char* buffer, std::uint32_t* size) {
  if (buffer == nullptr || size == nullptr || request_->unparsed_uri == nullptr) return false;
  return CopyOutOriginForm(request_, buffer, size);
}

bool ApacheFilterHost::GetHeader(const char* name, char* buffer, std::uint32_t* size) {
  if (name == nullptr || buffer == nullptr || size == nullptr) return false;
  const char* value = apr_table_get(request_->headers_in, name);
  if (value == nullptr) return false;
  return CopyOut(value, buffer, size);
}

bool ApacheFilterHost::ReplaceHeader(const char* name, const char* value) {
  if (name == nullptr || value == nullptr || !IsSafeHeaderValue(value)) return false;
  // apr_table_set drops every other value under the name (in any letter
  // case), so a browser that sent the header twice keeps neither copy.
  apr_table_set(request_->headers_in, name, value);
  return true;
}

bool ApacheFilterHost::RemoveLookAlikeHeaders(const char* name) {
  if (name == nullptr) return false;
  if (!scrubbed_) RemoveLookAlikes(request_->headers_in, name);
  return true;
}

void ApacheFilterHost::SignedOn(const SignOn& sign_on) { KeepSignOn(request_, sign_on); }

void KeepSignOn(request_rec* request, const SignOn& sign_on) {
  auto copy = std::make_unique<SignOn>(sign_on);
  // A second decision of the same request (none is made today) would
  // replace the first; the pool frees both.
  apr_pool_cleanup_register(request->pool, copy.get(), DeleteSignOn, apr_pool_cleanup_null);
  ap_set_module_config(request->request_config, &turnpike_module, copy.release());
}

const SignOn* KeptSignOn(const request_rec* request) noexcept {
  for (; request != nullptr; request = request->main != nullptr ? request->main : request->prev) {
    if (const auto* kept = static_cast<const SignOn*>(
            ap_get_module_config(request->request_config, &turnpike_module))) {
      return kept;
    }
  }
  return nullptr;
}

namespace {

template <typename Matches>
void RemoveMatching(apr_table_t* headers, Matches matches) noexcept {
  const apr_array_header_t* entries = apr_table_elts(headers);
  for (int i = 0; i < entries->nelts; ++i) {
    const auto* fields = reinterpret_cast<const apr_table_entry_t*>(entries->elts);
    if (fields[i].key == nullptr || !matches(fields[i].key)) continue;
    // Unsetting moves the later entries down: look at this index again.
    apr_table_unset(headers, fields[i].key);
    --i;
  }
}

}  // namespace

void RemoveLookAlikes(apr_table_t* headers, const char* name) noexcept {
  RemoveMatching(headers, [name](const char* key) { return HeaderNamesLookAlike(key, name); });
}

void RemovePrefixed(apr_table_t* headers, const char* prefix) noexcept {
  RemoveMatching(headers, [prefix](const char* key) { return HeaderNameStartsLike(key, prefix); });
}

bool ApacheFilterHost::RemovePrefixedHeaders(const char* prefix) {
  if (prefix == nullptr) return false;
  if (!scrubbed_) RemovePrefixed(request_->headers_in, prefix);
  return true;
}

bool ApacheFilterHost::GetServerPath(char* buffer, std::uint32_t* size) {
  if (buffer == nullptr || size == nullptr || request_->parsed_uri.path == nullptr) return false;
  // Every step below only shortens the path.
  if (!CopyOut(request_->parsed_uri.path, buffer, size)) return false;
  // Slashes are merged whatever MergeSlashes says: the file system merges
  // them when Apache does not, and a merged path only matches more.
  constexpr unsigned kNormalize = AP_NORMALIZE_NOT_ABOVE_ROOT | AP_NORMALIZE_MERGE_SLASHES;
  if (!ap_normalize_path(buffer, kNormalize | AP_NORMALIZE_DECODE_UNRESERVED)) return false;
  if (ap_unescape_url_ex(buffer, AP_UNESCAPE_URL_KEEP_UNRESERVED) != OK) return false;
  return ap_normalize_path(buffer, kNormalize) != 0;
}

bool ApacheFilterHost::GetServerVariable(const char* name, char* buffer, std::uint32_t* size) {
  if (name == nullptr || buffer == nullptr || size == nullptr) return false;
  if (AsciiEqualsIgnoreCase(name, "HTTPS")) {
    const char* scheme = ap_http_scheme(request_);
    const bool https = scheme != nullptr && AsciiEqualsIgnoreCase(scheme, "https");
    return CopyOut(https ? "on" : "off", buffer, size);
  }
  if (AsciiEqualsIgnoreCase(name, "REQUEST_METHOD")) {
    return request_->method != nullptr && CopyOut(request_->method, buffer, size);
  }
  if (AsciiEqualsIgnoreCase(name, "SERVER_NAME")) {
    const server_rec* server = request_->server;
    const char* name_in_use = server->server_hostname;
    if (name_in_use == nullptr || *name_in_use == '\0') return false;
    // An IPv6 literal needs its brackets in a URL.
    if (std::strchr(name_in_use, ':') != nullptr && name_in_use[0] != '[') {
      name_in_use = apr_pstrcat(request_->pool, "[", name_in_use, "]", nullptr);
    }
    // A ServerName that names its scheme ("https://name" behind a proxy that
    // ends TLS) names the public URL: without a port, the scheme's own.
    // Otherwise a ServerName without a port is served on the port the
    // connection came in on (the server chose it, not the browser).
    const apr_sockaddr_t* local = request_->connection->local_addr;
    apr_port_t port = server->port;
    if (port == 0 && server->server_scheme == nullptr && local != nullptr) port = local->port;
    if (port == 0) port = ap_default_port(request_);
    if (port == ap_default_port(request_)) return CopyOut(name_in_use, buffer, size);
    return CopyOutWithPort(name_in_use, port, buffer, size);
  }
  return false;
}

bool ApacheFilterHost::SendAnswer(const Answer& answer) {
  if (answered_ || answer.status < 100 || answer.status > 599) return false;
  // Checked whole before anything is recorded, so a refused answer leaves
  // the request as it was.
  if (!IsSafeHeaderValue(answer.location.c_str()) || !IsSafeHeaderValue(answer.reason)) return false;
  for (const std::string& cookie : answer.set_cookies) {
    if (!IsSafeHeaderValue(cookie.c_str())) return false;
  }
  for (const auto& [name, value] : answer.headers) {
    if (!IsSafeHeaderValue(name.c_str()) || !IsSafeHeaderValue(value.c_str())) return false;
  }
  if (answer.body.size() > static_cast<std::size_t>(INT_MAX)) return false;

  request_->status = answer.status;
  request_->status_line = apr_psprintf(request_->pool, "%u %s", static_cast<unsigned>(answer.status),
                                       answer.reason);
  // err_headers_out rather than headers_out: Apache keeps these for every
  // kind of response it builds, also when it answers through its error path.
  apr_table_t* out = request_->err_headers_out;
  if (!answer.location.empty()) apr_table_set(out, "Location", apr_pstrdup(request_->pool, answer.location.c_str()));
  for (const std::string& cookie : answer.set_cookies) {
    apr_table_add(out, "Set-Cookie", cookie.c_str());
  }
  for (const auto& [name, value] : answer.headers) {
    apr_table_add(out, apr_pstrdup(request_->pool, name.c_str()), apr_pstrdup(request_->pool, value.c_str()));
  }
  if (answer.no_store) apr_table_set(out, "Cache-Control", "no-store");
  answered_ = true;
  if (answer.body.empty()) return true;
  // Apache counts the body's length itself.
  ap_set_content_type(request_, apr_pstrdup(request_->pool, answer.content_type != nullptr
                                                                ? answer.content_type
                                                                : "text/plain"));
  const int length = static_cast<int>(answer.body.size());
  return ap_rwrite(answer.body.data(), length, request_) == length;
}

}  // namespace turnpike
