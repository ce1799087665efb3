#include "platform/posix/libxml2_document.h"

#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xpathInternals.h>

#include <climits>
#include <utility>

namespace turnpike {
namespace {

// Well-formedness only: no recovery (a broken answer must read as "not XML"),
// no network, no external DTD, no entity substitution into the tree (which
// would load external entities), no lifting of the parser's size and
// amplification limits, and no error printing.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

const xmlChar* Xc(const char* text) noexcept { return reinterpret_cast<const xmlChar*>(text); }
const char* Cc(const xmlChar* text) noexcept { return reinterpret_cast<const char*>(text); }

// Appends the XPath string value of the nodes from `first` on: the text and
// CDATA below them. The parser puts predefined entities and character
// references into the text itself; any other entity reference can only stand
// in a document with a DTD, which LoadXml refuses, so a text that rests on
// one cannot be read at all, rather than be read as if it were empty.
bool AppendText(const xmlNode* first, std::string& out) {
  for (const xmlNode* node = first; node != nullptr; node = node->next) {
    switch (node->type) {
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
        if (node->content != nullptr) out.append(Cc(node->content));
        break;
      case XML_ELEMENT_NODE:
      case XML_ATTRIBUTE_NODE:
      case XML_DOCUMENT_NODE:
      case XML_DOCUMENT_FRAG_NODE:
        if (!AppendText(node->children, out)) return false;
        break;
      case XML_ENTITY_REF_NODE:
        return false;
      case XML_ENTITY_NODE:
      case XML_PI_NODE:
      case XML_COMMENT_NODE:
      case XML_DOCUMENT_TYPE_NODE:
      case XML_NOTATION_NODE:
      case XML_HTML_DOCUMENT_NODE:
      case XML_DTD_NODE:
      case XML_ELEMENT_DECL:
      case XML_ATTRIBUTE_DECL:
      case XML_ENTITY_DECL:
      case XML_NAMESPACE_DECL:
      case XML_XINCLUDE_START:
      case XML_XINCLUDE_END:
#ifdef LIBXML_DOCB_ENABLED
      case XML_DOCB_DOCUMENT_NODE:
#endif
        break;
    }
  }
  return true;
}

struct XmlCharFree {
  void operator()(xmlChar* text) const noexcept { xmlFree(text); }
};

// libxml2 hands out UTF-8, which holds every character: every text is exact.
class Libxml2Node final : public XmlNode {
 public:
  explicit Libxml2Node(const xmlNode* node) noexcept : node_(node) {}
  explicit Libxml2Node(std::string fixed_text) : node_(nullptr), fixed_text_(std::move(fixed_text)) {}

  std::optional<NarrowText> Text() override {
    if (node_ == nullptr) return NarrowText{fixed_text_};
    std::string text;
    if (node_->type == XML_TEXT_NODE || node_->type == XML_CDATA_SECTION_NODE ||
        node_->type == XML_COMMENT_NODE || node_->type == XML_PI_NODE) {
      if (node_->content != nullptr) text = Cc(node_->content);
      return NarrowText{std::move(text)};
    }
    if (!AppendText(node_->children, text)) return std::nullopt;
    // MSXML's text property drops the white space around an element's text
    // unless the document preserves it, which the filter never asks for; a
    // CAS server that indents its answer names "alice", not "\n  alice\n".
    constexpr const char* kXmlWhiteSpace = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kXmlWhiteSpace);
    if (first == std::string::npos) return NarrowText{};
    return NarrowText{text.substr(first, text.find_last_not_of(kXmlWhiteSpace) - first + 1)};
  }

  std::optional<NarrowText> NamespaceUri() override {
    if (!IsNamed() || node_->ns == nullptr || node_->ns->href == nullptr) return NarrowText{};
    return NarrowText{Cc(node_->ns->href)};
  }

  // libxml2 keeps the prefix apart, in the namespace: the name is local.
  std::optional<NarrowText> LocalName() override {
    if (!IsNamed() || node_->name == nullptr) return NarrowText{};
    return NarrowText{Cc(node_->name)};
  }

  std::optional<std::vector<std::unique_ptr<XmlNode>>> ElementChildren() override {
    std::vector<std::unique_ptr<XmlNode>> children;
    if (node_ == nullptr || node_->type != XML_ELEMENT_NODE) return children;
    for (const xmlNode* child = node_->children; child != nullptr; child = child->next) {
      if (child->type == XML_ELEMENT_NODE) children.push_back(std::make_unique<Libxml2Node>(child));
    }
    return children;
  }

  std::optional<NarrowText> AttributeValue(const char* name) override {
    if (node_ == nullptr || node_->type != XML_ELEMENT_NODE || name == nullptr) return std::nullopt;
    const std::unique_ptr<xmlChar, XmlCharFree> value(xmlGetNoNsProp(node_, Xc(name)));
    if (value == nullptr) return std::nullopt;
    return NarrowText{Cc(value.get())};
  }

 private:
  bool IsNamed() const noexcept {
    return node_ != nullptr &&
           (node_->type == XML_ELEMENT_NODE || node_->type == XML_ATTRIBUTE_NODE);
  }

