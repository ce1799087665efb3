// The cost of an unprotected request: one URL read, one decode-and-lower pass
// and a substring search per protected path. Printed beside a baseline of the
// same twenty plain searches over the already lowered URL, so that the ratio
// of the two shows what the filter adds to the searches it cannot avoid.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "config/filter_settings.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_registry.h"
#include "fakes/static_url_host.h"
#include "fakes/test_configuration.h"
#include "config/settings_loader.h"
#include "filter/filter.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {
namespace {

constexpr const char* kUrl =
    "/static/assets/2026/stylesheets/application-4f9c2d.css?v=20261208&theme=Dark%20Blue&lang=en-GB";

void WriteTwentyPaths(FakeRegistry& registry) {
  WriteTestConfiguration(registry, {});
  for (int i = 0; i < 20; ++i) {
    registry.SetString(kPathsKey, "p" + std::to_string(i), "/Members-Area-" + std::to_string(i) + "/");
  }
}

void BM_UnprotectedRequest20Paths(benchmark::State& state) {
  FakeRegistry registry;
  WriteTwentyPaths(registry);
  RecordingEventLog log;
  FakeClock clock;
  TurnpikeFilter filter(PlatformServices{&registry, &log, &clock});
  if (!filter.Start()) {
    state.SkipWithError("start refused");
    return;
  }
  StaticUrlHost host(kUrl);
  for (auto _ : state) {
    benchmark::DoNotOptimize(filter.HttpFilterProc(host, kSfNotifyPreprocHeaders));
  }
  filter.Stop();
}
BENCHMARK(BM_UnprotectedRequest20Paths);

void BM_Baseline20PlainSearches(benchmark::State& state) {
  FakeRegistry registry;
  WriteTwentyPaths(registry);
  RecordingEventLog log;
  FilterSettings settings;
  if (!LoadSettings(registry, EventReporter(log, settings.Debug), settings)) {
    state.SkipWithError("load refused");
    return;
  }
  std::string lowered = kUrl;
  for (char& c : lowered) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  const ProtectedPathList& paths = settings.ProtectedPaths;
  for (auto _ : state) {
    benchmark::DoNotOptimize(lowered.data());
    int found = -1;
    for (std::size_t i = 0; i < paths.Count && found < 0; ++i) {
      if (std::strstr(lowered.c_str(), paths.LoweredPaths[i].c_str()) != nullptr) found = static_cast<int>(i);
    }
    benchmark::DoNotOptimize(found);
  }
}
BENCHMARK(BM_Baseline20PlainSearches);

}  // namespace
}  // namespace turnpike

BENCHMARK_MAIN();
