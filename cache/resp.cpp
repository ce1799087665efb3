#include "cache/resp.h"

#include <charconv>
#include <limits>

namespace turnpike {
namespace {

// The line that starts at `from`, without its CR LF: Incomplete while it has
// not all arrived, Malformed when a bare CR or LF stands in it.
RespParse LineAt(std::string_view bytes, std::size_t from, std::string_view& line, std::size_t& next) {
  for (std::size_t i = from; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') return RespParse::Malformed;
    if (bytes[i] != '\r') continue;
    if (i + 1 == bytes.size()) return RespParse::Incomplete;
    if (bytes[i + 1] != '\n') return RespParse::Malformed;
    line = bytes.substr(from, i - from);
    next = i + 2;
    return RespParse::Complete;
  }
  return RespParse::Incomplete;
}

// A decimal integer, with an optional minus sign and nothing else around it.
bool IntegerOf(std::string_view text, std::int64_t& value) {
  if (text.empty() || text.front() == '+') return false;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end;
}

}  // namespace

std::string EncodeRespCommand(std::initializer_list<std::string_view> arguments) {
  std::string out = "*" + std::to_string(arguments.size()) + "\r\n";
  for (const std::string_view argument : arguments) {
    out += '$';
    out += std::to_string(argument.size());
    out += "\r\n";
    out += argument;
    out += "\r\n";
  }
  return out;
}

RespParse ParseRespReply(std::string_view bytes, std::size_t longest_bulk, RespReply& reply,
                         std::size_t& used) {
  if (bytes.empty()) return RespParse::Incomplete;
  std::string_view line;
  std::size_t next = 0;
  if (const RespParse status = LineAt(bytes, 1, line, next); status != RespParse::Complete) return status;
  switch (bytes.front()) {
    case '+':
    case '-':
      reply.type = bytes.front() == '+' ? RespType::SimpleString : RespType::Error;
      reply.text.assign(line);
      used = next;
      return RespParse::Complete;
    case ':':
      if (!IntegerOf(line, reply.integer)) return RespParse::Malformed;
      reply.type = RespType::Integer;
      used = next;
      return RespParse::Complete;
    case '$': {
      std::int64_t length = 0;
      if (!IntegerOf(line, length)) return RespParse::Malformed;
      if (length == -1) {
        reply.type = RespType::Null;
        reply.text.clear();
        used = next;
        return RespParse::Complete;
      }
      if (length < 0 || static_cast<std::uint64_t>(length) > longest_bulk) return RespParse::Malformed;
      const auto size = static_cast<std::size_t>(length);
      if (bytes.size() - next < size + 2) return RespParse::Incomplete;
      if (bytes.substr(next + size, 2) != "\r\n") return RespParse::Malformed;
      reply.type = RespType::Bulk;
      reply.text.assign(bytes.substr(next, size));
      used = next + size + 2;
      return RespParse::Complete;
    }
    default:
      return RespParse::Malformed;
  }
}

}  // namespace turnpike
