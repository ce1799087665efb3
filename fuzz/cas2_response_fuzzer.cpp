// The CAS 2.0 answer parser over the real libxml2 document.
//
// Input: the answer's body, loaded as the validation loads it.
//
// Checked: a user is only found in a well-formed document that names both an
// authenticationSuccess and a user element in its own text (entities are
// never substituted, so neither can come out of a DTD); the name is below
// the size limit and holds no NUL; every attribute value is the text of a
// child of a cas:attributes element of a cas:authenticationSuccess element,
// under that child's local name, or a name-value pair of a cas:attribute
// element of one; the parser's queries and the document's serialisation
// (used for error events) survive any document.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <memory>
#include <set>
#include <string>
#include <utility>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "fuzz_support.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/libxml2_document.h"
#include "validation/cas_response.h"

namespace {

using Pair = std::pair<std::string, std::string>;

std::string Owned(xmlChar* text) {
  const std::unique_ptr<xmlChar, decltype(xmlFree)> owned(text, xmlFree);
  return owned ? reinterpret_cast<const char*>(owned.get()) : "";
}

bool IsCas(const xmlNode* node, const char* local) {
  return node->type == XML_ELEMENT_NODE && node->ns != nullptr && node->ns->href != nullptr &&
         std::string_view(reinterpret_cast<const char*>(node->ns->href)) ==
             turnpike::kCas2Namespace &&
         std::string_view(reinterpret_cast<const char*>(node->name)) == local;
}

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// Every (name, value) an attribute may come from, read from libxml2's own
// tree: anywhere a cas:authenticationSuccess stands.
void CollectReleased(const xmlNode* node, std::set<Pair>& released) {
  for (; node != nullptr; node = node->next) {
    if (IsCas(node, "authenticationSuccess")) {
      for (const xmlNode* child = node->children; child != nullptr; child = child->next) {
        if (IsCas(child, "attribute")) {
          released.emplace(Owned(xmlGetNoNsProp(child, reinterpret_cast<const xmlChar*>("name"))),
                           Owned(xmlGetNoNsProp(child, reinterpret_cast<const xmlChar*>("value"))));
        }
        if (!IsCas(child, "attributes")) continue;
        for (const xmlNode* item = child->children; item != nullptr; item = item->next) {
          if (item->type != XML_ELEMENT_NODE) continue;
          released.emplace(reinterpret_cast<const char*>(item->name),
                           Trimmed(Owned(xmlNodeGetContent(item))));
        }
      }
    }
    CollectReleased(node->children, released);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  const std::string_view body = AsText(data, size);
  const turnpike::QuietLibxml2Errors quiet;
  turnpike::Libxml2Document document;
  if (document.LoadXml(body) != turnpike::XmlLoadResult::WellFormed) return 0;

  turnpike::FilterSettings settings;
  settings.Debug = 1;
  turnpike::RecordingEventLog log;
  const turnpike::EventReporter reporter(log, settings.Debug);
  const std::optional<turnpike::SignOn> sign_on = turnpike::ParseCas2Response(document, reporter);
  if (!sign_on) return 0;
  FUZZ_CHECK(Contains(body, "authenticationSuccess"));
  FUZZ_CHECK(Contains(body, "user"));
  FUZZ_CHECK(sign_on->user.size() < 4095);
  FUZZ_CHECK(!Contains(sign_on->user, std::string_view("\0", 1)));
  FUZZ_CHECK(log.events().empty());

  if (sign_on->attributes.empty()) return 0;
  const std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> tree(
      xmlReadMemory(body.data(), static_cast<int>(body.size()), nullptr, nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
      xmlFreeDoc);
  FUZZ_CHECK(tree != nullptr);
  std::set<Pair> released;
  CollectReleased(xmlDocGetRootElement(tree.get()), released);
  for (const turnpike::SignOnAttribute& attribute : sign_on->attributes) {
    FUZZ_CHECK(!attribute.values.empty());
    for (const std::string& value : attribute.values) {
      FUZZ_CHECK(released.count(Pair(attribute.name, value)) == 1);
    }
  }
  return 0;
}
