// FakeValidationPlatform: the validation services scripted by a test.
//
// Every operation is answered from the public script fields. The creations,
// the GET and every release are written to one shared call log, so that
// tests can see what was asked of the CAS server and that each object is
// released, the session last. Header-only; single-threaded.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/validation_platform.h"

namespace turnpike {

using FakeCallLog = std::vector<std::string>;

// A scripted element: its names, its text and its element children.
struct FakeXmlElement {
  std::string local_name;
  std::optional<std::string> text = std::string();  // nothing: it cannot be read
  bool exact = true;  // whether the 8-bit form holds its text
  std::vector<FakeXmlElement> children = {};
  std::string namespace_uri = "http://www.yale.edu/tp/cas";
};

class FakeXmlNode final : public XmlNode {
 public:
  explicit FakeXmlNode(FakeXmlElement element) : element_(std::move(element)) {}
  std::optional<NarrowText> Text() override {
    if (!element_.text) return std::nullopt;
    return NarrowText{*element_.text, element_.exact};
  }
  std::optional<NarrowText> NamespaceUri() override { return NarrowText{element_.namespace_uri}; }
  std::optional<NarrowText> LocalName() override { return NarrowText{element_.local_name}; }
  std::optional<std::vector<std::unique_ptr<XmlNode>>> ElementChildren() override {
    std::vector<std::unique_ptr<XmlNode>> children;
    for (const FakeXmlElement& child : element_.children) {
      children.push_back(std::make_unique<FakeXmlNode>(child));
    }
    return children;
  }
  std::optional<NarrowText> AttributeValue(const char*) override { return std::nullopt; }

 private:
  FakeXmlElement element_;
};

class FakeXmlDocument final : public XmlDocument {
 public:
  explicit FakeXmlDocument(FakeCallLog& log) : log_(log) {}
  ~FakeXmlDocument() override { log_.push_back("~XmlDocument"); }

  // Script.
  XmlLoadResult load = XmlLoadResult::WellFormed;
  XmlBindResult bind = XmlBindResult::Bound;
  std::map<std::string, XmlQueryResult> queries;  // absent: NotFound
  std::map<std::string, FakeXmlElement> nodes;    // by the query that finds them; absent: empty
  std::optional<std::string> xml = std::string("<fake/>");

  XmlLoadResult LoadXml(std::string_view) override { return load; }
  XmlLoadResult LoadResponse(HttpRequest&) override { return load; }
  XmlBindResult BindNamespaces(std::span<const XmlNamespaceBinding>) override { return bind; }
  XmlQueryResult SelectSingleNode(const char* xpath, std::unique_ptr<XmlNode>& node) override {
    const auto query = queries.find(xpath);
    const XmlQueryResult result = query == queries.end() ? XmlQueryResult::NotFound : query->second;
    if (result == XmlQueryResult::Found) {
      const auto scripted = nodes.find(xpath);
      node = std::make_unique<FakeXmlNode>(scripted != nodes.end() ? scripted->second
                                                                   : FakeXmlElement{});
    }
    return result;
  }
  std::optional<std::string> Xml() override { return xml; }

 private:
  FakeCallLog& log_;
};

class FakeHttpRequest final : public HttpRequest {
 public:
  FakeHttpRequest(FakeCallLog& log, bool fail_get, std::optional<NarrowText> body)
      : log_(log), fail_get_(fail_get), body_(std::move(body)) {}
  ~FakeHttpRequest() override { log_.push_back("~HttpRequest"); }
  bool Get(const char* url) override {
    log_.push_back(std::string("Get ") + url);
    return !fail_get_;
  }
  std::optional<NarrowText> ResponseText() override { return body_; }

 private:
  FakeCallLog& log_;
  bool fail_get_;
  std::optional<NarrowText> body_;
};

class FakeValidationPlatform final : public ValidationPlatform {
 public:
  // Script.
  bool fail_begin = false;
  bool fail_create_request = false;
  bool fail_get = false;
  bool fail_create_document = false;
  std::optional<std::string> body = std::string();
  bool body_exact = true;
  // Applied to the document the session creates.
  XmlLoadResult load = XmlLoadResult::NotWellFormed;
  std::map<std::string, XmlQueryResult> queries;
  std::map<std::string, FakeXmlElement> nodes;

  FakeCallLog calls;
  // What the filter handed over at its start.
  std::optional<std::chrono::milliseconds> total_timeout;

  std::unique_ptr<ValidationSession> Begin() override;
  void SetTotalTimeout(std::chrono::milliseconds total) override { total_timeout = total; }
};

class FakeValidationSession final : public ValidationSession {
 public:
  explicit FakeValidationSession(FakeValidationPlatform& platform) : platform_(platform) {}
  ~FakeValidationSession() override { platform_.calls.push_back("~Session"); }

  std::unique_ptr<HttpRequest> CreateHttpRequest() override {
    platform_.calls.push_back("CreateHttpRequest");
    if (platform_.fail_create_request) return nullptr;
    std::optional<NarrowText> body;
    if (platform_.body) body = NarrowText{*platform_.body, platform_.body_exact};
    return std::make_unique<FakeHttpRequest>(platform_.calls, platform_.fail_get, std::move(body));
  }
  std::unique_ptr<XmlDocument> CreateXmlDocument() override {
    platform_.calls.push_back("CreateXmlDocument");
    if (platform_.fail_create_document) return nullptr;
    auto document = std::make_unique<FakeXmlDocument>(platform_.calls);
    document->load = platform_.load;
    document->queries = platform_.queries;
    document->nodes = platform_.nodes;
    return document;
  }

 private:
  FakeValidationPlatform& platform_;
};

inline std::unique_ptr<ValidationSession> FakeValidationPlatform::Begin() {
  calls.push_back("Begin");
  if (fail_begin) return nullptr;
  return std::make_unique<FakeValidationSession>(*this);
}

}  // namespace turnpike
