#include "platform/posix/curl_libxml2_validation.h"

#include <curl/curl.h>
#include <libxml/parser.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <new>

#include "platform/posix/curl_http_request.h"
#include "platform/posix/libxml2_document.h"

namespace turnpike {
namespace {

// Nothing of libcurl or libxml2 needs preparing per thread, so a session may
// move between threads (the document quiets libxml2 per operation).
class CurlLibxml2Session final : public ValidationSession {
 public:
  CurlLibxml2Session(const CurlHttpSettings& settings, CurlHandlePool& handles) noexcept
      : settings_(settings), handles_(handles) {}

  std::unique_ptr<HttpRequest> CreateHttpRequest() override {
    return CurlHttpRequest::Create(settings_, handles_);
  }

  std::unique_ptr<XmlDocument> CreateXmlDocument() override {
    return std::unique_ptr<XmlDocument>(new (std::nothrow) Libxml2Document());
  }

 private:
  const CurlHttpSettings& settings_;
  CurlHandlePool& handles_;
};

}  // namespace

CurlLibxml2ValidationPlatform::CurlLibxml2ValidationPlatform(const CurlHttpSettings& settings)
    : settings_(settings), connect_timeout_(settings.connect_timeout) {
  // Both are process-wide and not for request time: curl_global_init may
  // initialise the TLS library, and xmlInitParser sets up libxml2's globals
  // and thread keys.
  xmlInitParser();
  initialized_ = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  // After the global initialisation, which the share needs.
  if (initialized_) handles_ = std::unique_ptr<CurlHandlePool>(new (std::nothrow) CurlHandlePool());
}

CurlLibxml2ValidationPlatform::~CurlLibxml2ValidationPlatform() {
  // libcurl counts its initialisations, so other users in the process keep
  // theirs. libxml2 is not cleaned up: its globals may be shared with the
  // host. The kept handles close before libcurl is cleaned up.
  handles_.reset();
  if (initialized_) curl_global_cleanup();
}

void CurlLibxml2ValidationPlatform::KeepConnections(bool keep) {
  if (initialized_) handles_ = std::unique_ptr<CurlHandlePool>(new (std::nothrow) CurlHandlePool(keep));
}

void CurlLibxml2ValidationPlatform::SetTotalTimeout(std::chrono::milliseconds total) {
  settings_.total_timeout = total;
  settings_.connect_timeout = std::min(connect_timeout_, total);
}

bool CurlLibxml2ValidationPlatform::TrustOnlyCertificatesIn(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  // A file of another kind (a key, DER bytes, an empty file) would make
  // every validation fail; it is refused at start-up instead.
  if (file.bad() || text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) return false;
  trusted_certificates_ = std::move(text);
  settings_.trusted_certificates = &trusted_certificates_;
  return true;
}

std::unique_ptr<ValidationSession> CurlLibxml2ValidationPlatform::Begin() {
  if (!initialized_ || handles_ == nullptr) return nullptr;
  return std::unique_ptr<ValidationSession>(new (std::nothrow) CurlLibxml2Session(settings_, *handles_));
}

}  // namespace turnpike
