// The Windows build matches URLs with UrlUnescapeA; the Linux build with the
// portable rule in platform/url_unescape.cpp. Both must decode the same URLs
// the same way, or a path protected on one would be open on the other.
#include <gtest/gtest.h>

#include <string>

#include "platform/url_unescape.h"

// The portable rule, under another name in this program.
#define UrlUnescapeInPlace PortableUrlUnescapeInPlace
#include "platform/url_unescape.cpp"
#undef UrlUnescapeInPlace

namespace turnpike {
namespace {

std::string Windows(std::string url) {
  UrlUnescapeInPlace(url.data());
  return url.c_str();
}

std::string Portable(std::string url) {
  PortableUrlUnescapeInPlace(url.data());
  return url.c_str();
}

TEST(UrlUnescape, ShlwapiAgreesWithThePortableRule) {
  const struct {
    const char* url;
    const char* expected;
  } rows[] = {
      {"/%73ecure/a", "/secure/a"},
      {"/%2Fsecure", "//secure"},
      {"/%2fsecure", "//secure"},
      {"/x?%2Fsecure", "/x?%2Fsecure"},    // the query stays escaped
      {"/x#%2Fsecure", "/x#%2Fsecure"},    // so does a fragment
      {"/a%3Fb?%41", "/a?b?%41"},          // a decoded '?' does not end the decoding
      {"/%", "/%"},
      {"/%4", "/%4"},
      {"/%4g", "/%4g"},
      {"/%%41", "/%A"},
      {"/%2541", "/%41"},                  // one step only
      {"/a+b", "/a+b"},
      {"/%41%00%42", "/A"},                // a decoded NUL ends the string
      {"/%e9t%C3%A9", "/\xe9t\xc3\xa9"},
      {"", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Windows(row.url), row.expected) << row.url;
    EXPECT_EQ(Portable(row.url), row.expected) << row.url;
  }
}

// Every '%' followed by two ASCII bytes. Bytes from 0x80 up after a '%' are
// left out: Wine's shlwapi classifies them as signed chars, so some pass as
// hexadecimal digits there; a browser sends such bytes escaped anyway.
TEST(UrlUnescape, AgreeOnEveryAsciiTwoByteEscape) {
  int disagreements = 0;
  for (int first = 1; first < 128; ++first) {
    for (int second = 1; second < 128; ++second) {
      std::string url = "/p%";
      url += static_cast<char>(first);
      url += static_cast<char>(second);
      url += "/q";
      if (Windows(url) != Portable(url) && ++disagreements <= 5) {
        ADD_FAILURE() << "differ on bytes " << first << ", " << second;
      }
    }
  }
  EXPECT_EQ(disagreements, 0);
}

}  // namespace
}  // namespace turnpike
