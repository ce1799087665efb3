// MsxmlValidationPlatform: the validation services on Windows, through COM:
// MSXML's ServerXMLHTTP for the GET and an MSXML DOM document for the answer.
//
// Begin() calls CoInitialize(NULL) on the calling thread (a single-threaded
// apartment) and the session's destruction calls CoUninitialize once, after
// the caller has released every object of the session. A thread that already
// lives in a multi-threaded apartment cannot be prepared: Begin() answers
// null. Nothing is created, pooled or cached outside a session, so any number
// of threads may validate at once, each in its own apartment.
//
// HTTP: the ProgID "MSXML2.ServerXMLHTTP", a synchronous open("GET", url)
// with user and password omitted, and send() with no body. No header or
// option is set: redirects, certificate checks and proxies are WinHTTP's
// defaults as ServerXMLHTTP applies them. Once SetTotalTimeout has been
// called, setTimeouts gives name resolution, sending and each wait for the
// answer that time, and the connection the smaller of it and 5 s; WinHTTP
// has no bound on the whole exchange, so a server that keeps sending a little
// at a time can hold it longer. Before, WinHTTP's own time-outs apply. The
// status code and the response headers are not read.
//
// XML: the first DOM document class that can be created, of DOMDocument30,
// DOMDocument40, DOMDocument26 and the version-independent DOMDocument, used
// through IXMLDOMDocument2. Before every load the document is told not to
// validate, not to resolve externals and to refuse any DTD; a document that
// does not accept all three refuses the load (XmlLoadResult::Failed), since
// a DTD is how a hostile answer reads local files or exhausts memory, and a
// CAS answer never carries one. A load that ProhibitDTD stops, and a text
// that still loads with a DOCTYPE (parsers that ignore ProhibitDTD, such as
// Wine's), are XmlLoadResult::CarriesDtd.
//
// Text: the answer reaches loadXML as the UTF-16 responseText, untouched;
// every other string crosses in the ANSI code page (ansi_text.h), exactly or
// marked as not exact.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "platform/validation_platform.h"

namespace turnpike {

class MsxmlValidationPlatform final : public ValidationPlatform {
 public:
  std::unique_ptr<ValidationSession> Begin() override;
  void SetTotalTimeout(std::chrono::milliseconds total) override;

 private:
  std::optional<std::chrono::milliseconds> total_timeout_;
};

}  // namespace turnpike
