// UTF-16 to 8 bits: exact, or marked as not exact; never best fit.
#include "platform/windows/ansi_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace turnpike {
namespace {

TEST(WideToCodePage, IsExactOrSaysSo) {
  const struct {
    const char* name;
    UINT code_page;
    std::wstring text;
    std::optional<std::string> bytes;  // nothing: the conversion is refused
    bool exact;
  } rows[] = {
      {"held character is its byte", 1252, L"Jos\u00e9", "Jos\xe9", true},
      // Best fit would give "admin" and "Lukasz": other accounts.
      {"full width is no look-alike", 1252, L"\uff41\uff44\uff4d\uff49\uff4e", "?????", false},
      {"a missing accent is no look-alike", 1252, L"\u0141ukasz", "?ukasz", false},
      {"UTF-8 holds every character", CP_UTF8, L"\u0141ukasz", "\xc5\x81ukasz", true},
      {"UTF-8 of an unpaired surrogate", CP_UTF8, L"\xd800x", "\xef\xbf\xbdx", false},
      {"a code page without a default character is refused", CP_UTF7, L"x", std::nullopt, false},
  };
  for (const auto& row : rows) {
    const std::optional<NarrowText> converted = WideToCodePage(row.code_page, row.text);
    EXPECT_EQ(converted ? std::optional(converted->text) : std::nullopt, row.bytes) << row.name;
    if (converted) EXPECT_EQ(converted->exact, row.exact) << row.name;
  }
}

}  // namespace
}  // namespace turnpike
