// The single-logout request: finding it in a form body, and reading its
// SessionIndex through the real libxml2 document.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "filter/logout_request.h"
#include "platform/posix/curl_libxml2_validation.h"

namespace turnpike {
namespace {

TEST(LogoutRequest, FoundOnlyUnderItsExactNameInAForm) {
  const struct { const char* body; std::optional<std::string> expected; } rows[] = {
      {"logoutRequest=%3Ca%3E+b%2b", "<a> b+"},
      {"x=1&logoutRequest=v&logoutRequest=w", "v"},
      {"a=1&logoutRequest", ""},
      {"logoutRequest=%zz%4", "%zz%4"},
      {"logoutrequest=v", std::nullopt},
      {"xlogoutRequest=v&logoutRequestx=w", std::nullopt},
      {"%6CogoutRequest=v", std::nullopt},  // names compare as sent
      {"", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(FindLogoutRequest(row.body), row.expected) << row.body;

  EXPECT_TRUE(IsFormContentType("application/x-www-form-urlencoded"));
  EXPECT_TRUE(IsFormContentType(" Application/X-WWW-Form-Urlencoded ; charset=UTF-8"));
  EXPECT_FALSE(IsFormContentType("application/x-www-form-urlencodedx"));
  EXPECT_FALSE(IsFormContentType("multipart/form-data; boundary=x"));
}

TEST(LogoutRequest, SessionIndexOnlyAsAChildOfTheRootLogoutRequest) {
  const std::string ns = "xmlns:samlp='urn:oasis:names:tc:SAML:2.0:protocol'";
  const struct { std::string xml; LogoutRequestStatus status; const char* index; } rows[] = {
      {"<samlp:LogoutRequest " + ns + " xmlns:saml='urn:oasis:names:tc:SAML:2.0:assertion' ID='LR-1'>"
       "<saml:NameID>@NOT_USED@</saml:NameID><samlp:SessionIndex>ST-1</samlp:SessionIndex>"
       "</samlp:LogoutRequest>", LogoutRequestStatus::Found, "ST-1"},
      {"<p:LogoutRequest xmlns:p='urn:oasis:names:tc:SAML:2.0:protocol'><p:SessionIndex> ST-2 "
       "</p:SessionIndex><p:SessionIndex>ST-3</p:SessionIndex></p:LogoutRequest>",
       LogoutRequestStatus::Found, "ST-2"},
      {"<samlp:LogoutRequest xmlns:samlp='urn:other'><samlp:SessionIndex>ST-1</samlp:SessionIndex>"
       "</samlp:LogoutRequest>", LogoutRequestStatus::NoSessionIndex, ""},
      {"<samlp:LogoutRequest " + ns + "><x><samlp:SessionIndex>ST-1</samlp:SessionIndex></x>"
       "</samlp:LogoutRequest>", LogoutRequestStatus::NoSessionIndex, ""},
      {"<x " + ns + "><samlp:LogoutRequest><samlp:SessionIndex>ST-1</samlp:SessionIndex>"
       "</samlp:LogoutRequest></x>", LogoutRequestStatus::NoSessionIndex, ""},
      {"<samlp:LogoutRequest " + ns + "><samlp:SessionIndex> </samlp:SessionIndex></samlp:LogoutRequest>",
       LogoutRequestStatus::NoSessionIndex, ""},
      {"<!DOCTYPE r [<!ENTITY t 'ST-1'>]><samlp:LogoutRequest " + ns +
       "><samlp:SessionIndex>&t;</samlp:SessionIndex></samlp:LogoutRequest>", LogoutRequestStatus::CarriesDtd, ""},
      {"ST-1", LogoutRequestStatus::NotWellFormed, ""},
  };
  CurlLibxml2ValidationPlatform platform;
  const auto session = platform.Begin();
  for (const auto& row : rows) {
    const auto document = session->CreateXmlDocument();
    const LogoutRequest request = ParseLogoutRequest(*document, row.xml);
    EXPECT_EQ(request.status, row.status) << row.xml;
    EXPECT_EQ(request.session_index, row.index) << row.xml;
  }
}

}  // namespace
}  // namespace turnpike
