// The Redis serialization protocol (RESP 2), as much of it as the sign-on
// store speaks: commands go out as arrays of bulk strings, and the replies
// it expects are one simple string, error, integer or bulk string (null
// included).
//
// What callers may rely on:
//   - EncodeRespCommand writes any bytes as arguments, NUL, CR and LF
//     included: every argument carries its length.
//   - ParseRespReply reads one reply from the front of what has arrived:
//     Complete (the reply, and how many bytes it took), Incomplete (read
//     more), or Malformed (a connection that says this is dropped). A line
//     ends in CR LF only; a bulk string longer than `longest_bulk`, a
//     negative length other than -1, an integer that does not fit in 64 bits
//     and any type this store never asks for (arrays) are Malformed, so a
//     hostile or confused server cannot make it allocate without bound.
//
// What it does not do: no arrays, no RESP 3, no inline commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace turnpike {

enum class RespType {
  SimpleString,  // +OK
  Error,         // -ERR ...
  Integer,       // :1
  Bulk,          // $3 abc
  Null,          // $-1: no value
};

struct RespReply {
  RespType type = RespType::Null;
  std::string text;          // the simple string, error line or bulk bytes
  std::int64_t integer = 0;  // the integer
};

enum class RespParse {
  Complete,
  Incomplete,
  Malformed,
};

std::string EncodeRespCommand(std::initializer_list<std::string_view> arguments);

RespParse ParseRespReply(std::string_view bytes, std::size_t longest_bulk, RespReply& reply,
                         std::size_t& used);

}  // namespace turnpike
