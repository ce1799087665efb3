// The credentials cache on its hot paths: a lookup that finds its entry and
// one that does not, a store, the time a cleaning holds the lock (by what it
// removes and what it keeps), and what one entry costs in memory.
//
// Tickets are 64 characters and user names 16, so neither fits in a
// std::string without a heap block, as with real CAS tickets. Debug is 0 and
// events go nowhere, so no event I/O is measured.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "cache/credentials_cache.h"
#include "fakes/fake_clock.h"

namespace {

// Every operator new of this program is counted, so a benchmark can tell how
// many blocks and bytes its loop asked for.
std::atomic<std::int64_t> g_new_calls{0};    // every block ever asked for
std::atomic<std::int64_t> g_allocations{0};  // blocks not yet given back
std::atomic<std::int64_t> g_requested_bytes{0};

}  // namespace

// Out of line, so that the compiler does not pair a caller's new with the
// free inside delete.
[[gnu::noinline]] void* operator new(std::size_t size) {
  g_new_calls.fetch_add(1, std::memory_order_relaxed);
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  g_requested_bytes.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept {
  if (block != nullptr) g_allocations.fetch_sub(1, std::memory_order_relaxed);
  std::free(block);
}
// The standard containers give back what they took with the size they asked
// for, which keeps the byte count net.
[[gnu::noinline]] void operator delete(void* block, std::size_t size) noexcept {
  if (block != nullptr) {
    g_allocations.fetch_sub(1, std::memory_order_relaxed);
    g_requested_bytes.fetch_sub(static_cast<std::int64_t>(size), std::memory_order_relaxed);
  }
  std::free(block);
}

namespace turnpike {
namespace {

class NullEventLog final : public EventLogAccess {
 public:
  EventSourceHandle OpenSource(const char*) override { return this; }
  bool Write(EventSourceHandle, EventSeverity, std::uint16_t, std::uint32_t,
             const char* const[2]) override {
    return true;
  }
  void CloseSource(EventSourceHandle) override {}
};

std::string Digits(std::int64_t n) {
  const std::string digits = std::to_string(n);
  return std::string(12 - digits.size(), '0') + digits;
}

// 64 characters, like a CAS ticket of a server with a long host name.
std::string Ticket(std::int64_t n, char prefix = 'S') {
  return std::string(1, prefix) + "T-" + Digits(n) + "-cas.example.org-" + std::string(32, 'a');
}

// 16 characters.
std::string User(std::int64_t n) { return "user" + Digits(n); }

struct Cache {
  explicit Cache(std::uint32_t session_timeout, std::uint32_t clean_timeout)
      : cache{clock, CacheTimeouts{session_timeout, clean_timeout}, reporter} {
    cache.InitCredentialsCache();
  }
  void Fill(std::int64_t entries) {
    for (std::int64_t n = 0; n < entries; ++n) {
      benchmark::DoNotOptimize(cache.Store(SignOn{User(n), {}, Ticket(n), clock.Now()}));
    }
  }

  FakeClock clock;
  const std::uint32_t debug = 0;
  NullEventLog log;
  EventReporter reporter{log, debug};
  CredentialsCache cache;
};

constexpr std::uint32_t kLongTimeout = 600;

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Argument: entries in the cache. 1,000 fit in the processor's caches;
// 100,000 (about 36 MB) do not, so each search pays for its memory reads.
void Lookup(benchmark::State& state, char prefix) {
  const std::int64_t entries = state.range(0);
  Cache c(kLongTimeout, kLongTimeout);
  c.Fill(entries);
  std::vector<std::string> tickets;
  for (std::int64_t n = 0; n < entries; ++n) tickets.push_back(Ticket(n, prefix));
  std::size_t next = 0;
  const std::int64_t new_calls_before = g_new_calls.load();
  for (auto _ : state) {
    // A prime stride, so successive lookups do not walk memory in order.
    next = (next + 7919) % tickets.size();
    std::optional<SignOn> sign_on = c.cache.Lookup(tickets[next]);
    benchmark::DoNotOptimize(sign_on);
  }
  // Read after the loop: the benchmark library allocates nothing inside it.
  state.counters["allocations_per_lookup"] =
      benchmark::Counter(static_cast<double>(g_new_calls.load() - new_calls_before),
                         benchmark::Counter::kAvgIterations);
}

void BM_LookupHit(benchmark::State& state) { Lookup(state, 'S'); }
void BM_LookupMiss(benchmark::State& state) { Lookup(state, 'X'); }
BENCHMARK(BM_LookupHit)->Arg(1'000)->Arg(100'000);
BENCHMARK(BM_LookupMiss)->Arg(1'000)->Arg(100'000);

// Stores of tickets the cache does not hold yet, into a cache that starts
// empty and ends with `entries`; and stores again of tickets it holds.
void BM_StoreNew(benchmark::State& state) {
  const std::int64_t entries = state.range(0);
  std::vector<SignOn> sign_ons;
  for (std::int64_t n = 0; n < entries; ++n) sign_ons.push_back(SignOn{User(n), {}, Ticket(n), 0});
  for (auto _ : state) {
    state.PauseTiming();
    auto c = std::make_unique<Cache>(kLongTimeout, kLongTimeout);
    state.ResumeTiming();
    for (SignOn& sign_on : sign_ons) {
      sign_on.validated = c->clock.Now();
      benchmark::DoNotOptimize(c->cache.Store(sign_on));
    }
    state.PauseTiming();
    c.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * entries);
}
BENCHMARK(BM_StoreNew)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_StoreAgain(benchmark::State& state) {
  const std::int64_t entries = state.range(0);
  Cache c(kLongTimeout, kLongTimeout);
  c.Fill(entries);
  std::vector<SignOn> sign_ons;
  for (std::int64_t n = 0; n < entries; ++n) sign_ons.push_back(SignOn{User(n), {}, Ticket(n), 0});
  std::size_t next = 0;
  for (auto _ : state) {
    next = (next + 7919) % sign_ons.size();
    SignOn& sign_on = sign_ons[next];
    sign_on.validated = c.clock.Now();
    benchmark::DoNotOptimize(c.cache.Store(sign_on));
  }
}
BENCHMARK(BM_StoreAgain)->Arg(1'000)->Arg(100'000);

// One lookup that finds a cleaning due: the whole time it holds the lock.
// Arguments: the entries in the cache, and how many of them, the oldest,
// have expired (each is removed from both maps); the others are four
// minutes younger and stay.
void BM_CleaningLockHold(benchmark::State& state) {
  const std::int64_t entries = state.range(0);
  const std::int64_t expired = state.range(1);
  double shortest = 1e9;
  for (auto _ : state) {
    auto c = std::make_unique<Cache>(10, 1);
    for (std::int64_t n = 0; n < expired; ++n) {
      benchmark::DoNotOptimize(c->cache.Store(SignOn{User(n), {}, Ticket(n, 'E'), c->clock.Now()}));
    }
    c->clock.AdvanceMinutes(4);
    for (std::int64_t n = expired; n < entries; ++n) {
      benchmark::DoNotOptimize(c->cache.Store(SignOn{User(n), {}, Ticket(n), c->clock.Now()}));
    }
    // A first cleaning, which removes nothing, is not timed: the first event
    // of a new cache and the stack of its first cleaning cost some 100 us
    // once, whatever the cache holds.
    c->clock.AdvanceMinutes(1);
    benchmark::DoNotOptimize(c->cache.Lookup("not-held"));
    c->clock.AdvanceMinutes(5);
    // Timed by hand: pausing and resuming the library's timers costs more
    // than a cleaning that removes nothing. The thread's processor time, so
    // that a run on a busy machine does not count the turns of others.
    const double start = ThreadSeconds();
    benchmark::DoNotOptimize(c->cache.Lookup("not-held"));
    const double seconds = ThreadSeconds() - start;
    state.SetIterationTime(seconds);
    // On a shared virtual machine a stolen slice shows as the thread's own
    // time: the shortest hold is the cleaning's cost.
    shortest = std::min(shortest, seconds);
    c.reset();
  }
  state.counters["removed"] = static_cast<double>(expired);
  state.counters["shortest_us"] = shortest * 1e6;
}
BENCHMARK(BM_CleaningLockHold)
    ->ArgNames({"entries", "expired"})
    ->Args({10'000, 0})->Args({10'000, 10'000})
    ->Args({100'000, 0})->Args({100'000, 100'000})
    ->Args({1'000'000, 0})->Args({1'000'000, 1'000})->Args({1'000'000, 100'000})->Args({1'000'000, 1'000'000})
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(5);

// Memory per entry after storing 100,000 distinct tickets: what the program
// asked of operator new, the blocks that takes, and (with glibc) what malloc
// has in use for it, its headers and rounding included.
void BM_MemoryPerEntry(benchmark::State& state) {
  const std::int64_t entries = state.range(0);
  for (auto _ : state) {
    state.PauseTiming();
    auto c = std::make_unique<Cache>(kLongTimeout, kLongTimeout);
    const std::int64_t blocks_before = g_allocations.load();
    const std::int64_t bytes_before = g_requested_bytes.load();
#if defined(__GLIBC__)
    const std::size_t heap_before = mallinfo2().uordblks;
#endif
    state.ResumeTiming();
    c->Fill(entries);
    state.PauseTiming();
    const auto per_entry = [entries](double total) { return total / static_cast<double>(entries); };
    state.counters["requested_bytes_per_entry"] =
        per_entry(static_cast<double>(g_requested_bytes.load() - bytes_before));
    state.counters["blocks_per_entry"] = per_entry(static_cast<double>(g_allocations.load() - blocks_before));
#if defined(__GLIBC__)
    state.counters["heap_bytes_per_entry"] = per_entry(static_cast<double>(mallinfo2().uordblks - heap_before));
#endif
    c.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * entries);
}
BENCHMARK(BM_MemoryPerEntry)->Arg(100'000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace turnpike

BENCHMARK_MAIN();
