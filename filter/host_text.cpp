#include "filter/host_text.h"

#include <cstring>

namespace turnpike {

template <typename Read>
bool HostText::ReadWith(Read read) {
  std::uint32_t size = kHostTextInlineSize;
  if (read(inline_, &size)) {
    // The host promised a terminator; make sure of it all the same, so that
    // a host breaking that promise cannot make a search run past the buffer.
    inline_[kHostTextInlineSize - 1] = '\0';
    data_ = inline_;
    size_ = std::strlen(inline_);
    return true;
  }
  // A host that could not fit the value says how much it needs; one that
  // says nothing (or the same size) simply has no value.
  if (size <= kHostTextInlineSize || size > kMaxHostTextSize) return false;
  heap_.assign(size, '\0');
  std::uint32_t heap_size = size;
  if (!read(heap_.data(), &heap_size)) return false;
  heap_[size - 1] = '\0';
  heap_.resize(std::strlen(heap_.c_str()));
  data_ = heap_.data();
  size_ = heap_.size();
  return true;
}

bool HostText::ReadUrl(FilterHost& host) {
  return ReadWith([&](char* buffer, std::uint32_t* size) { return host.GetUrl(buffer, size); });
}

bool HostText::ReadHeader(FilterHost& host, const char* name) {
  return ReadWith([&](char* buffer, std::uint32_t* size) { return host.GetHeader(name, buffer, size); });
}

bool HostText::ReadServerVariable(FilterHost& host, const char* name) {
  return ReadWith(
      [&](char* buffer, std::uint32_t* size) { return host.GetServerVariable(name, buffer, size); });
}

bool HostText::ReadServerPath(FilterHost& host) {
  return ReadWith([&](char* buffer, std::uint32_t* size) { return host.GetServerPath(buffer, size); });
}

void HostText::Assign(std::string_view text) {
  if (text.size() < kHostTextInlineSize) {
    std::memcpy(inline_, text.data(), text.size());
    inline_[text.size()] = '\0';
    data_ = inline_;
  } else {
    heap_.assign(text);
    data_ = heap_.data();
  }
  size_ = text.size();
}

void HostText::Resync() noexcept { size_ = std::strlen(data_); }

}  // namespace turnpike
