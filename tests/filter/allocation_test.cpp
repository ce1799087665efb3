// Counts heap allocations around an unprotected request: it must make none.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <new>
#include <string>

#include "config/settings_loader.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_registry.h"
#include "fakes/static_url_host.h"
#include "fakes/test_configuration.h"
#include "filter/filter.h"
#include "platform/memory/recording_event_log.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace turnpike {
namespace {

TEST(UnprotectedRequest, AllocatesNothingAndReportsNothing) {
  FakeRegistry registry;
  WriteTestConfiguration(registry, {}, 1);
  for (int i = 0; i < 20; ++i) {
    registry.SetString(kPathsKey, "p" + std::to_string(i), "/Protected-Area-" + std::to_string(i) + "/");
  }
  RecordingEventLog log;
  FakeClock clock;
  TurnpikeFilter filter(PlatformServices{&registry, &log, &clock});
  ASSERT_TRUE(filter.Start());
  const std::size_t events_before = log.events().size();
  StaticUrlHost host("/public/%41ssets/style.css?v=%2Fprotected-area-1%2F");

  const long before = g_allocations.load();
  const FilterStatus status = filter.HttpFilterProc(host, kSfNotifyPreprocHeaders);
  const long allocations = g_allocations.load() - before;

  EXPECT_EQ(status, FilterStatus::NextNotification);
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(host.reads, 1) << "an unprotected request makes only the URL read";
  EXPECT_EQ(log.events().size(), events_before);
  filter.Stop();
}

}  // namespace
}  // namespace turnpike
