#include "validation/cas_response.h"

#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/bounded.h"

namespace turnpike {
namespace {

constexpr const char* kPropertyMessage =
    "The Turnpike ISAPI filter was unable to set a XML Document Property ";
constexpr const char* kCas2UserTooLargeMessage =
    "The Turnpike ISAPI filter was unable to parse the 2.x authenticated user name because it "
    "was too large";
constexpr const char* kCas2ResponseMessage =
    "The Turnpike ISAPI filter was unable to parse the 2.x Authentication response";
constexpr const char* kCas1UserMessage =
    "The Turnpike ISAPI filter was unable to parse the 1.x authenticated user name because it "
    "does not exist or was too large";

constexpr XmlNamespaceBinding kCasBindings[] = {{"cas", kCas2Namespace}};

// A name is accepted while it and its terminator fit below the buffer size.
constexpr bool UserNameFits(std::size_t length) noexcept {
  return length + 1 < kUserNameBufferSize;
}

// The returned name is a separate allocation of exactly the name, so that the
// answer (document or text) can be released independently of it.
std::optional<std::string> CopyUserName(const char* name, std::size_t length) {
  std::string copy(length, '\0');
  if (BoundedCopy(copy.data(), length + 1, name) != BoundedResult::Ok) return std::nullopt;
  return copy;
}

void ReportWithDocument(XmlDocument& document, const EventReporter& reporter,
                        const char* message) {
  const std::optional<std::string> xml = document.Xml();
  reporter.LogEvent(EventType::Error, message, xml ? xml->c_str() : nullptr);
}

// The local name of an element of the CAS namespace, "" for an element of
// any other; nothing when the node's names cannot be read.
std::optional<std::string> CasLocalName(XmlNode& node) {
  std::optional<NarrowText> uri = node.NamespaceUri();
  std::optional<NarrowText> name = node.LocalName();
  if (!uri || !name) return std::nullopt;
  if (!uri->exact || !name->exact || uri->text != kCas2Namespace) return std::string();
  return std::move(name->text);
}

// An attribute's name or value, usable only when it was read and the 8-bit
// form holds it exactly; one that is not held exactly is reported with the
// form it came out in.
bool Usable(const std::optional<NarrowText>& text, const EventReporter& reporter) {
  if (!text) return false;
  if (!text->exact) {
    reporter.LogEvent(EventType::Error, kCas2ResponseMessage, text->text.c_str());
    return false;
  }
  return true;
}

// Several elements of one name are one attribute, where the first stood.
class AttributeList {
 public:
  explicit AttributeList(std::vector<SignOnAttribute>& attributes) : attributes_(attributes) {}

  void Add(std::string name, std::string value) {
    // An index, not a search: a server that releases thousands of attributes
    // must not cost a square of them.
    const auto [place, added] = index_.try_emplace(name, attributes_.size());
    if (added) attributes_.push_back(SignOnAttribute{std::move(name), {}});
    attributes_[place->second].values.push_back(std::move(value));
  }

