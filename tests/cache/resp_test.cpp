#include "cache/resp.h"

#include <gtest/gtest.h>

#include <string>

namespace turnpike {
namespace {

using namespace std::string_literals;

TEST(Resp, CommandsCarryEveryByteByLength) {
  EXPECT_EQ(EncodeRespCommand({"SET", "k\r\n\0"s, "", "PX", "2000"}),
            "*5\r\n$3\r\nSET\r\n$4\r\nk\r\n\0\r\n$0\r\n\r\n$2\r\nPX\r\n$4\r\n2000\r\n"s);
}

TEST(Resp, Replies) {
  constexpr std::size_t kLongest = 8;
  const struct {
    const char* name;
    std::string bytes;
    RespParse expected;
    RespType type = RespType::Null;
    std::string text = "";
    std::int64_t integer = 0;
  } rows[] = {
      {"OK", "+OK\r\n", RespParse::Complete, RespType::SimpleString, "OK"},
      {"error line", "-WRONGPASS invalid\r\n", RespParse::Complete, RespType::Error, "WRONGPASS invalid"},
      {"integer", ":1\r\n", RespParse::Complete, RespType::Integer, "", 1},
      {"negative integer", ":-9223372036854775808\r\n", RespParse::Complete, RespType::Integer, "",
       INT64_MIN},
      {"bulk of any bytes", "$4\r\n\r\n\0x\r\n"s, RespParse::Complete, RespType::Bulk, "\r\n\0x"s},
      {"bulk as long as allowed", "$8\r\n12345678\r\n", RespParse::Complete, RespType::Bulk, "12345678"},
      {"empty bulk", "$0\r\n\r\n", RespParse::Complete, RespType::Bulk, ""},
      {"no value", "$-1\r\n", RespParse::Complete, RespType::Null},
      {"nothing yet", "", RespParse::Incomplete},
      {"bulk still arriving", "$8\r\n1234", RespParse::Incomplete},
      // A server that says what this store never asks for is out of step
      // with it, or not Redis: the connection goes.
      {"bulk longer than allowed", "$9\r\n", RespParse::Malformed},
      {"length -2", "$-2\r\n", RespParse::Malformed},
      {"length with a plus", "$+1\r\na\r\n", RespParse::Malformed},
      {"length past 64 bits", "$99999999999999999999\r\n", RespParse::Malformed},
      {"integer with a blank", ": 1\r\n", RespParse::Malformed},
      {"bare LF", "+OK\n", RespParse::Malformed},
      {"CR without LF", "+O\rK\r\n", RespParse::Malformed},
      {"bulk not ended by CR LF", "$1\r\nab\r\n", RespParse::Malformed},
      {"array", "*1\r\n$1\r\na\r\n", RespParse::Malformed},
      {"inline text", "OK\r\n", RespParse::Malformed},
  };
  for (const auto& row : rows) {
    RespReply reply;
    std::size_t used = 0;
    EXPECT_EQ(ParseRespReply(row.bytes, kLongest, reply, used), row.expected) << row.name;
    if (row.expected != RespParse::Complete) continue;
    EXPECT_EQ(ParseRespReply(row.bytes + "+next\r\n", kLongest, reply, used), RespParse::Complete) << row.name;
    EXPECT_EQ(used, row.bytes.size()) << row.name << ": only its own bytes, when another reply follows";
    EXPECT_EQ(reply.type, row.type) << row.name;
    EXPECT_EQ(reply.text, row.text) << row.name;
    EXPECT_EQ(reply.integer, row.integer) << row.name;
    // A reply split anywhere by the network is never taken for complete early.
    for (std::size_t cut = 0; cut < row.bytes.size(); ++cut) {
      EXPECT_EQ(ParseRespReply(row.bytes.substr(0, cut), kLongest, reply, used), RespParse::Incomplete)
          << row.name << " cut at " << cut;
    }
  }
}

}  // namespace
}  // namespace turnpike
