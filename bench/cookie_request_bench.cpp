// A signed-on browser's request through the whole decision: the protected
// path found, the service URL assembled and escaped, ticket and cookie
// searched for, the sign-on looked up among 100,000 and the identity header
// set. Printed beside a baseline of the bare cache lookup over the same
// entries, so that the difference is what the decision adds to the lookup it
// cannot avoid.
//
// The host is a lean one written for this program: it copies fixed texts and
// records nothing, so that its own cost stays out of the figures (the
// in-memory host of the tests keeps a log of every call). Debug is 0 and
// events go nowhere.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cache/credentials_cache.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_registry.h"
#include "fakes/test_configuration.h"
#include "filter/filter.h"

namespace {

// Every operator new of this program is counted, so that the figures can
// say how many heap blocks one request asks for.
std::atomic<std::int64_t> g_new_calls{0};

}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
  g_new_calls.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace turnpike {
namespace {

constexpr std::int64_t kEntries = 100'000;

class NullEventLog final : public EventLogAccess {
 public:
  EventSourceHandle OpenSource(const char*) override { return this; }
  bool Write(EventSourceHandle, EventSeverity, std::uint16_t, std::uint32_t,
             const char* const[2]) override {
    return true;
  }
  void CloseSource(EventSourceHandle) override {}
};

bool CopyOut(const char* value, std::size_t length, char* buffer, std::uint32_t* size) {
  if (length + 1 > *size) return false;
  std::memcpy(buffer, value, length + 1);
  return true;
}

// A browser with a session cookie asking for a protected page: the URL, a
// Cookie header of about 300 bytes with VAVUZE among others, no identity
// header of its own.
class SignedOnHost final : public FilterHost {
 public:
  explicit SignedOnHost(const std::string& cookies) { SetCookies(cookies); }
  void SetCookies(const std::string& cookies) { cookies_ = &cookies; }

  bool GetUrl(char* buffer, std::uint32_t* size) override {
    return CopyOut(kUrl, sizeof kUrl - 1, buffer, size);
  }
  bool GetHeader(const char* name, char* buffer, std::uint32_t* size) override {
    if (std::strcmp(name, "Cookie") == 0) {
      return CopyOut(cookies_->c_str(), cookies_->size(), buffer, size);
    }
    return false;
  }
  bool ReplaceHeader(const char*, const char* value) override {
    added_ += value[0];
    return true;
  }
  bool RemoveLookAlikeHeaders(const char*) override { return true; }
  bool GetServerVariable(const char* name, char* buffer, std::uint32_t* size) override {
    if (std::strcmp(name, "HTTPS") == 0) return CopyOut("on", 2, buffer, size);
    if (std::strcmp(name, "SERVER_NAME") == 0) {
      return CopyOut(kServer, sizeof kServer - 1, buffer, size);
    }
    return false;
  }
  bool SendAnswer(const Answer&) override { return false; }

  int added() const { return added_; }

 private:
  static constexpr char kUrl[] = "/secure/reports/2026/q1/summary.html?view=full&lang=en";
  static constexpr char kServer[] = "intranet.example.edu";
  const std::string* cookies_ = nullptr;
  int added_ = 0;
};

std::string Digits(std::int64_t n) {
  const std::string digits = std::to_string(n);
  return std::string(12 - digits.size(), '0') + digits;
}

// 64 characters, like a CAS ticket of a server with a long host name.
std::string Ticket(std::int64_t n) {
  return "ST-" + Digits(n) + "-cas.example.org-" + std::string(32, 'a');
}

std::string CookieHeader(const std::string& ticket) {
  return "_ga=GA1.2.1234567890.1700000000; _gid=GA1.2.987654321.1700000000; "
         "theme=dark; lang=en-GB; VAVUZE=" + ticket +
         "; consent=analytics%3Dno%26ads%3Dno; recently_viewed=%5B17%2C42%2C73%5D";
}

// The filter over a cache of its own, filled with kEntries sign-ons.
struct SignedOnSite {
  SignedOnSite() {
    WriteTestConfiguration(registry, {"/Members/", "/Secure/"});
    cache.InitCredentialsCache();
    for (std::int64_t n = 0; n < kEntries; ++n) {
      tickets.push_back(Ticket(n));
      cookies.push_back(CookieHeader(tickets.back()));
      benchmark::DoNotOptimize(cache.Store(SignOn{"user" + Digits(n), {}, tickets.back(), clock.Now()}));
    }
  }

  FakeClock clock;
  FakeRegistry registry;
  NullEventLog log;
  const std::uint32_t debug = 0;
  EventReporter cache_reporter{log, debug};
  CredentialsCache cache{clock, CacheTimeouts{480, 60}, cache_reporter};
  TurnpikeFilter filter{PlatformServices{&registry, &log, &clock, nullptr, &cache}};
  std::vector<std::string> tickets;
  std::vector<std::string> cookies;
};

// A prime stride, so that successive requests do not walk memory in order.
std::size_t Next(std::size_t at) { return (at + 7919) % static_cast<std::size_t>(kEntries); }

void BM_SignedOnRequest100kEntries(benchmark::State& state) {
  SignedOnSite site;
  if (!site.filter.Start()) {
    state.SkipWithError("start refused");
    return;
  }
  SignedOnHost host(site.cookies[0]);
  std::size_t at = 0;
  const std::int64_t new_calls_before = g_new_calls.load();
  for (auto _ : state) {
    at = Next(at);
    host.SetCookies(site.cookies[at]);
    benchmark::DoNotOptimize(site.filter.HttpFilterProc(host, kSfNotifyPreprocHeaders));
  }
  state.counters["allocations_per_request"] =
      benchmark::Counter(static_cast<double>(g_new_calls.load() - new_calls_before),
                         benchmark::Counter::kAvgIterations);
  if (host.added() == 0) state.SkipWithError("no identity header was set");
  site.filter.Stop();
}
BENCHMARK(BM_SignedOnRequest100kEntries);

void BM_BaselineLookup100kEntries(benchmark::State& state) {
  SignedOnSite site;
  std::size_t at = 0;
  for (auto _ : state) {
    at = Next(at);
    benchmark::DoNotOptimize(site.cache.Lookup(site.tickets[at]));
  }
}
BENCHMARK(BM_BaselineLookup100kEntries);

}  // namespace
}  // namespace turnpike

BENCHMARK_MAIN();
