#include "hosts/nginx/nginx_filter_host.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <string>

#include "common/ascii.h"

namespace turnpike {
namespace {

std::string_view ViewOf(const ngx_str_t& text) noexcept {
  return {reinterpret_cast<const char*>(text.data), text.len};
}

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

bool IsSafeHeaderValue(std::string_view value) noexcept {
  return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

// Calls `visit` with every request header, in order.
template <typename Visit>
void ForEachHeader(ngx_list_t& headers, Visit visit) {
  for (ngx_list_part_t* part = &headers.part; part != nullptr; part = part->next) {
    auto* fields = static_cast<ngx_table_elt_t*>(part->elts);
    for (ngx_uint_t i = 0; i < part->nelts; ++i) visit(fields[i]);
  }
}

// Rebuilds the request's header list without the headers `drop` picks; the
// list is left alone when none is picked. nginx's lists cannot lose an
// element, and the proxy, FastCGI and uwsgi modules forward every element
// there is. The pointers nginx keeps to the headers it knows (Host, Cookie,
// ...) still point at the old elements, which stay in the pool.
template <typename Drop>
bool DropRequestHeaders(ngx_http_request_t* request, Drop drop) noexcept {
  ngx_list_t& headers = request->headers_in.headers;
  ngx_uint_t kept = 0;
  bool any = false;
  ForEachHeader(headers, [&](const ngx_table_elt_t& field) {
    if (drop(field)) {
      any = true;
    } else {
      ++kept;
    }
  });
  if (!any) return true;
  ngx_list_t old = headers;
  if (headers.last == &headers.part) old.last = &old.part;
  if (ngx_list_init(&headers, request->pool, kept > 0 ? kept : 1, sizeof(ngx_table_elt_t)) != NGX_OK) {
    headers = old;
    if (old.last == &old.part) headers.last = &headers.part;
    return false;
  }
  ForEachHeader(old, [&](const ngx_table_elt_t& field) {
    if (drop(field)) return;
    // Room for every kept header was made in one part: this cannot fail.
    auto* copy = static_cast<ngx_table_elt_t*>(ngx_list_push(&headers));
    *copy = field;
  });
  return true;
}

bool NameIs(const ngx_table_elt_t& field, std::string_view name) noexcept {
  return AsciiEqualsIgnoreCase(ViewOf(field.key), name);
}

// A copy of `text` in the request's pool, NUL-terminated; data null when
// there is no memory.
ngx_str_t PoolCopy(ngx_pool_t* pool, std::string_view text) noexcept {
  ngx_str_t copy{0, nullptr};
  auto* data = static_cast<u_char*>(ngx_pnalloc(pool, text.size() + 1));
  if (data == nullptr) return copy;
  std::memcpy(data, text.data(), text.size());
  data[text.size()] = '\0';
  copy.len = text.size();
  copy.data = data;
  return copy;
}

bool AddHeader(ngx_http_request_t* request, ngx_list_t& list, std::string_view name,
               std::string_view value) noexcept {
  auto* field = static_cast<ngx_table_elt_t*>(ngx_list_push(&list));
  if (field == nullptr) return false;
  field->key = PoolCopy(request->pool, name);
  field->value = PoolCopy(request->pool, value);
  if (field->key.data == nullptr || field->value.data == nullptr) {
    field->hash = 0;  // an empty slot nginx skips
    return false;
  }
  field->lowcase_key = static_cast<u_char*>(ngx_pnalloc(request->pool, name.size()));
  if (field->lowcase_key == nullptr) {
    field->hash = 0;
    return false;
  }
  field->hash = ngx_hash_strlow(field->lowcase_key, field->key.data, name.size());
  return true;
}

}  // namespace

bool RemoveLookAlikeRequestHeaders(ngx_http_request_t* request, std::string_view name) noexcept {
  return DropRequestHeaders(request, [name](const ngx_table_elt_t& field) {
    return HeaderNamesLookAlike(ViewOf(field.key), name);
  });
}

bool RemovePrefixedRequestHeaders(ngx_http_request_t* request, std::string_view prefix) noexcept {
  return DropRequestHeaders(request, [prefix](const ngx_table_elt_t& field) {
    return HeaderNameStartsLike(ViewOf(field.key), prefix);
  });
}

bool NginxFilterHost::GetUrl(char* buffer, std::uint32_t* size) {
  if (buffer == nullptr || size == nullptr || request_->unparsed_uri.len == 0) return false;
  return CopyOut(ViewOf(request_->unparsed_uri), buffer, size);
}

bool NginxFilterHost::GetHeader(const char* name, char* buffer, std::uint32_t* size) {
  if (name == nullptr || buffer == nullptr || size == nullptr) return false;
  // One header, the usual case, is copied as it is; only several are joined.
  const ngx_table_elt_t* first = nullptr;
  std::string joined;
  ForEachHeader(request_->headers_in.headers, [&](const ngx_table_elt_t& field) {
    if (field.hash == 0 || !NameIs(field, name)) return;
    if (first == nullptr) {
      first = &field;
      return;
    }
    if (joined.empty()) joined = ViewOf(first->value);
    joined += "; ";
    joined += ViewOf(field.value);
  });
  if (first == nullptr) return false;
  return CopyOut(joined.empty() ? ViewOf(first->value) : std::string_view(joined), buffer, size);
}

bool NginxFilterHost::ReplaceHeader(const char* name, const char* value) {
  if (name == nullptr || value == nullptr || !IsSafeHeaderValue(value)) return false;
  const std::string_view header(name);
  if (!DropRequestHeaders(request_, [header](const ngx_table_elt_t& field) { return NameIs(field, header); })) {
    return false;
  }
  if (!AddHeader(request_, request_->headers_in.headers, header, value)) return false;
  *user_ = PoolCopy(request_->pool, value);
  if (user_->data == nullptr) return false;
  identity_set_ = true;
  return true;
}

bool NginxFilterHost::RemoveLookAlikeHeaders(const char* name) {
  if (name == nullptr) return false;
  return scrubbed_ || RemoveLookAlikeRequestHeaders(request_, name);
}

bool NginxFilterHost::RemovePrefixedHeaders(const char* prefix) {
  if (prefix == nullptr) return false;
  return scrubbed_ || RemovePrefixedRequestHeaders(request_, prefix);
}

bool NginxFilterHost::GetServerVariable(const char* name, char* buffer, std::uint32_t* size) {
  if (name == nullptr || buffer == nullptr || size == nullptr) return false;
  bool https = false;
#if (NGX_HTTP_SSL)
  https = request_->connection->ssl != nullptr;
#endif
  if (AsciiEqualsIgnoreCase(name, "HTTPS")) return CopyOut(https ? "on" : "off", buffer, size);
  if (!AsciiEqualsIgnoreCase(name, "SERVER_NAME")) return false;

  const auto* server = static_cast<ngx_http_core_srv_conf_t*>(
      ngx_http_get_module_srv_conf(request_, ngx_http_core_module));
  const std::string_view server_name = ViewOf(server->server_name);
  // "_" is the customary name of a catch-all server, which names nothing.
  if (server_name.empty() || server_name == "_" || server_name.find_first_of("*~") != std::string_view::npos ||
      server_name.front() == '.') {
    return false;
  }
  std::string text;
  // An IPv6 literal needs its brackets in a URL.
  const bool ipv6 = server_name.find(':') != std::string_view::npos && server_name.front() != '[';
  if (ipv6) text += '[';
  text += server_name;
  if (ipv6) text += ']';
  if (ngx_connection_local_sockaddr(request_->connection, nullptr, 0) != NGX_OK) return false;
  const in_port_t port = ngx_inet_get_port(request_->connection->local_sockaddr);
  if (port != (https ? 443 : 80)) {
    char digits[8];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(port));
    text += ':';
    text.append(digits, end.ptr);
  }
  return CopyOut(text, buffer, size);
}

bool NginxFilterHost::GetServerPath(char* buffer, std::uint32_t* size) {
  if (buffer == nullptr || size == nullptr) return false;
  const std::string_view path = ViewOf(request_->uri);
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  return CopyOut(path, buffer, size);
}

bool NginxFilterHost::SendAnswer(const Answer& answer) {
  if (answer_ || answer.status < 100 || answer.status > 599) return false;
  // Checked whole before anything is recorded, so a refused answer leaves
  // the request as it was.
  if (!IsSafeHeaderValue(answer.location) || !IsSafeHeaderValue(answer.reason)) return false;
  for (const std::string& cookie : answer.set_cookies) {
    if (!IsSafeHeaderValue(cookie)) return false;
  }
  answer_ = answer;
  return true;
}

ngx_int_t SendRecordedAnswer(ngx_http_request_t* request, const Answer& answer) noexcept {
  // The answer ends the request: a body the browser sent is read and
  // dropped, so that the connection can carry the next request.
  if (ngx_http_discard_request_body(request) != NGX_OK) return NGX_HTTP_INTERNAL_SERVER_ERROR;

  ngx_http_headers_out_t& out = request->headers_out;
  out.status = answer.status;
  const std::size_t reason = std::strlen(answer.reason);
  auto* line = static_cast<u_char*>(ngx_pnalloc(request->pool, 4 + reason));
  if (line == nullptr) return NGX_HTTP_INTERNAL_SERVER_ERROR;
  out.status_line.data = line;
  out.status_line.len = static_cast<std::size_t>(
      ngx_sprintf(line, "%03ui %s", static_cast<ngx_uint_t>(answer.status), answer.reason) - line);
  if (!answer.location.empty() && !AddHeader(request, out.headers, "Location", answer.location)) {
    return NGX_HTTP_INTERNAL_SERVER_ERROR;
  }
  for (const std::string& cookie : answer.set_cookies) {
    if (!AddHeader(request, out.headers, "Set-Cookie", cookie)) return NGX_HTTP_INTERNAL_SERVER_ERROR;
  }
  if (answer.no_store && !AddHeader(request, out.headers, "Cache-Control", "no-store")) {
    return NGX_HTTP_INTERNAL_SERVER_ERROR;
  }
  out.content_length_n = static_cast<off_t>(answer.body.size());
  if (answer.body.empty()) {
    request->header_only = 1;
    return ngx_http_send_header(request);
  }
  const std::string_view type = answer.content_type != nullptr ? answer.content_type : "text/plain";
  out.content_type = PoolCopy(request->pool, type);
  if (out.content_type.data == nullptr) return NGX_HTTP_INTERNAL_SERVER_ERROR;
  out.content_type_len = out.content_type.len;
  const ngx_int_t sent = ngx_http_send_header(request);
  if (sent == NGX_ERROR || sent > NGX_OK || request->header_only) return sent;
  auto* body = static_cast<ngx_buf_t*>(ngx_pcalloc(request->pool, sizeof(ngx_buf_t)));
  if (body == nullptr) return NGX_ERROR;
  // The body is static text: nginx sends it from where it is.
  body->pos = reinterpret_cast<u_char*>(const_cast<char*>(answer.body.data()));
  body->last = body->pos + answer.body.size();
  body->memory = 1;
  body->last_buf = 1;
  ngx_chain_t chain{body, nullptr};
  return ngx_http_output_filter(request, &chain);
}

}  // namespace turnpike
