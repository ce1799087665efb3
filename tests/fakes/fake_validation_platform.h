// FakeValidationPlatform: the validation services scripted by a test.
//
// Every operation is answered from the public script fields, and every call,
// creation and release is written to one shared call log, so that tests can
// check the order of the steps and that each object is released, the session
// last. Header-only; single-threaded.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/validation_platform.h"

namespace turnpike {

using FakeCallLog = std::vector<std::string>;

class FakeXmlDocument final : public XmlDocument {
 public:
  explicit FakeXmlDocument(FakeCallLog& log) : log_(log) {}
  ~FakeXmlDocument() override { log_.push_back("~XmlDocument"); }

  // Script.
  XmlLoadResult load = XmlLoadResult::WellFormed;
  std::set<std::string> failing_properties;
  std::map<std::string, XmlQueryResult> queries;  // absent: NotFound
  std::map<std::string, std::optional<std::string>> texts;  // by the query that found the node
  std::set<std::string> inexact_texts;  // queries whose node text did not convert exactly
  std::optional<std::string> xml = std::string("<fake/>");

  XmlLoadResult LoadXml(std::string_view text) override {
    log_.push_back("LoadXml " + std::string(text));
    return load;
  }
  XmlLoadResult LoadResponse(HttpRequest&) override {
    log_.push_back("LoadResponse");
    return load;
  }
  bool SetProperty(const char* name, const char* value) override {
    log_.push_back(std::string("SetProperty ") + name + "=" + value);
    return failing_properties.count(name) == 0;
  }
  XmlQueryResult SelectSingleNode(const char* xpath, std::unique_ptr<XmlNode>& node) override;
  std::optional<std::string> Xml() override {
    log_.push_back("Xml");
    return xml;
  }

 private:
  FakeCallLog& log_;
};

class FakeXmlNode final : public XmlNode {
 public:
  FakeXmlNode(FakeCallLog& log, std::string xpath, std::optional<NarrowText> text)
      : log_(log), xpath_(std::move(xpath)), text_(std::move(text)) {}
  ~FakeXmlNode() override { log_.push_back("~XmlNode " + xpath_); }
  std::optional<NarrowText> Text() override {
    log_.push_back("Text " + xpath_);
    return text_;
  }

 private:
  FakeCallLog& log_;
  std::string xpath_;
  std::optional<NarrowText> text_;
};

inline XmlQueryResult FakeXmlDocument::SelectSingleNode(const char* xpath,
                                                        std::unique_ptr<XmlNode>& node) {
  log_.push_back(std::string("Select ") + xpath);
  const auto query = queries.find(xpath);
  const XmlQueryResult result = query == queries.end() ? XmlQueryResult::NotFound : query->second;
  if (result == XmlQueryResult::Found) {
    const auto text = texts.find(xpath);
    std::optional<NarrowText> node_text = NarrowText{};  // unscripted: ""
    if (text != texts.end()) {
      node_text.reset();
      if (text->second) node_text = NarrowText{*text->second, inexact_texts.count(xpath) == 0};
    }
    node = std::make_unique<FakeXmlNode>(log_, xpath, std::move(node_text));
  }
  return result;
}

class FakeHttpRequest final : public HttpRequest {
 public:
  FakeHttpRequest(FakeCallLog& log, bool fail_get, std::optional<NarrowText> body)
      : log_(log), fail_get_(fail_get), body_(std::move(body)) {}
  ~FakeHttpRequest() override { log_.push_back("~HttpRequest"); }
  bool Get(const char* url) override {
    log_.push_back(std::string("Get ") + url);
    return !fail_get_;
  }
  std::optional<NarrowText> ResponseText() override {
    log_.push_back("ResponseText");
    return body_;
  }

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
  std::set<std::string> failing_properties;
  std::map<std::string, XmlQueryResult> queries;
  std::map<std::string, std::optional<std::string>> texts;
  std::set<std::string> inexact_texts;

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
    document->failing_properties = platform_.failing_properties;
    document->queries = platform_.queries;
    document->texts = platform_.texts;
    document->inexact_texts = platform_.inexact_texts;
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
