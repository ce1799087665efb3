// UTF-16 to 8 bits: exact, or marked as not exact; never best fit.
#include "platform/windows/ansi_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace turnpike {
namespace {

struct ConversionCase {
  const char* name;
  UINT code_page;
  std::wstring text;
  std::optional<std::string> bytes;  // nothing: the conversion is refused
  bool exact;
};

void PrintTo(const ConversionCase& row, std::ostream* os) { *os << row.name; }

const ConversionCase kConversionCases[] = {
    {"HeldCharacterIsItsByte", 1252, L"Jos\u00e9", "Jos\xe9", true},
    // Best fit would give "admin" and "Lukasz": other accounts.
    {"FullWidthIsNoLookAlike", 1252, L"\uff41\uff44\uff4d\uff49\uff4e", "?????", false},
    {"MissingAccentIsNoLookAlike", 1252, L"\u0141ukasz", "?ukasz", false},
    {"Utf8HoldsEveryCharacter", CP_UTF8, L"\u0141ukasz", "\xc5\x81ukasz", true},
    {"Utf8UnpairedSurrogate", CP_UTF8, L"\xd800x", "\xef\xbf\xbdx", false},
    {"CodePageWithoutDefaultCharacterIsRefused", CP_UTF7, L"x", std::nullopt, false},
};

class WideToCodePageTest : public testing::TestWithParam<ConversionCase> {};

TEST_P(WideToCodePageTest, IsExactOrSaysSo) {
  const ConversionCase& row = GetParam();
  const std::optional<NarrowText> converted = WideToCodePage(row.code_page, row.text);
  ASSERT_EQ(converted.has_value(), row.bytes.has_value());
  if (!converted) return;
  EXPECT_EQ(converted->text, *row.bytes);
  EXPECT_EQ(converted->exact, row.exact);
}

INSTANTIATE_TEST_SUITE_P(Conversions, WideToCodePageTest, testing::ValuesIn(kConversionCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace turnpike
