// The whole request decision on many threads at once, as IIS and a threaded
// Apache call it: one filter, its settings and its in-process credentials
// cache shared by every thread, the answers parsed by the real libxml2 layer.
// Each thread signs on its own user and must only ever see that user, so a
// race that mixes up sign-ons shows here even without ThreadSanitizer.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fakes/canned_validation_platform.h"
#include "fakes/fake_clock.h"
#include "fakes/fake_registry.h"
#include "fakes/test_configuration.h"
#include "filter/filter.h"
#include "platform/memory/in_memory_filter_host.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/curl_libxml2_validation.h"
#include "tests/validation/cas2_answers.h"

namespace turnpike {
namespace {

// Vouches for every ticket "ST-<user>-<n>" with <user>, in CAS 2.0 XML.
std::string Vouch(const std::string& url) {
  const std::size_t start = url.find("&ticket=ST-") + 11;
  return Cas2Success(url.substr(start, url.find('-', start) - start));
}

TEST(ConcurrentFilter, EveryThreadSignsOnAndIsServedAsItsOwnUser) {
  FakeRegistry registry;
  WriteTestConfiguration(registry, {"/Secure"});
  RecordingEventLog log;
  const FakeClock clock;
  constexpr int kThreads = 8;
  // One slot per thread: a slot that is not given back after a validation
  // refuses a later ticket.
  registry.SetDword(kSettingsKey, "MaxValidations", kThreads);
  // The real platform for the documents: it did libxml2's process-wide
  // set-up, as a host's does at start-up.
  CurlLibxml2ValidationPlatform documents;
  CannedValidationPlatform validation(documents, Vouch);
  TurnpikeFilter filter{PlatformServices{&registry, &log, &clock, &validation}};
  ASSERT_TRUE(filter.Start());

  constexpr int kRounds = 200;
  std::vector<std::vector<std::string>> problems(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&filter, &problems, t] {
      const std::string user = "user" + std::to_string(t);
      auto& mine = problems[static_cast<std::size_t>(t)];
      for (int round = 0; round < kRounds; ++round) {
        const std::string ticket = "ST-" + user + "-" + std::to_string(round);
        InMemoryFilterHost back = BrowserRequest("/secure/page?ticket=" + ticket);
        if (filter.FilterRequest(back) != FilterStatus::FinishedKeepConn || !back.response() ||
            back.response()->headers.find("VAVUZE=" + ticket + ";") == std::string::npos) {
          mine.push_back("no cookie for " + ticket);
        }

        InMemoryFilterHost signed_on = BrowserRequest("/secure/page", "VAVUZE=" + ticket);
        signed_on.AddRequestHeader("CASUser:", "mallory");
        if (filter.FilterRequest(signed_on) != FilterStatus::NextNotification ||
            signed_on.HeaderValues("CASUser:") != std::vector<std::string>{user}) {
          mine.push_back("not served as " + user + " with " + ticket);
        }

        InMemoryFilterHost stranger = BrowserRequest("/secure/page", "VAVUZE=ST-nobody-" + std::to_string(round));
        if (filter.FilterRequest(stranger) != FilterStatus::FinishedKeepConn) {
          mine.push_back("an unknown cookie went through");
        }

        InMemoryFilterHost open = BrowserRequest("/index.html");
        if (filter.FilterRequest(open) != FilterStatus::NextNotification) {
          mine.push_back("an open page was stopped");
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  filter.Stop();

  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(problems[static_cast<std::size_t>(t)], std::vector<std::string>{}) << "thread " << t;
  }
}

}  // namespace
}  // namespace turnpike
