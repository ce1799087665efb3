#include <gtest/gtest.h>
#include <libxml/xmlerror.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/curl_libxml2_validation.h"
#include "platform/posix/libxml2_document.h"

namespace turnpike {
namespace {

// Which answers count as XML decides which parser reads them. (HTML,
// undeclared Latin-1 and entity bombs come from the CAS server's faults.)
TEST(Libxml2Document, DecidesWellFormedness) {
  const struct { std::string text; XmlLoadResult expected; } rows[] = {
      {"<a/>", XmlLoadResult::WellFormed},
      {"\xef\xbb\xbf<a>\xc3\xa9</a>", XmlLoadResult::WellFormed},
      {"<?xml version='1.0' encoding='ISO-8859-1'?><a>\xe9</a>", XmlLoadResult::WellFormed},
      {"yes\nalice\n", XmlLoadResult::NotWellFormed},
      {"<a>", XmlLoadResult::NotWellFormed},
      {std::string("<a>x\0</a>", 9), XmlLoadResult::NotWellFormed},
  };
  CurlLibxml2ValidationPlatform platform;
  const auto session = platform.Begin();
  for (const auto& row : rows) {
    EXPECT_EQ(session->CreateXmlDocument()->LoadXml(row.text), row.expected) << testing::PrintToString(row.text);
  }
}

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
