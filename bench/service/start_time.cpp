// Prints how long build/brivane takes from exec until the port accepts and
// until the first HTTPS page answers: on an empty home (the certificate is
// created) and on a home that already has one. Figures only; no verdict.
#include <httplib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "support/process.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double acceptMs;
  double answerMs;
};

Sample StartOnce(const brivane::test::TempDir& home, int port, const std::string& block) {
  brivane::test::WriteFile(home.File("brivane.ini"),
                           "[Parameters]\nHTTPPort=" + std::to_string(port) + "\n");
  brivane::test::ChildProcess process;
  const auto start = Clock::now();
  process.Start({brivane::test::BuiltProgram("brivane"), "run", "--home", home.Path()},
                home.File("output.txt"), {{"BRIVANE_STATUS_BLOCK", block}});
  brivane::test::WaitFor([&] { return brivane::test::PortAccepts(port); }, std::chrono::seconds(20),
                         std::chrono::milliseconds(1));
  const auto accepted = Clock::now();
  brivane::test::WaitFor(
      [&] {
        httplib::SSLClient client("127.0.0.1", port);
        client.enable_server_certificate_verification(false);
        auto res = client.Get("/welcome.html");
        return res && res->status == 200;
      },
      std::chrono::seconds(20), std::chrono::milliseconds(1));
  const auto answered = Clock::now();
  process.Stop();
  auto ms = [&](Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(t - start).count();
  };
  return {ms(accepted), ms(answered)};
}

void Report(const char* what, std::vector<Sample> samples) {
  auto median = [&](auto field) {
    std::vector<double> v;
    for (const auto& s : samples) v.push_back(s.*field);
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("%-34s port accepts %7.1f ms   first HTTPS answer %7.1f ms   (median of %zu)\n", what,
              median(&Sample::acceptMs), median(&Sample::answerMs), samples.size());
}

}  // namespace

int main() {
  const std::string block = "/brivane-bench-" + std::to_string(getpid());
  constexpr int kRuns = 9;
  std::vector<Sample> fresh;
  std::vector<Sample> again;
  for (int i = 0; i < kRuns; ++i) {
    brivane::test::TempDir home("brivane-bench");
    fresh.push_back(StartOnce(home, brivane::test::FreePort(), block));
    again.push_back(StartOnce(home, brivane::test::FreePort(), block));
  }
  Report("empty home (creates certificate)", fresh);
  Report("home with certificate", again);
  shm_unlink(block.c_str());
  return 0;
}
