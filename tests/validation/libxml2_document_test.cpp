#include <gtest/gtest.h>
#include <libxml/xmlerror.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/posix/curl_libxml2_validation.h"
#include "platform/posix/libxml2_document.h"

namespace turnpike {
namespace {

struct LoadCase {
  const char* name;
  std::string text;
  XmlLoadResult expected;
};

void PrintTo(const LoadCase& row, std::ostream* os) { *os << row.name; }

// Which answers count as XML decides which parser reads them. (HTML,
// undeclared Latin-1 and entity bombs come from the CAS server's faults.)
const LoadCase kLoadCases[] = {
    {"Element", "<a/>", XmlLoadResult::WellFormed},
    {"Utf8Bom", "\xef\xbb\xbf<a>\xc3\xa9</a>", XmlLoadResult::WellFormed},
    {"DeclaredLatin1", "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xe9</a>",
     XmlLoadResult::WellFormed},
    {"Cas1Text", "yes\nalice\n", XmlLoadResult::NotWellFormed},
    {"UnclosedElement", "<a>", XmlLoadResult::NotWellFormed},
    {"NulInside", std::string("<a>x\0</a>", 9), XmlLoadResult::NotWellFormed},
};

class Libxml2LoadTest : public testing::TestWithParam<LoadCase> {};

TEST_P(Libxml2LoadTest, DecidesWellFormedness) {
  CurlLibxml2ValidationPlatform platform;
  const auto session = platform.Begin();
  const auto document = session->CreateXmlDocument();
  EXPECT_EQ(document->LoadXml(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Load, Libxml2LoadTest, testing::ValuesIn(kLoadCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct NamespacesCase {
  const char* name;
  const char* value;
  bool accepted;
};

// The MSXML syntax of the "SelectionNamespaces" property.
const NamespacesCase kNamespacesCases[] = {
    {"SingleQuoted", "xmlns:cas='http://www.yale.edu/tp/cas'", true},
    {"DoubleQuoted", "xmlns:cas=\"http://www.yale.edu/tp/cas\"", true},
    {"SeveralWithBlanks", "  xmlns:a='urn:a'\txmlns:b=\"urn:b\" ", true},
    {"DefaultDeclaration", "xmlns='urn:a'", true},
    {"Empty", "", true},
    {"Unquoted", "xmlns:cas=urn:a", false},
    {"NoXmlns", "cas='urn:a'", false},
    {"Unterminated", "xmlns:cas='urn:a", false},
    {"EmptyPrefix", "xmlns:='urn:a'", false},
    {"PrefixWithoutUri", "xmlns:cas=''", false},
    {"NoBlankBetween", "xmlns:a='urn:a'xmlns:b='urn:b'", false},
};

void PrintTo(const NamespacesCase& row, std::ostream* os) { *os << row.name; }

class SelectionNamespacesTest : public testing::TestWithParam<NamespacesCase> {};

TEST_P(SelectionNamespacesTest, ParsesLikeMsxml) {
  EXPECT_EQ(ParseSelectionNamespaces(GetParam().value).has_value(), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(Namespaces, SelectionNamespacesTest, testing::ValuesIn(kNamespacesCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Libxml2Document, SelectsOnlyWithBoundPrefixesAndInXPathOnly) {
  CurlLibxml2ValidationPlatform platform;
  const auto session = platform.Begin();
  const auto document = session->CreateXmlDocument();
  ASSERT_EQ(document->LoadXml("<a xmlns='urn:a'><b>x</b></a>"), XmlLoadResult::WellFormed);
  std::unique_ptr<XmlNode> node;
  EXPECT_EQ(document->SelectSingleNode("//p:b", node), XmlQueryResult::Failed);
  EXPECT_FALSE(document->SetProperty("SelectionLanguage", "XSLPattern"));
  EXPECT_FALSE(document->SetProperty("ProhibitDTD", "true"));
  ASSERT_TRUE(document->SetProperty("SelectionNamespaces", "xmlns:p='urn:a'"));
  ASSERT_EQ(document->SelectSingleNode("//p:b", node), XmlQueryResult::Found);
  EXPECT_EQ(node->Text().value_or(NarrowText{}).text, "x");
  EXPECT_EQ(document->SelectSingleNode("//b", node), XmlQueryResult::NotFound);
}

void CountingHandler(void* count, xmlErrorPtr) { ++*static_cast<int*>(count); }

// A host may use libxml2 itself: a validation prints nothing to stderr and
// leaves the thread's error handler as it found it.
TEST(Libxml2Document, ErrorsAreSilencedForTheSessionOnly) {
  int host_errors = 0;
  xmlSetStructuredErrorFunc(&host_errors, &CountingHandler);
  CurlLibxml2ValidationPlatform platform;
  testing::internal::CaptureStderr();
  {
    const auto session = platform.Begin();
    const auto document = session->CreateXmlDocument();
    EXPECT_EQ(document->LoadXml("<a><b></a>"), XmlLoadResult::NotWellFormed);
    EXPECT_EQ(document->LoadXml("<a/>"), XmlLoadResult::WellFormed);
    std::unique_ptr<XmlNode> node;
    EXPECT_EQ(document->SelectSingleNode("//undeclared:x", node), XmlQueryResult::Failed);
    EXPECT_EQ(document->SelectSingleNode("((", node), XmlQueryResult::Failed);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(host_errors, 0);
  EXPECT_EQ(xmlStructuredError, &CountingHandler);
  EXPECT_EQ(xmlStructuredErrorContext, &host_errors);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
}

}  // namespace
}  // namespace turnpike
