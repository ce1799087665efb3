// Sign-ons per second that the Linux validation reaches against the test CAS
// server (bench/http/cas_servers.py: plain HTTP and HTTPS with a throw-away
// certificate), with connections kept between validations and without (each
// validation opening its own connection and TLS session, as before they were
// kept), in alternating rounds of one run.
//
//   turnpike_signon_rate_bench [--rounds 5] [--signons 200] [--threads 1]
//
// A sign-on here is the validation of a fresh ticket; the tickets are issued
// over a connection of their own, outside the timed part. Prints one line
// per round and mode, then the median of each mode and the ratios.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/filter_settings.h"
#include "eventlog/event_reporter.h"
#include "platform/memory/recording_event_log.h"
#include "platform/posix/curl_libxml2_validation.h"
#include "platform/posix/system_clock.h"
#include "validation/validate_ticket.h"

extern char** environ;

namespace turnpike {
namespace {

constexpr const char* kService = "http%3A%2F%2Fapp.example%2Fpage";

// cas_servers.py with a certificate made for the run; stopped by closing its
// stdin and waiting.
class CasServers {
 public:
  explicit CasServers(const std::string& folder) {
    const std::string key = folder + "/key.pem";
    certificate_ = folder + "/cert.pem";
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                             "-addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + certificate_ +
                             " 2>/dev/null";
    if (std::system(make.c_str()) != 0) return;
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return;
    std::vector<std::string> arguments = {"/usr/bin/python3", TURNPIKE_CAS_SERVERS_SCRIPT, "--cert", certificate_,
                                          "--key", key};
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_fd_ = in[1];
    std::string line;
    pollfd ready{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&ready, 1, 10'000) == 1) {
      char buffer[256];
      const ssize_t got = read(out[0], buffer, sizeof buffer);
      if (got <= 0) break;
      line.append(buffer, static_cast<std::size_t>(got));
    }
    close(out[0]);
    char http[64] = {}, https[64] = {};
    if (std::sscanf(line.c_str(), "listening %63s %63s", http, https) == 2) {
      http_ = http;
      https_ = https;
    }
  }
  ~CasServers() {
    if (stdin_fd_ >= 0) close(stdin_fd_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool running() const { return !https_.empty(); }

  std::string certificate_, http_, https_;

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
};

std::string Fetch(ValidationPlatform& platform, const std::string& url) {
  const auto session = platform.Begin();
  const auto request = session ? session->CreateHttpRequest() : nullptr;
  if (!request || !request->Get(url.c_str())) return "";
  return request->ResponseText().value_or(NarrowText{}).text;
}

// Sign-ons per second of `signons` validations on `threads` threads.
double Round(const CasServers& cas, bool https, bool keep, int signons, int threads) {
  CurlLibxml2ValidationPlatform issuer;
  CurlLibxml2ValidationPlatform platform;
  (void)platform.TrustOnlyCertificatesIn(cas.certificate_);
  platform.KeepConnections(keep);
  std::vector<std::string> urls;
  for (int n = 0; n < signons; ++n) {
    const std::string ticket = Fetch(issuer, cas.http_ + "/_ticket?service=" + kService + "&username=alice");
    urls.push_back((https ? cas.https_ : cas.http_) + "/serviceValidate?service=" + kService + "&ticket=" + ticket);
  }
  RecordingEventLog log;
  const std::uint32_t debug = 0;
  EventReporter reporter(log, debug);
  SystemClock clock;
  std::atomic<int> next{0}, failed{0};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      for (int n = next++; n < signons; n = next++) {
        const ValidationOutcome outcome = ValidateTicket(urls[static_cast<std::size_t>(n)].c_str(), "", platform, clock, reporter);
        if (!outcome.sign_on || outcome.sign_on->user != "alice") ++failed;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (failed != 0) std::fprintf(stderr, "%d sign-ons failed\n", failed.load());
  return signons / seconds;
}

}  // namespace
}  // namespace turnpike

int main(int argc, char** argv) {
  using namespace turnpike;
  int rounds = 5, signons = 200, threads = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (name == "--rounds") rounds = value;
    else if (name == "--signons") signons = value;
    else if (name == "--threads") threads = value;
  }
  char folder[] = "/tmp/turnpike-signon-rate-XXXXXX";
  if (mkdtemp(folder) == nullptr) return 1;
  int status = 0;
  {
    CasServers cas(folder);
    if (!cas.running()) {
      std::fprintf(stderr, "the test CAS server did not start (openssl, /usr/bin/python3)\n");
      status = 77;
    } else {
      std::map<std::string, std::vector<double>> rates;
      for (int round = 0; round < rounds; ++round) {
        for (const bool https : {false, true}) {
          // The order reversed every other round, so neither mode always runs first.
          for (const bool keep : round % 2 == 0 ? std::vector<bool>{false, true} : std::vector<bool>{true, false}) {
            const std::string mode = std::string(https ? "https" : "http") + (keep ? " kept " : " fresh");
            const double rate = Round(cas, https, keep, signons, threads);
            rates[mode].push_back(rate);
            std::printf("round %d  %s  %8.0f sign-ons/s\n", round + 1, mode.c_str(), rate);
          }
        }
      }
      std::map<std::string, double> median;
      for (auto& [mode, values] : rates) {
        std::sort(values.begin(), values.end());
        median[mode] = values[values.size() / 2];
        std::printf("median  %s  %8.0f sign-ons/s  (%d threads)\n", mode.c_str(), median[mode], threads);
      }
      std::printf("kept / fresh: http %.2fx, https %.2fx\n", median["http kept "] / median["http fresh"],
                  median["https kept "] / median["https fresh"]);
    }
  }
  std::system((std::string("rm -rf ") + folder).c_str());
  return status;
}
