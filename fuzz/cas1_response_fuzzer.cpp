// The CAS 1.0 answer parser.
//
// Input: the answer's body.
//
// Checked: a user is only ever found when the first word is exactly "yes";
// it is then the second word, without separators, below the size limit; the
// parser never reads or writes outside the text it was lent.
#include <cstring>
#include <string>
#include <vector>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "fuzz_support.h"
#include "platform/memory/recording_event_log.h"
#include "validation/cas_response.h"

namespace {

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace turnpike::fuzz;
  const std::string text = CString(AsText(data, size));
  // Exactly the text and its terminator, so that a read or write past the
  // end is caught.
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');

  turnpike::FilterSettings settings;
  settings.Debug = 1;
  turnpike::RecordingEventLog log;
  const turnpike::EventReporter reporter(log, settings.Debug);
  const std::optional<turnpike::SignOn> sign_on =
      turnpike::ParseCas1Response(buffer.data(), reporter);

  const std::vector<std::string> words = Words(text);
  const bool accepted = !words.empty() && words[0] == "yes";
  if (!sign_on) {
    // Only an acceptance without a usable name is worth an event.
    FUZZ_CHECK(log.events().size() ==
               (accepted && (words.size() < 2 || words[1].size() >= 4095) ? 1u : 0u));
    return 0;
  }
  FUZZ_CHECK(accepted && words.size() >= 2);
  FUZZ_CHECK(sign_on->user == words[1]);
  FUZZ_CHECK(sign_on->user.size() < 4095);
  FUZZ_CHECK(sign_on->attributes.empty());
  FUZZ_CHECK(log.events().empty());
  return 0;
}
