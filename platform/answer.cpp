#include "platform/answer.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace turnpike {
namespace {

// Appends while there is room, and keeps the terminator in place: what does
// not fit is cut, the way the block was always cut.
class BlockWriter {
 public:
  explicit BlockWriter(char (&out)[kIsapiHeaderBlockSize]) noexcept : out_(out) { out_[0] = '\0'; }

  void Add(std::string_view text) noexcept {
    const std::size_t room = kIsapiHeaderBlockSize - 1 - length_;
    const std::size_t count = text.size() < room ? text.size() : room;
    std::memcpy(out_ + length_, text.data(), count);
    length_ += count;
    out_[length_] = '\0';
  }

  void Header(std::string_view name, std::string_view value) noexcept {
    Add(name);
    Add(": ");
    Add(value);
    Add("\r\n");
  }

 private:
  char (&out_)[kIsapiHeaderBlockSize];
  std::size_t length_ = 0;
};

}  // namespace

const char* FormatIsapiStatus(const Answer& answer, char (&out)[32]) noexcept {
  const std::to_chars_result end = std::to_chars(out, out + 4, static_cast<unsigned>(answer.status));
  const std::size_t reason_room = sizeof out - 1 - static_cast<std::size_t>(end.ptr - out) - 1;
  const std::size_t reason_length = std::min(std::strlen(answer.reason), reason_room);
  *end.ptr = ' ';
  std::memcpy(end.ptr + 1, answer.reason, reason_length);
  end.ptr[1 + reason_length] = '\0';
  return out;
}

void FormatIsapiHeaderBlock(const Answer& answer, char (&out)[kIsapiHeaderBlockSize]) noexcept {
  BlockWriter block(out);
  if (!answer.location.empty()) block.Header("Location", answer.location);
  for (const std::string& cookie : answer.set_cookies) block.Header("Set-Cookie", cookie);
  for (const auto& [name, value] : answer.headers) block.Header(name, value);
  if (!answer.body.empty()) {
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, answer.body.size());
    block.Header("Content-Type", answer.content_type != nullptr ? answer.content_type : "text/plain");
    block.Header("Content-Length", std::string_view(digits, static_cast<std::size_t>(end.ptr - digits)));
  }
  if (answer.no_store) block.Header("Cache-Control", "no-store");
  block.Add("\r\n");
}

}  // namespace turnpike
