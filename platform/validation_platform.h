// ValidationPlatform: the HTTP and XML services behind ticket validation.
//
// One validation is one session: Begin() prepares the calling thread (on
// Windows it initialises COM as a single-threaded apartment), the session
// creates one HTTP request object and one XML document, the request fetches
// the validation URL with a synchronous GET, the document loads the answer,
// answers XPath 1.0 queries and hands out nodes that can be walked (names,
// text, attributes, element children). The Windows layer maps each call onto
// the MSXML objects (ServerXMLHTTP, DOMDocument) and the Linux layer onto
// libcurl and libxml2; what differs between them (how namespaces are bound,
// how text is decoded) stays behind this interface.
//
// Ownership and lifetime: every object is owned by the caller through
// std::unique_ptr and released when it goes out of scope. Objects created by
// a session must be destroyed before the session itself (the session stands
// for the COM initialisation, which must outlive every COM object); a node
// must be destroyed before its document. Declaring the session first, then
// the request, then the document gives that order on every path.
//
// Threads: a ValidationPlatform is built once by the host at start-up (its
// constructor does the process-wide library set-up) and Begin() may then be
// called from any number of threads at once. A session and everything it
// creates are used by one thread at a time and never shared; nothing is
// pooled or kept between sessions. On Windows they belong to the thread that
// called Begin() (its COM apartment) for their whole life. On Linux they keep
// no state of the thread: a session and its objects may move to another
// thread between two calls, so that the GET runs on one thread and the answer
// is read on another.
//
// Text: every string crosses this interface in the filter's 8-bit form (the
// ANSI code page on Windows, UTF-8 on Linux), and the texts an answer gives
// say whether that form holds them exactly (NarrowText). The answer itself
// reaches the parser as the platform received it (LoadResponse), never
// through the 8-bit form. None of these operations reports events or throws
// on a failure of the platform: failures come back as results, and the
// caller decides what to report. Allocation failures in the caller's own
// strings may still throw std::bad_alloc.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace turnpike {

class HttpRequest;

// What loading a text into a document found.
enum class XmlLoadResult {
  WellFormed,     // the text is well-formed XML and the document now holds it
  NotWellFormed,  // a normal outcome: the text is something else (CAS 1.0, HTML, empty)
  CarriesDtd,     // well-formed, but with a document type declaration; nothing is held
  Failed,         // the platform could not attempt the load at all
};

// A text in the filter's 8-bit form. `exact` is false when the platform held
// characters that this form cannot (on Windows: characters the ANSI code
// page lacks); each then stands as the code page's default character, never
// as a look-alike, and the text is fit for an event's detail only.
struct NarrowText {
  std::string text;
  bool exact = true;
};

// What an XPath query found.
enum class XmlQueryResult {
  Found,     // the first selected node in document order is handed out
  NotFound,  // a normal answer: the expression selects nothing
  Failed,    // the query could not be run (bad expression, unbound prefix, ...)
};

// A prefix that queries use, and the namespace URI it stands for. Neither
// is empty: XPath 1.0 names without a prefix never match a namespace.
struct XmlNamespaceBinding {
  std::string_view prefix;
  std::string_view uri;
};

// What binding the queries' prefixes found. Which of the two was refused
// matters to an administrator: MSXML takes them as two document properties.
enum class XmlBindResult {
  Bound,              // SelectSingleNode now reads XPath 1.0 with these prefixes
  LanguageRefused,    // the document would not take XPath 1.0 as its query language
  NamespacesRefused,  // the document would not take these bindings
};

// A node of a loaded document, only read. Valid only while its document
// lives.
class XmlNode {
 public:
  virtual ~XmlNode() = default;

  // The node's text: the text of the node and of all its descendants, in
  // document order, as one string, without the white space around it (as
  // MSXML gives an element's text). Nothing when it cannot be read.
  virtual std::optional<NarrowText> Text() = 0;

  // The namespace URI of an element or attribute (empty for none) and its
  // local name, without the prefix the answer chose; both empty for other
  // nodes. Nothing when they cannot be read.
  virtual std::optional<NarrowText> NamespaceUri() = 0;
  virtual std::optional<NarrowText> LocalName() = 0;

  // The node's element children in document order; text, comments and
  // processing instructions between them are passed over. Empty for a node
  // that is no element; nothing when they cannot be read.
  virtual std::optional<std::vector<std::unique_ptr<XmlNode>>> ElementChildren() = 0;

  // The value of the element's attribute `name` in no namespace; nothing
  // when the node is no element, has no such attribute or it cannot be read.
  virtual std::optional<NarrowText> AttributeValue(const char* name) = 0;
};

