#include "platform/memory/in_memory_filter_host.h"

#include <cstring>

#include "common/ascii.h"

namespace turnpike {
namespace {

const char* NameOf(InMemoryFilterHost::Operation operation) {
  switch (operation) {
    case InMemoryFilterHost::Operation::GetHeader: return "GetHeader";
    case InMemoryFilterHost::Operation::SetHeader: return "SetHeader";
    case InMemoryFilterHost::Operation::AddHeader: return "AddHeader";
    case InMemoryFilterHost::Operation::RemoveLookAlikeHeaders: return "RemoveLookAlikeHeaders";
    case InMemoryFilterHost::Operation::GetServerVariable: return "GetServerVariable";
    case InMemoryFilterHost::Operation::GetServerPath: return "GetServerPath";
    case InMemoryFilterHost::Operation::SendResponseHeader: return "SendResponseHeader";
    case InMemoryFilterHost::Operation::WriteClient: return "WriteClient";
  }
  return "?";
}

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
  headers_.emplace_back(std::move(name), std::move(value));
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
    if (failing == operation && (!failing_name || AsciiEqualsIgnoreCase(*failing_name, name))) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> InMemoryFilterHost::HeaderValues(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& [key, value] : headers_) {
    if (AsciiEqualsIgnoreCase(key, name)) values.push_back(value);
  }
  return values;
}

bool InMemoryFilterHost::GetHeader(const char* name, char* buffer, std::uint32_t* size) {
  calls_.push_back(std::string(NameOf(Operation::GetHeader)) + " " + name);
  if (Fails(Operation::GetHeader, name)) return false;
  if (std::strcmp(name, "url") == 0) {
    return url_ && CopyOut(*url_, buffer, size);
  }
  if (AsciiEqualsIgnoreCase(name, "Cookie:")) {
    const std::vector<std::string> cookies = HeaderValues(name);
    if (cookies.empty()) return false;
    std::string joined = cookies.front();
    for (std::size_t i = 1; i < cookies.size(); ++i) joined += "; " + cookies[i];
    return CopyOut(joined, buffer, size);
  }
  const std::string* value = Find(headers_, name);
  return value != nullptr && CopyOut(*value, buffer, size);
}

bool InMemoryFilterHost::RemoveLookAlikeHeaders(const char* name) {
  calls_.push_back(std::string(NameOf(Operation::RemoveLookAlikeHeaders)) + " " + name);
  if (Fails(Operation::RemoveLookAlikeHeaders, name)) return false;
  std::erase_if(headers_, [name](const auto& header) { return HeaderNamesLookAlike(header.first, name); });
  return true;
}

bool InMemoryFilterHost::GetServerPath(char* buffer, std::uint32_t* size) {
  calls_.push_back(NameOf(Operation::GetServerPath));
  if (Fails(Operation::GetServerPath, "")) return false;
  return server_path_ && CopyOut(*server_path_, buffer, size);
}

bool InMemoryFilterHost::SetHeader(const char* name, const char* value) {
  calls_.push_back(std::string(NameOf(Operation::SetHeader)) + " " + name);
  if (Fails(Operation::SetHeader, name)) return false;
  // A request header sent more than once is one header to the application
  // (its values joined), so replacing it replaces every occurrence.
  bool replaced = false;
  for (auto it = headers_.begin(); it != headers_.end();) {
    if (!AsciiEqualsIgnoreCase(it->first, name)) {
      ++it;
    } else if (!replaced) {
      it->second = value;
      replaced = true;
      ++it;
    } else {
      it = headers_.erase(it);
    }
  }
  return replaced;
}

bool InMemoryFilterHost::AddHeader(const char* name, const char* value) {
  calls_.push_back(std::string(NameOf(Operation::AddHeader)) + " " + name);
  if (Fails(Operation::AddHeader, name)) return false;
  headers_.emplace_back(name, value);
  return true;
}

bool InMemoryFilterHost::GetServerVariable(const char* name, char* buffer, std::uint32_t* size) {
  calls_.push_back(std::string(NameOf(Operation::GetServerVariable)) + " " + name);
  if (Fails(Operation::GetServerVariable, name)) return false;
  const std::string* value = Find(variables_, name);
  return value != nullptr && CopyOut(*value, buffer, size);
}

bool InMemoryFilterHost::SendResponseHeader(const char* status_text, const char* headers) {
  calls_.push_back(std::string(NameOf(Operation::SendResponseHeader)) + " " + status_text);
  if (Fails(Operation::SendResponseHeader, status_text)) return false;
  response_ = Response{status_text, headers, {}};
  return true;
}

bool InMemoryFilterHost::WriteClient(const char* data, std::uint32_t length) {
  calls_.push_back(NameOf(Operation::WriteClient));
  if (Fails(Operation::WriteClient, "") || !response_) return false;
  response_->body.append(data, length);
  return true;
}

}  // namespace turnpike