  const xmlNode* node_;
  std::string fixed_text_;
};

struct ParserContextFree {
  void operator()(xmlParserCtxt* context) const noexcept { xmlFreeParserCtxt(context); }
};
struct XPathContextFree {
  void operator()(xmlXPathContext* context) const noexcept { xmlXPathFreeContext(context); }
};
struct XPathObjectFree {
  void operator()(xmlXPathObject* object) const noexcept { xmlXPathFreeObject(object); }
};
}  // namespace

QuietLibxml2Errors::QuietLibxml2Errors() noexcept
    : saved_handler_(xmlStructuredError), saved_context_(xmlStructuredErrorContext) {
  xmlSetStructuredErrorFunc(nullptr, &QuietLibxml2Errors::Ignore);
}

QuietLibxml2Errors::~QuietLibxml2Errors() {
  xmlSetStructuredErrorFunc(saved_context_, saved_handler_);
}

void QuietLibxml2Errors::Ignore(void*, xmlErrorPtr) noexcept {}

XmlLoadResult Libxml2Document::LoadXml(std::string_view text) {
  const QuietLibxml2Errors quiet;
  doc_.reset();
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return XmlLoadResult::Failed;
  const std::unique_ptr<xmlParserCtxt, ParserContextFree> context(xmlNewParserCtxt());
  if (context == nullptr) return XmlLoadResult::Failed;
  doc_.reset(xmlCtxtReadMemory(context.get(), text.data(), static_cast<int>(text.size()),
                               nullptr, nullptr, kParseOptions));
  if (doc_ != nullptr && context->wellFormed != 0) {
    // Any DOCTYPE, with an internal subset or only an external identifier,
    // leaves an internal subset node; the external subset is never loaded.
    if (doc_->intSubset == nullptr && doc_->extSubset == nullptr) return XmlLoadResult::WellFormed;
    doc_.reset();
    return XmlLoadResult::CarriesDtd;
  }
  doc_.reset();
  if (context->lastError.code == XML_ERR_NO_MEMORY) return XmlLoadResult::Failed;
  // libxml2 gives up on an entity that grows past its limits (a "billion
  // laughs"), in a document that is otherwise well-formed. Only a DTD
  // declares entities, so the answer is told as one with a DTD, as MSXML
  // tells it.
  if (context->lastError.code == XML_ERR_ENTITY_LOOP) return XmlLoadResult::CarriesDtd;
  return XmlLoadResult::NotWellFormed;
}

XmlLoadResult Libxml2Document::LoadResponse(HttpRequest& response) {
  // The body's bytes as received: libxml2 decodes them by their own
  // declaration, as it would the answer on the wire.
  const std::optional<NarrowText> body = response.ResponseText();
  if (!body) {
    doc_.reset();
    return XmlLoadResult::Failed;
  }
  return LoadXml(body->text);
}

XmlBindResult Libxml2Document::BindNamespaces(std::span<const XmlNamespaceBinding> bindings) {
  std::vector<std::pair<std::string, std::string>> namespaces;
  for (const XmlNamespaceBinding& binding : bindings) {
    if (binding.prefix.empty() || binding.uri.empty()) return XmlBindResult::NamespacesRefused;
    namespaces.emplace_back(binding.prefix, binding.uri);
  }
  namespaces_ = std::move(namespaces);
  return XmlBindResult::Bound;
}

XmlQueryResult Libxml2Document::SelectSingleNode(const char* xpath,
                                                 std::unique_ptr<XmlNode>& node) {
  const QuietLibxml2Errors quiet;
  node.reset();
  if (xpath == nullptr) return XmlQueryResult::Failed;
  if (doc_ == nullptr) return XmlQueryResult::NotFound;
  const std::unique_ptr<xmlXPathContext, XPathContextFree> context(xmlXPathNewContext(doc_.get()));
  if (context == nullptr) return XmlQueryResult::Failed;
  context->error = &QuietLibxml2Errors::Ignore;
  for (const auto& [prefix, uri] : namespaces_) {
    if (xmlXPathRegisterNs(context.get(), Xc(prefix.c_str()), Xc(uri.c_str())) != 0) {
      return XmlQueryResult::Failed;
    }
  }
  const std::unique_ptr<xmlXPathObject, XPathObjectFree> result(
      xmlXPathEvalExpression(Xc(xpath), context.get()));
  if (result == nullptr || result->type != XPATH_NODESET) return XmlQueryResult::Failed;
  xmlNodeSet* nodes = result->nodesetval;
  if (nodes == nullptr || nodes->nodeNr == 0) return XmlQueryResult::NotFound;
  xmlXPathNodeSetSort(nodes);
  const xmlNode* first = nodes->nodeTab[0];
  if (first->type == XML_NAMESPACE_DECL) {
    // Namespace nodes in a result are copies that die with it.
    const auto* ns = reinterpret_cast<const xmlNs*>(first);
    node = std::make_unique<Libxml2Node>(std::string(ns->href != nullptr ? Cc(ns->href) : ""));
  } else {
    node = std::make_unique<Libxml2Node>(first);
  }
  return XmlQueryResult::Found;
}

std::optional<std::string> Libxml2Document::Xml() {
  if (doc_ == nullptr) return std::string();
  const QuietLibxml2Errors quiet;
  xmlChar* raw = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(doc_.get(), &raw, &size, "UTF-8");
  const std::unique_ptr<xmlChar, XmlCharFree> text(raw);
  if (text == nullptr || size < 0) return std::nullopt;
  return std::string(Cc(text.get()), static_cast<std::size_t>(size));
}

}  // namespace turnpike
