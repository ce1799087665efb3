// The per-request costs of a protected request before any network call: the
// service URL (two host reads, assembly, escaping) and the cookie search.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "filter/extraction.h"
#include "filter/filter.h"
#include "filter/service_url.h"
#include "platform/memory/in_memory_filter_host.h"
#include "platform/memory/recording_event_log.h"

namespace turnpike {
namespace {

// A 200-byte request URL with a query, a few bytes to escape and the ticket
// the CAS server appended.
std::string RequestUrl() {
  std::string url = "/portal/courses/2024/autumn/reading-list?view=full&sort=title&lang=en";
  while (url.size() < 176) url += "&k=v";
  url += "&ticket=ST-1-abcdefghij";
  url.resize(200, 'x');
  return url;
}

void BM_EscapeUrl(benchmark::State& state) {
  const std::string url = "https://www.example.edu" + RequestUrl();
  char out[kUrlBufferSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(EscapeUrl(url.c_str(), out, sizeof out, nullptr));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(url.size()));
}
BENCHMARK(BM_EscapeUrl);

// The in-memory host records every call; a fresh one now and then keeps that
// record from growing without bound over millions of iterations.
constexpr std::int64_t kCallsPerHost = 4096;

InMemoryFilterHost ServiceRequest(const std::string& url) {
  InMemoryFilterHost host(url);
  host.SetServerVariable("HTTPS", "on");
  host.SetServerVariable("SERVER_NAME", "www.example.edu");
  return host;
}

void BM_ServiceUrl(benchmark::State& state) {
  RecordingEventLog log;
  FilterSettings settings;
  EventReporter reporter(log, settings.Debug);
  const std::string url = RequestUrl();
  InMemoryFilterHost host = ServiceRequest(url);
  std::int64_t calls = 0;
  for (auto _ : state) {
    if (++calls % kCallsPerHost == 0) {
      state.PauseTiming();
      host = ServiceRequest(url);
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(ServiceUrl(host, settings, url, reporter));
  }
}
BENCHMARK(BM_ServiceUrl);

void BM_ExtractCookie(benchmark::State& state) {
  std::string cookies;
  for (int i = 0; cookies.size() < 1000; ++i) {
    cookies += "_analytics_" + std::to_string(i) + "=GA1.2.1234567890.1700000000; ";
  }
  cookies += "VAVUZE=ST-1-abcdefghij; theme=dark";
  for (auto _ : state) {
    CookieValues values(cookies, kCookieName);
    benchmark::DoNotOptimize(values.Next());
  }
}
BENCHMARK(BM_ExtractCookie);

}  // namespace
}  // namespace turnpike

BENCHMARK_MAIN();
