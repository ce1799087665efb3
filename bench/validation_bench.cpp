// ParseCas2Response on a typical CAS 3.0 answer with attributes, on a loaded
// document, and the same with the load that precedes it in a validation.
#include <benchmark/benchmark.h>

#include <string>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/curl_libxml2_validation.h"
#include "validation/cas_response.h"

namespace turnpike {
namespace {

constexpr const char* kAnswer = R"(<cas:serviceResponse xmlns:cas="http://www.yale.edu/tp/cas">
  <cas:authenticationSuccess>
    <cas:user>alice</cas:user>
    <cas:attributes>
      <cas:authenticationDate>2024-05-01T09:30:12.123Z</cas:authenticationDate>
      <cas:longTermAuthenticationRequestTokenUsed>false</cas:longTermAuthenticationRequestTokenUsed>
      <cas:isFromNewLogin>true</cas:isFromNewLogin>
      <cas:email>alice@example.org</cas:email>
      <cas:displayName>Alice Liddell</cas:displayName>
      <cas:memberOf>cn=staff,ou=groups,dc=example,dc=org</cas:memberOf>
      <cas:memberOf>cn=library,ou=groups,dc=example,dc=org</cas:memberOf>
    </cas:attributes>
  </cas:authenticationSuccess>
</cas:serviceResponse>
)";

struct Fixture {
  CurlLibxml2ValidationPlatform platform;
  RecordingEventLog log;
  FilterSettings settings;
  EventReporter reporter{log, settings.Debug};
};

void BM_ParseCas2Response(benchmark::State& state) {
  Fixture fixture;
  const auto session = fixture.platform.Begin();
  const auto document = session->CreateXmlDocument();
  if (document->LoadXml(kAnswer) != XmlLoadResult::WellFormed) state.SkipWithError("load");
  for (auto _ : state) {
    benchmark::DoNotOptimize(ParseCas2Response(*document, fixture.reporter));
  }
}
BENCHMARK(BM_ParseCas2Response);

void BM_LoadAndParseCas2Response(benchmark::State& state) {
  Fixture fixture;
  const auto session = fixture.platform.Begin();
  for (auto _ : state) {
    const auto document = session->CreateXmlDocument();
    document->LoadXml(kAnswer);
    benchmark::DoNotOptimize(ParseCas2Response(*document, fixture.reporter));
  }
}
BENCHMARK(BM_LoadAndParseCas2Response);

}  // namespace
}  // namespace turnpike

BENCHMARK_MAIN();
