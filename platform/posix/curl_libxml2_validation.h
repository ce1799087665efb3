// CurlLibxml2ValidationPlatform: the validation services on Linux, with
// libcurl for the GET and libxml2 for the document and its XPath queries.
//
// Hosts build exactly one at start-up, before any request thread runs: the
// constructor does libcurl's and libxml2's process-wide initialisation, which
// must not race with anything else, and must never happen per request. A
// platform whose initialisation failed still constructs; every Begin() then
// answers null, which the filter reports as a failed preparation. Begin() is
// safe on any number of threads at once.
//
// HTTP exchange (CurlHttpSettings below):
//   - only http and https, also for redirects; redirects are followed, as
//     MSXML's ServerXMLHTTP does, at most `max_redirects` times, and an HTTPS
//     validation URL is never redirected to plain HTTP (WinHTTP's default
//     policy), so a ticket check that started encrypted stays encrypted;
//   - server certificates and host names are verified against the system's
//     certificate store, or against the CAs of one PEM file alone
//     (TrustOnlyCertificatesIn); there is no switch to turn that off;
//   - a connect time-out and a total time-out bound how long a request
//     thread can be held by a slow or silent CAS server; SetTotalTimeout
//     replaces the total (ValidationTimeout) and brings the connect time-out
//     down to it when it is shorter;
//   - an answer longer than `max_response_bytes` fails the exchange: a CAS
//     answer is a few hundred bytes, and the body is held in memory;
//   - no request header is added, no credentials are sent (a .netrc is not
//     read), no cookie is kept, and the HTTP status is never looked at;
//   - proxies come from the usual environment variables (http_proxy,
//     https_proxy, no_proxy), as for any libcurl program;
//   - connections to the CAS server stay open between validations, and TLS
//     sessions are resumed (CurlHandlePool in curl_http_request.h): the
//     handle of a finished validation waits, reset, for the next one on any
//     thread, with nothing of the request or its user but the connection.
//
// XML document: parsed from memory without network access, without loading
// an external DTD or external entities, without substituting entities into
// the tree (so no XXE) and with libxml2's entity amplification checks left on
// (never XML_PARSE_HUGE), so a "billion laughs" answer cannot exhaust memory;
// a well-formed document with a DOCTYPE is then refused as a whole
// (CarriesDtd), so no entity it declares is ever read. libxml2's own error
// printing is silenced for the length of each document operation on the
// thread that runs it and then restored, so a host that uses libxml2 itself
// keeps its own handler, and a session keeps nothing of any thread: the GET
// may run on one thread and the answer be read on another.
//
// Text: the 8-bit form is UTF-8. The response body is passed on as the bytes
// received; libxml2 decodes it by its XML declaration or BOM (UTF-8 when it
// names none), and node texts and the document's text come back as UTF-8.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include "platform/validation_platform.h"

namespace turnpike {

class CurlHandlePool;

// Long enough for a CAS server across a WAN, short enough that a dead one
// frees the request thread quickly.
inline constexpr std::chrono::milliseconds kValidationConnectTimeout{5'000};
// The whole exchange, redirects included. The browser is waiting on it, and
// the web server's thread is held for its length.
inline constexpr std::chrono::milliseconds kValidationTotalTimeout{15'000};
// A CAS answer, even with many attributes, is a few kilobytes.
inline constexpr std::size_t kValidationMaxResponseBytes = 1024 * 1024;
// WinHTTP's own limit for automatic redirects.
inline constexpr long kValidationMaxRedirects = 10;

struct CurlHttpSettings {
  std::chrono::milliseconds connect_timeout = kValidationConnectTimeout;
  std::chrono::milliseconds total_timeout = kValidationTotalTimeout;
  std::size_t max_response_bytes = kValidationMaxResponseBytes;
  long max_redirects = kValidationMaxRedirects;
  // The PEM text of the only CAs trusted; null: the system's store. Owned
  // by the platform, which outlives every request.
  const std::string* trusted_certificates = nullptr;
};

class CurlLibxml2ValidationPlatform final : public ValidationPlatform {
 public:
  explicit CurlLibxml2ValidationPlatform(const CurlHttpSettings& settings = {});
  ~CurlLibxml2ValidationPlatform() override;
  CurlLibxml2ValidationPlatform(const CurlLibxml2ValidationPlatform&) = delete;
  CurlLibxml2ValidationPlatform& operator=(const CurlLibxml2ValidationPlatform&) = delete;

  std::unique_ptr<ValidationSession> Begin() override;
  void SetTotalTimeout(std::chrono::milliseconds total) override;
  // Reads the file once, here: Apache's parent reads it as root, and its
  // children, which may not read it, inherit the text.
  bool TrustOnlyCertificatesIn(const std::string& path) override;

  // false: each validation opens its own connection and TLS session, as
  // before connections were kept (for comparison in benchmarks). Before any
  // request thread runs.
  void KeepConnections(bool keep);

  // False when libcurl's process-wide initialisation failed.
  bool initialized() const noexcept { return initialized_; }

 private:
  CurlHttpSettings settings_;
  // The connect time-out as built, which a shorter total cuts down.
  std::chrono::milliseconds connect_timeout_;
  std::string trusted_certificates_;
  bool initialized_ = false;
  // Handles (and their connections) kept between validations; null when
  // libcurl could not be initialised.
  std::unique_ptr<CurlHandlePool> handles_;
};

}  // namespace turnpike