// One XML document (MSXML DOMDocument, used through IXMLDOMDocument2).
class XmlDocument {
 public:
  virtual ~XmlDocument() = default;

  // Parses `text` (loadXML). The parse never fetches anything from the
  // network or the file system and never expands external entities, so a
  // hostile answer cannot make the filter read files or call other hosts.
  // A document type declaration, internal subset or external identifier, is
  // never put to use: such a document is CarriesDtd (a CAS answer has none,
  // and a DTD is how a hostile one would bring in entities). On Windows the
  // text passes through the ANSI code page first.
  virtual XmlLoadResult LoadXml(std::string_view text) = 0;

  // As LoadXml, on the body that `response` received with its last
  // successful Get, as the platform holds it: on Windows the UTF-16 text the
  // HTTP object decoded, so no character is changed by a code page on its way
  // to the parser; on Linux the bytes received. `response` must come from the
  // same session; Failed when its body cannot be read.
  virtual XmlLoadResult LoadResponse(HttpRequest& response) = 0;

  // Makes XPath 1.0 the query language and `bindings` the prefixes queries
  // may use, in place of any bound before. Each engine applies them its own
  // way (MSXML through its selection properties, libxml2 on each query's
  // context).
  virtual XmlBindResult BindNamespaces(std::span<const XmlNamespaceBinding> bindings) = 0;

  // selectSingleNode: runs the XPath 1.0 expression over the loaded document,
  // with the prefixes of the last BindNamespaces, and on Found hands out the
  // first selected node in document order through `node`.
  virtual XmlQueryResult SelectSingleNode(const char* xpath, std::unique_ptr<XmlNode>& node) = 0;

  // The whole document serialised as XML text (xml); nothing when it cannot
  // be produced. Meant for event details, not for further parsing: characters
  // the 8-bit form cannot hold stand as its default character.
  virtual std::optional<std::string> Xml() = 0;
};

// One HTTP request object (MSXML2.ServerXMLHTTP).
class HttpRequest {
 public:
  virtual ~HttpRequest() = default;

  // Synchronous GET of `url` as given (open, then send): no added request
  // header, no body, no credentials. True when a whole response arrived,
  // whatever its status: the status code and the response headers are
  // deliberately not looked at. False when the URL cannot be opened or the
  // exchange fails (unreachable or refusing server, rejected certificate,
  // time-out, an answer above the platform's size limit).
  virtual bool Get(const char* url) = 0;

  // The body of the response received by the last successful Get
  // (responseText), in the filter's 8-bit form; it may hold any bytes and
  // need not be NUL-free. Nothing when no response is held or it cannot be
  // read.
  virtual std::optional<NarrowText> ResponseText() = 0;
};

// The per-call preparation of the thread, and the factory of the call's
// objects. Destroying it undoes the preparation (CoUninitialize on Windows).
class ValidationSession {
 public:
  virtual ~ValidationSession() = default;

  // A new HTTP request object, or null when it cannot be created.
  virtual std::unique_ptr<HttpRequest> CreateHttpRequest() = 0;

  // A new empty XML document, or null when no document class can be created.
  // On Windows the DOMDocument classes 3.0, 4.0, 2.6 and the
  // version-independent one are tried in that order, silently.
  virtual std::unique_ptr<XmlDocument> CreateXmlDocument() = 0;
};

class ValidationPlatform {
 public:
  virtual ~ValidationPlatform() = default;

  // Prepares the calling thread for one validation; null when it cannot be
  // prepared (on Windows: CoInitialize failed, for instance because the
  // thread already lives in a multi-threaded apartment).
  virtual std::unique_ptr<ValidationSession> Begin() = 0;

  // How long the exchange of one validation may take in all. The platform is
  // built before the settings are read, so the filter's start steps hand the
  // value over here, once, before any Begin(); it is not for request time.
  // The Linux layer bounds the whole exchange with it; WinHTTP has no total
  // and bounds each of its steps instead. The default ignores it, for
  // platforms whose exchanges take no time (test doubles).
  virtual void SetTotalTimeout(std::chrono::milliseconds) {}

  // Makes the CAs of the PEM file at `path` the only ones trusted for the
  // CAS server's certificate, in place of the system's store; handed over
  // by the start steps, as the time-out. False when the file cannot be read
  // or holds no certificate, or the platform trusts its system's store only
  // (the default: WinHTTP takes no file of CAs), and then nothing changes.
  virtual bool TrustOnlyCertificatesIn(const std::string& path) {
    (void)path;
    return false;
  }
};

}  // namespace turnpike