 private:
  std::vector<SignOnAttribute>& attributes_;
  std::unordered_map<std::string, std::size_t> index_;
};

// The attributes below the success element; false when the sign-on is
// refused.
bool ReadAttributes(XmlNode& success, std::vector<SignOnAttribute>& attributes,
                    const EventReporter& reporter) {
  const auto children = success.ElementChildren();
  if (!children) return false;
  AttributeList list(attributes);
  for (const std::unique_ptr<XmlNode>& child : *children) {
    const std::optional<std::string> kind = CasLocalName(*child);
    if (!kind) return false;
    if (*kind == "attributes") {
      const auto released = child->ElementChildren();
      if (!released) return false;
      for (const std::unique_ptr<XmlNode>& attribute : *released) {
        std::optional<NarrowText> name = attribute->LocalName();
        std::optional<NarrowText> value = attribute->Text();
        if (!Usable(name, reporter) || !Usable(value, reporter)) return false;
        list.Add(std::move(name->text), std::move(value->text));
      }
    } else if (*kind == "attribute") {
      std::optional<NarrowText> name = child->AttributeValue("name");
      std::optional<NarrowText> value = child->AttributeValue("value");
      if (!name || name->text.empty() || !value) continue;
      if (!Usable(name, reporter) || !Usable(value, reporter)) return false;
      list.Add(std::move(name->text), std::move(value->text));
    }
  }
  return true;
}

std::optional<SignOn> ReadCas2Response(XmlDocument& document, const EventReporter& reporter) {
  switch (document.BindNamespaces(kCasBindings)) {
    case XmlBindResult::Bound:
      break;
    case XmlBindResult::LanguageRefused:
      reporter.LogEvent(EventType::Error, kPropertyMessage, "SelectionLanguage");
      return std::nullopt;
    case XmlBindResult::NamespacesRefused:
      reporter.LogEvent(EventType::Error, kPropertyMessage, "SelectionNamespaces");
      return std::nullopt;
  }

  std::unique_ptr<XmlNode> success;
  switch (document.SelectSingleNode("//cas:authenticationSuccess", success)) {
    case XmlQueryResult::Failed:
      return std::nullopt;
    case XmlQueryResult::NotFound: {
      std::unique_ptr<XmlNode> failure;
      switch (document.SelectSingleNode("//cas:authenticationFailure", failure)) {
        case XmlQueryResult::Failed:
        case XmlQueryResult::Found:
          // A refusal: the caller reports the unvalidated ticket.
          return std::nullopt;
        case XmlQueryResult::NotFound:
          ReportWithDocument(document, reporter, kCas2ResponseMessage);
          return std::nullopt;
      }
      return std::nullopt;
    }
    case XmlQueryResult::Found:
      break;
  }

  // Document-wide on purpose: the first cas:user anywhere is the name, even
  // outside the success element.
  std::unique_ptr<XmlNode> user;
  switch (document.SelectSingleNode("//cas:user", user)) {
    case XmlQueryResult::Failed:
      return std::nullopt;
    case XmlQueryResult::NotFound:
      ReportWithDocument(document, reporter, kCas2ResponseMessage);
      return std::nullopt;
    case XmlQueryResult::Found:
      break;
  }
  const std::optional<NarrowText> text = user->Text();
  if (!text) return std::nullopt;
  if (!text->exact) {
    reporter.LogEvent(EventType::Error, kCas2ResponseMessage, text->text.c_str());
    return std::nullopt;
  }
  // The name is handled as the NUL-terminated 8-bit string the rest of the
  // filter sees.
  const char* name = text->text.c_str();
  const std::size_t length = std::strlen(name);
  if (!UserNameFits(length)) {
    ReportWithDocument(document, reporter, kCas2UserTooLargeMessage);
    return std::nullopt;
  }
  SignOn sign_on;
  std::optional<std::string> copy = CopyUserName(name, length);
  if (!copy) return std::nullopt;
  sign_on.user = std::move(*copy);
  if (!ReadAttributes(*success, sign_on.attributes, reporter)) return std::nullopt;
  return sign_on;
}

constexpr bool IsCas1Separator(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The next token of `*cursor`, ended in place; null when only separators are
// left. The cursor is the call's own, so concurrent validations cannot move it.
char* NextToken(char** cursor) noexcept {
  char* p = *cursor;
  while (IsCas1Separator(*p)) ++p;
  if (*p == '\0') {
    *cursor = p;
    return nullptr;
  }
  char* token = p;
  while (*p != '\0' && !IsCas1Separator(*p)) ++p;
  if (*p != '\0') *p++ = '\0';
  *cursor = p;
  return token;
}

}  // namespace

std::optional<SignOn> ParseCas2Response(XmlDocument& document,
                                        const EventReporter& reporter) noexcept {
  try {
    return ReadCas2Response(document, reporter);
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<SignOn> ParseCas1Response(char* text, const EventReporter& reporter) noexcept {
  if (text == nullptr) return std::nullopt;
  try {
    char* cursor = text;
    const char* answer = NextToken(&cursor);
    // Byte for byte: "YES" or "yesno" is not a CAS 1.0 acceptance.
    if (answer == nullptr || std::strcmp(answer, "yes") != 0) return std::nullopt;
    const char* name = NextToken(&cursor);
    const std::size_t length = name != nullptr ? std::strlen(name) : 0;
    if (name == nullptr || !UserNameFits(length)) {
      // The buffer now ends right after "yes", so it reads as the answer up
      // to there, with any separators that came before it.
      reporter.LogEvent(EventType::Error, kCas1UserMessage, text);
      return std::nullopt;
    }
    std::optional<std::string> user = CopyUserName(name, length);
    if (!user) return std::nullopt;
    SignOn sign_on;
    sign_on.user = std::move(*user);
    return sign_on;
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<SignOn> ParseCasAnswer(XmlLoadResult loaded, XmlDocument& document,
                                     const NarrowText& answer,
                                     const EventReporter& reporter) noexcept {
  try {
    switch (loaded) {
      case XmlLoadResult::WellFormed:
        return ParseCas2Response(document, reporter);
      case XmlLoadResult::CarriesDtd:
        reporter.LogEvent(EventType::Error, kCas2ResponseMessage, answer.text.c_str());
        return std::nullopt;
      case XmlLoadResult::NotWellFormed: {
        // The CAS 1.0 parser cuts its text in place; it gets a private copy,
        // which ends at the first NUL as the 8-bit string would.
        std::string copy = answer.text;
        std::optional<SignOn> sign_on = ParseCas1Response(copy.data(), reporter);
        if (sign_on && !answer.exact) {
          reporter.LogEvent(EventType::Error, kCas1UserMessage, sign_on->user.c_str());
          return std::nullopt;
        }
        return sign_on;
      }
      case XmlLoadResult::Failed:
        return std::nullopt;
    }
  } catch (...) {
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace turnpike
