#include "platform/memory/in_memory_filter_host.h"

#include <cstring>

#include "common/ascii.h"

namespace turnpike {
namespace {

// Copies `value` and its terminator when they fit in `*size` bytes; otherwise
// tells the size needed, as ISAPI does with ERROR_INSUFFICIENT_BUFFER.
bool CopyOut(const std::string& value, char* buffer, std::uint32_t* size) {
  const std::size_t needed = value.size() + 1;
  if (needed > *size) {
    *size = static_cast<std::uint32_t>(needed);
    return false;
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = static_cast<std::uint32_t>(needed);
  return true;
}

std::string_view WithoutColon(std::string_view name) {
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return name;
}

const std::string* Find(const std::vector<std::pair<std::string, std::string>>& entries,
                        std::string_view name) {
  for (const auto& [key, value] : entries) {
    if (AsciiEqualsIgnoreCase(key, name)) return &value;
  }
  return nullptr;
}

}  // namespace

InMemoryFilterHost::InMemoryFilterHost(std::optional<std::string> url) : url_(std::move(url)) {}

void InMemoryFilterHost::AddRequestHeader(std::string name, std::string value) {
  headers_.emplace_back(std::string(WithoutColon(name)), std::move(value));
}

void InMemoryFilterHost::SetServerVariable(std::string name, std::string value) {
  for (auto& [key, existing] : variables_) {
    if (AsciiEqualsIgnoreCase(key, name)) {
      existing = std::move(value);
      return;
    }
  }
  variables_.emplace_back(std::move(name), std::move(value));
}

void InMemoryFilterHost::SetServerPath(std::string path) { server_path_ = std::move(path); }

void InMemoryFilterHost::Fail(Operation operation, std::optional<std::string> name) {
  failures_.emplace_back(operation, std::move(name));
}

bool InMemoryFilterHost::Fails(Operation operation, std::string_view name) const {
  for (const auto& [failing, failing_name] : failures_) {
    if (failing == operation && (!failing_name || AsciiEqualsIgnoreCase(WithoutColon(*failing_name), name))) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> InMemoryFilterHost::HeaderValues(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [key, value] : headers_) {
    if (AsciiEqualsIgnoreCase(key, WithoutColon(name))) values.push_back(value);
  }
  return values;
}

bool InMemoryFilterHost::GetUrl(char* buffer, std::uint32_t* size) {
  if (Fails(Operation::GetUrl, "")) return false;
  return url_ && CopyOut(*url_, buffer, size);
}

bool InMemoryFilterHost::GetHeader(const char* name, char* buffer, std::uint32_t* size) {
  if (Fails(Operation::GetHeader, name)) return false;
  if (AsciiEqualsIgnoreCase(name, "Cookie")) {
    const std::vector<std::string> cookies = HeaderValues(name);
    if (cookies.empty()) return false;
    std::string joined = cookies.front();
    for (std::size_t i = 1; i < cookies.size(); ++i) joined += "; " + cookies[i];
    return CopyOut(joined, buffer, size);
  }
  const std::string* value = Find(headers_, name);
  return value != nullptr && CopyOut(*value, buffer, size);
}

bool InMemoryFilterHost::ReplaceHeader(const char* name, const char* value) {
  touched_ = true;
  if (Fails(Operation::ReplaceHeader, name)) return false;
  std::erase_if(headers_, [name](const auto& header) { return AsciiEqualsIgnoreCase(header.first, name); });
  headers_.emplace_back(name, value);
  replaced_.emplace(name, value);
  return true;
}

bool InMemoryFilterHost::RemoveLookAlikeHeaders(const char* name) {
  touched_ = true;
  if (Fails(Operation::RemoveLookAlikeHeaders, name)) return false;
  std::erase_if(headers_, [name](const auto& header) { return HeaderNamesLookAlike(header.first, name); });
  return true;
}

bool InMemoryFilterHost::RemovePrefixedHeaders(const char* prefix) {
  touched_ = true;
  if (Fails(Operation::RemovePrefixedHeaders, prefix)) return false;
  std::erase_if(headers_, [prefix](const auto& header) { return HeaderNameStartsLike(header.first, prefix); });
  return true;
}

bool InMemoryFilterHost::GetServerVariable(const char* name, char* buffer, std::uint32_t* size) {
  if (Fails(Operation::GetServerVariable, name)) return false;
  const std::string* value = Find(variables_, name);
  return value != nullptr && CopyOut(*value, buffer, size);
}

bool InMemoryFilterHost::GetServerPath(char* buffer, std::uint32_t* size) {
  if (Fails(Operation::GetServerPath, "")) return false;
  return server_path_ && CopyOut(*server_path_, buffer, size);
}

BodyRead InMemoryFilterHost::ReadBody(std::size_t limit, std::string& body) {
  if (Fails(Operation::ReadBody, "")) return BodyRead::Failed;
  body = body_.substr(0, limit);
  return body_.size() > limit ? BodyRead::TooLarge : BodyRead::Whole;
}

bool InMemoryFilterHost::SendAnswer(const Answer& answer) {
  touched_ = true;
  if (Fails(Operation::SendAnswer, "") || answer_) return false;
  answer_ = answer;
  char status[32];
  char block[kIsapiHeaderBlockSize];
  FormatIsapiHeaderBlock(answer, block);
  response_ = Response{FormatIsapiStatus(answer, status), block, std::string(answer.body)};
  return true;
}

}  // namespace turnpike
