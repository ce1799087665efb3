#include "platform/windows/msxml_validation.h"

#include <msxml2.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/windows/ansi_text.h"
#include "platform/windows/com.h"

namespace turnpike {
namespace {

// The identifiers are spelled out here: the mingw-w64 headers declare some of
// them without a definition in any import library, and their
// CLSID_DOMDocument is another class than MSXML's version-independent one.
constexpr IID kIidServerXmlHttpRequest = {
    0x2e9196bf, 0x13ba, 0x4dd4, {0x91, 0xca, 0x6c, 0x57, 0x1f, 0x28, 0x14, 0x95}};
constexpr IID kIidXmlDomDocument2 = {
    0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
constexpr CLSID kClsidDomDocument30 = {
    0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
constexpr CLSID kClsidDomDocument40 = {
    0x88d969c0, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
constexpr CLSID kClsidDomDocument26 = {
    0xf5078f1b, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
constexpr CLSID kClsidDomDocument = {
    0xf6d90f11, 0x9c73, 0x11d3, {0xb3, 0x2e, 0x00, 0xc0, 0x4f, 0x99, 0x0b, 0xb4}};

// The newest parser that every supported Windows ships comes first; the
// others keep older or stripped-down servers working.
constexpr const CLSID* kDocumentClasses[] = {&kClsidDomDocument30, &kClsidDomDocument40,
                                             &kClsidDomDocument26, &kClsidDomDocument};

// The parse errors of ProhibitDTD: MSXML 3.0; MSXML 6.0 with the old parser;
// with the new one.
constexpr long kXmlInvalidAtRootLevel = static_cast<long>(0xC00CE556u);
constexpr long kXmlDtdProhibited = static_cast<long>(0xC00CE584u);
constexpr long kWcDtdProhibited = static_cast<long>(0xC00CEE4Eu);

// Whether the prolog of `text` (after a byte order mark, white space, the XML
// declaration, processing instructions and comments) reaches the start of a
// document type declaration. The declaration itself is never read.
bool PrologReachesDoctype(std::wstring_view text) {
  std::size_t i = !text.empty() && text[0] == L'\xfeff' ? 1 : 0;
  while (true) {
    while (i < text.size() &&
           (text[i] == L' ' || text[i] == L'\t' || text[i] == L'\r' || text[i] == L'\n')) {
      ++i;
    }
    const std::wstring_view rest = text.substr(i);
    std::wstring_view close;
    if (rest.starts_with(L"<?")) {
      close = L"?>";
    } else if (rest.starts_with(L"<!--")) {
      close = L"-->";
    } else {
      return rest.starts_with(L"<!DOCTYPE");
    }
    const std::size_t end = rest.find(close, 2);
    if (end == std::wstring_view::npos) return false;
    i += end + close.size();
  }
}

std::optional<Bstr> WideBstr(const wchar_t* text) {
  Bstr owned = Bstr::Adopt(SysAllocString(text));
  if (owned.get() == nullptr) return std::nullopt;
  return owned;
}

// The node's BSTR property read by `getter`, in the 8-bit form.
template <typename Getter>
std::optional<NarrowText> NodeText(IXMLDOMNode* node, Getter getter) {
  Bstr text;
  if (FAILED((node->*getter)(text.Out()))) return std::nullopt;
  return BstrToAnsi(text.get());
}

class MsxmlNode final : public XmlNode {
 public:
  explicit MsxmlNode(ComPtr<IXMLDOMNode> node) noexcept : node_(std::move(node)) {}

  std::optional<NarrowText> Text() override {
    return NodeText(node_.get(), &IXMLDOMNode::get_text);
  }

  std::optional<NarrowText> NamespaceUri() override {
    return NodeText(node_.get(), &IXMLDOMNode::get_namespaceURI);
  }

  // baseName is the name without its prefix.
  std::optional<NarrowText> LocalName() override {
    return NodeText(node_.get(), &IXMLDOMNode::get_baseName);
  }

  std::optional<std::vector<std::unique_ptr<XmlNode>>> ElementChildren() override {
    std::vector<std::unique_ptr<XmlNode>> children;
    DOMNodeType type = NODE_INVALID;
    if (FAILED(node_->get_nodeType(&type))) return std::nullopt;
    if (type != NODE_ELEMENT) return children;
    // S_FALSE with no node ends the list.
    ComPtr<IXMLDOMNode> child;
    if (FAILED(node_->get_firstChild(child.Out()))) return std::nullopt;
    while (child) {
      if (FAILED(child->get_nodeType(&type))) return std::nullopt;
      ComPtr<IXMLDOMNode> next;
      if (FAILED(child->get_nextSibling(next.Out()))) return std::nullopt;
      if (type == NODE_ELEMENT) children.push_back(std::make_unique<MsxmlNode>(std::move(child)));
      child = std::move(next);
    }
    return children;
  }

  // An attribute is named by its qualified name: "name" is the one without a
  // prefix, which stands in no namespace.
  std::optional<NarrowText> AttributeValue(const char* name) override {
    if (name == nullptr) return std::nullopt;
    std::optional<Bstr> wide_name = AnsiToBstr(name);
    ComPtr<IXMLDOMNamedNodeMap> attributes;
    // Only an element has attributes: any other node answers S_FALSE and null.
    if (!wide_name || FAILED(node_->get_attributes(attributes.Out())) || !attributes) {
      return std::nullopt;
    }
    ComPtr<IXMLDOMNode> attribute;
    if (FAILED(attributes->getNamedItem(wide_name->get(), attribute.Out())) || !attribute) {
      return std::nullopt;
    }
    // The value as written, where text would trim it.
    Variant value;
    if (FAILED(attribute->get_nodeValue(value.Out())) || value.get().vt != VT_BSTR) {
      return std::nullopt;
    }
    return BstrToAnsi(value.get().bstrVal);
  }

 private:
  ComPtr<IXMLDOMNode> node_;
};

// The SelectionNamespaces value: blank-separated declarations
// xmlns:prefix='uri'. Nothing for a binding it cannot carry as written (a
// quote, & or < in the URI; a blank, =, : or quote in the prefix): refused
// rather than bound to another namespace than the one asked for.
std::optional<std::string> SelectionNamespaces(std::span<const XmlNamespaceBinding> bindings) {
  std::string declarations;
  for (const XmlNamespaceBinding& binding : bindings) {
    constexpr std::string_view kNotInPrefix = " \t\r\n=:'\"&<";
    if (binding.prefix.empty() || binding.uri.empty() ||
        binding.prefix.find_first_of(kNotInPrefix) != std::string_view::npos ||
        binding.uri.find_first_of("'&<") != std::string_view::npos) {
      return std::nullopt;
    }
    if (!declarations.empty()) declarations += ' ';
    declarations.append("xmlns:").append(binding.prefix).append("='").append(binding.uri) += '\'';
  }
  return declarations;
}

class MsxmlDocument final : public XmlDocument {
 public:
  explicit MsxmlDocument(ComPtr<IXMLDOMDocument2> document) noexcept
      : document_(std::move(document)) {}

  XmlLoadResult LoadXml(std::string_view text) override {
    std::optional<Bstr> xml = AnsiToBstr(text);
    if (!xml) return XmlLoadResult::Failed;
    return Load(xml->get());
  }

  XmlLoadResult LoadResponse(HttpRequest& response) override;

  XmlBindResult BindNamespaces(std::span<const XmlNamespaceBinding> bindings) override {
    // The language must be chosen before the namespaces: MSXML 3.0 documents
    // start with XSLPattern, which does not take namespace bindings this way.
    if (!SetStringProperty(L"SelectionLanguage", "XPath")) return XmlBindResult::LanguageRefused;
    const std::optional<std::string> declarations = SelectionNamespaces(bindings);
    if (!declarations || !SetStringProperty(L"SelectionNamespaces", *declarations)) {
      return XmlBindResult::NamespacesRefused;
    }
    return XmlBindResult::Bound;
  }

  XmlQueryResult SelectSingleNode(const char* xpath, std::unique_ptr<XmlNode>& node) override {
    std::optional<Bstr> query = AnsiToBstr(xpath);
    if (!query) return XmlQueryResult::Failed;
    ComPtr<IXMLDOMNode> selected;
    // S_FALSE with no node is "nothing selected", not an error.
    if (FAILED(document_->selectSingleNode(query->get(), selected.Out()))) {
      return XmlQueryResult::Failed;
    }
    if (!selected) return XmlQueryResult::NotFound;
    node = std::make_unique<MsxmlNode>(std::move(selected));
    return XmlQueryResult::Found;
  }

  std::optional<std::string> Xml() override {
    Bstr xml;
    if (FAILED(document_->get_xml(xml.Out()))) return std::nullopt;
    std::optional<NarrowText> text = BstrToAnsi(xml.get());
    if (!text) return std::nullopt;
    return std::move(text->text);
  }

 private:
  XmlLoadResult Load(BSTR xml) {
    if (!ForbidDtdAndExternals()) return XmlLoadResult::Failed;
    VARIANT_BOOL well_formed = VARIANT_FALSE;
    // A text that is not XML gives S_FALSE; only a failure code means the
    // load could not be attempted.
    if (FAILED(document_->loadXML(xml, &well_formed))) return XmlLoadResult::Failed;
    if (well_formed != VARIANT_TRUE) {
      return RefusedForItsDtd(xml) ? XmlLoadResult::CarriesDtd : XmlLoadResult::NotWellFormed;
    }
    // A parser that takes ProhibitDTD without honouring it (older MSXML
    // builds, Wine) parses the DOCTYPE and leaves it in the tree: such an
    // answer is refused here as ProhibitDTD would have refused it.
    ComPtr<IXMLDOMDocumentType> doctype;
    if (FAILED(document_->get_doctype(doctype.Out()))) return XmlLoadResult::Failed;
    return doctype ? XmlLoadResult::CarriesDtd : XmlLoadResult::WellFormed;
  }

  // Whether the failed load of `xml` was ProhibitDTD stopping at a DOCTYPE.
  // MSXML 3.0 reports that with the error of any text that is no XML at its
  // top level (a CAS 1.0 "yes" as well), so the error counts only when the
  // text's prolog does reach a DOCTYPE. As the parse stops there, a text that
  // is no XML after its DOCTYPE (an HTML page starting with <!DOCTYPE html>)
  // cannot be told from a well-formed one and is reported as one; it names
  // nobody either way, only the event differs from the other platforms.
  bool RefusedForItsDtd(BSTR xml) {
    ComPtr<IXMLDOMParseError> error;
    long code = 0;
    if (FAILED(document_->get_parseError(error.Out())) || !error ||
        FAILED(error->get_errorCode(&code))) {
      return false;
    }
    const bool dtd_error = code == kXmlInvalidAtRootLevel || code == kXmlDtdProhibited ||
                           code == kWcDtdProhibited;
    return dtd_error && PrologReachesDoctype(std::wstring_view(xml, SysStringLen(xml)));
  }

  bool SetStringProperty(const wchar_t* name, std::string_view value) {
    std::optional<Bstr> wide_name = WideBstr(name);
    std::optional<Bstr> wide_value = AnsiToBstr(value);
    if (!wide_name || !wide_value) return false;
    const Variant property = Variant::String(std::move(*wide_value));
    return SUCCEEDED(document_->setProperty(wide_name->get(), property.get()));
  }

  // MSXML 3.0 validates against a DTD when asked, resolves external
  // entities and the external subset by default and expands internal
  // entities without limit. A CAS answer has no DTD, so all of it is turned
  // off, and a document that cannot turn it off is not used at all.
  bool ForbidDtdAndExternals() {
    if (FAILED(document_->put_validateOnParse(VARIANT_FALSE))) return false;
    if (FAILED(document_->put_resolveExternals(VARIANT_FALSE))) return false;
    std::optional<Bstr> prohibit_dtd = WideBstr(L"ProhibitDTD");
    if (!prohibit_dtd) return false;
    const Variant yes = Variant::Bool(true);
    return SUCCEEDED(document_->setProperty(prohibit_dtd->get(), yes.get()));
  }

  ComPtr<IXMLDOMDocument2> document_;
};

// As on Linux, a server that does not even accept the connection is given
// up on well before the total.
constexpr std::chrono::milliseconds kConnectTimeout{5'000};

class ServerXmlHttpRequest final : public HttpRequest {
 public:
  ServerXmlHttpRequest(ComPtr<IServerXMLHTTPRequest> request,
                       std::optional<std::chrono::milliseconds> timeout) noexcept
      : request_(std::move(request)), timeout_(timeout) {}

  bool Get(const char* url) override {
    std::optional<Bstr> method = WideBstr(L"GET");
    std::optional<Bstr> wide_url = AnsiToBstr(url);
    if (!method || !wide_url) return false;
    // Before open, as ServerXMLHTTP requires. The settings keep the count
    // within a 32-bit long.
    if (timeout_) {
      const auto total = static_cast<LONG>(timeout_->count());
      const auto connect = static_cast<LONG>(std::min(*timeout_, kConnectTimeout).count());
      if (FAILED(request_->setTimeouts(total, connect, total, total))) return false;
    }
    const Variant synchronous = Variant::Bool(false);
    const Variant no_user = Variant::Omitted();
    const Variant no_password = Variant::Omitted();
    if (FAILED(request_->open(method->get(), wide_url->get(), synchronous.get(), no_user.get(),
                              no_password.get()))) {
      return false;
    }
    const Variant no_body = Variant::Omitted();
    return SUCCEEDED(request_->send(no_body.get()));
  }

  std::optional<NarrowText> ResponseText() override {
    std::optional<Bstr> text = WideResponseText();
    if (!text) return std::nullopt;
    return BstrToAnsi(text->get());
  }

  // responseText as the HTTP object decoded it.
  std::optional<Bstr> WideResponseText() {
    Bstr text;
    if (FAILED(request_->get_responseText(text.Out()))) return std::nullopt;
    return text;
  }

 private:
  ComPtr<IServerXMLHTTPRequest> request_;
  std::optional<std::chrono::milliseconds> timeout_;
};

XmlLoadResult MsxmlDocument::LoadResponse(HttpRequest& response) {
  // The answer goes to the parser as the UTF-16 text the HTTP object
  // decoded: through the code page, a character it lacks would reach the
  // parser as another one.
  auto* own = dynamic_cast<ServerXmlHttpRequest*>(&response);
  if (own == nullptr) return XmlLoadResult::Failed;
  std::optional<Bstr> text = own->WideResponseText();
  if (!text) return XmlLoadResult::Failed;
  return Load(text->get());
}

class MsxmlSession final : public ValidationSession {
 public:
  MsxmlSession(ComApartment apartment, std::optional<std::chrono::milliseconds> timeout) noexcept
      : apartment_(std::move(apartment)), timeout_(timeout) {}

  std::unique_ptr<HttpRequest> CreateHttpRequest() override {
    CLSID server_xml_http;
    if (FAILED(CLSIDFromProgID(L"MSXML2.ServerXMLHTTP", &server_xml_http))) return nullptr;
    ComPtr<IServerXMLHTTPRequest> request;
    if (FAILED(CoCreateInstance(server_xml_http, nullptr, CLSCTX_ALL, kIidServerXmlHttpRequest,
                                request.OutVoid()))) {
      return nullptr;
    }
    return std::make_unique<ServerXmlHttpRequest>(std::move(request), timeout_);
  }

  std::unique_ptr<XmlDocument> CreateXmlDocument() override {
    for (const CLSID* document_class : kDocumentClasses) {
      ComPtr<IXMLDOMDocument2> document;
      if (SUCCEEDED(CoCreateInstance(*document_class, nullptr, CLSCTX_ALL, kIidXmlDomDocument2,
                                     document.OutVoid()))) {
        return std::make_unique<MsxmlDocument>(std::move(document));
      }
    }
    return nullptr;
  }

 private:
  // The session stands for the apartment; the caller releases the session's
  // objects before the session, so CoUninitialize comes after all of them.
  ComApartment apartment_;
  std::optional<std::chrono::milliseconds> timeout_;
};

}  // namespace

std::unique_ptr<ValidationSession> MsxmlValidationPlatform::Begin() {
  ComApartment apartment;
  if (!apartment.initialized()) return nullptr;
  return std::make_unique<MsxmlSession>(std::move(apartment), total_timeout_);
}

void MsxmlValidationPlatform::SetTotalTimeout(std::chrono::milliseconds total) {
  total_timeout_ = total;
}

}  // namespace turnpike
