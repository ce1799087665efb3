#include <gtest/gtest.h>
#include <libxml/xmlerror.h>

#include <memory>
#include <ostream>
#include <string>
#include <thread>
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

TEST(Libxml2Document, SelectsOnlyWithBoundPrefixes) {
  CurlLibxml2ValidationPlatform platform;
  const auto session = platform.Begin();
  const auto document = session->CreateXmlDocument();
  ASSERT_EQ(document->LoadXml("<a xmlns='urn:a'><b>x</b></a>"), XmlLoadResult::WellFormed);
  std::unique_ptr<XmlNode> node;
  EXPECT_EQ(document->SelectSingleNode("//p:b", node), XmlQueryResult::Failed);
  const XmlNamespaceBinding bindings[] = {{"q", "urn:q"}, {"p", "urn:a"}};
  ASSERT_EQ(document->BindNamespaces(bindings), XmlBindResult::Bound);
  ASSERT_EQ(document->SelectSingleNode("//p:b", node), XmlQueryResult::Found);
  EXPECT_EQ(node->Text().value_or(NarrowText{}).text, "x");
  EXPECT_EQ(document->SelectSingleNode("//b", node), XmlQueryResult::NotFound);
}

void CountingHandler(void* count, xmlErrorPtr) { ++*static_cast<int*>(count); }

// A host may use libxml2 itself: a validation prints nothing to stderr and
// leaves each thread's error handler as it found it, also when its session
// was begun on another thread than the one that reads the answer.
TEST(Libxml2Document, ErrorsAreSilencedForEachOperationOnItsThread) {
  int host_errors = 0;
  xmlSetStructuredErrorFunc(&host_errors, &CountingHandler);
  CurlLibxml2ValidationPlatform platform;
  std::unique_ptr<ValidationSession> session = platform.Begin();
  testing::internal::CaptureStderr();
  std::thread reader([&session] {
    int reader_errors = 0;
    xmlSetStructuredErrorFunc(&reader_errors, &CountingHandler);
    {
      const auto document = session->CreateXmlDocument();
      EXPECT_EQ(document->LoadXml("<a><b></a>"), XmlLoadResult::NotWellFormed);
      EXPECT_EQ(document->LoadXml("<a/>"), XmlLoadResult::WellFormed);
      std::unique_ptr<XmlNode> node;
      EXPECT_EQ(document->SelectSingleNode("//undeclared:x", node), XmlQueryResult::Failed);
      EXPECT_EQ(document->SelectSingleNode("((", node), XmlQueryResult::Failed);
    }
    session.reset();
    EXPECT_EQ(reader_errors, 0);
    EXPECT_EQ(xmlStructuredErrorContext, &reader_errors);
  });
  reader.join();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(host_errors, 0);
  EXPECT_EQ(xmlStructuredErrorContext, &host_errors);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
}

}  // namespace
}  // namespace turnpike
