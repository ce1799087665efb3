// Libxml2Document: XmlDocument over a libxml2 tree, with XPath 1.0 queries.
// Internal to the Linux validation layer; see curl_libxml2_validation.h for
// the parsing policy. Used on one thread at a time, not necessarily the same
// one: each operation silences libxml2's error printing on its own thread
// for its own length, and keeps nothing of the thread.
#pragma once

#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/validation_platform.h"

namespace turnpike {

// Keeps libxml2 from printing parse and XPath errors to stderr on this thread
// while it lives, and then restores whatever handler the thread had (a host
// that uses libxml2 itself keeps its own). Must end on the thread that made
// it.
class QuietLibxml2Errors {
 public:
  QuietLibxml2Errors() noexcept;
  ~QuietLibxml2Errors();
  QuietLibxml2Errors(const QuietLibxml2Errors&) = delete;
  QuietLibxml2Errors& operator=(const QuietLibxml2Errors&) = delete;

  static void Ignore(void* context, xmlErrorPtr error) noexcept;

 private:
  xmlStructuredErrorFunc saved_handler_;
  void* saved_context_;
};

class Libxml2Document final : public XmlDocument {
 public:
  XmlLoadResult LoadXml(std::string_view text) override;
  XmlLoadResult LoadResponse(HttpRequest& response) override;
  XmlBindResult BindNamespaces(std::span<const XmlNamespaceBinding> bindings) override;
  XmlQueryResult SelectSingleNode(const char* xpath, std::unique_ptr<XmlNode>& node) override;
  std::optional<std::string> Xml() override;

 private:
  struct DocFree {
    void operator()(xmlDoc* doc) const noexcept { xmlFreeDoc(doc); }
  };

  std::unique_ptr<xmlDoc, DocFree> doc_;
  // prefix -> namespace URI, registered on every query's context.
  std::vector<std::pair<std::string, std::string>> namespaces_;
};

}  // namespace turnpike
