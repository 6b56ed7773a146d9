// The pages keep answering while 200 connections from one address trickle
// a TLS handshake: a request from another address answers within 1 s
// throughout, and the slow connections are let go, not left to pile up.

#include "support/slow_clients.h"

#include <gtest/gtest.h>

#include "support/service_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

// Runs the attack for `length` and probes twice a second from 127.0.0.2.
void ProbeUnderSlowClients(std::chrono::seconds length) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  ASSERT_GE(TimedWelcome("127.0.0.2", service.Port()).count(), 0) << "no answer before the attack";
  SlowClients slow(service.Port(), 200, 1000ms);
  ASSERT_TRUE(WaitFor([&] { return slow.Open() >= 150; }, 10s)) << slow.Open();
  const auto end = std::chrono::steady_clock::now() + length;
  int probes = 0;
  std::chrono::milliseconds worst{0};
  while (std::chrono::steady_clock::now() < end) {
    const auto took = TimedWelcome("127.0.0.2", service.Port());
    ASSERT_GE(took.count(), 0) << "probe " << probes << " got no answer";
    worst = std::max(worst, took);
    EXPECT_LT(took, 1000ms) << "probe " << probes;
    ++probes;
    std::this_thread::sleep_for(500ms);  // the probes' pace, not a wait for a condition
  }
  EXPECT_GE(probes, static_cast<int>(length.count()));
  // Beyond the few in progress the slow ones are turned away, so they keep
  // coming back.
  EXPECT_GT(slow.Closed(), 100) << "the slow connections were not let go";
  EXPECT_TRUE(service.Process().Running());
  ::testing::Test::RecordProperty("worst_probe_ms", static_cast<int>(worst.count()));
}

TEST(SlowClients, TwoHundredFromOneAddressDoNotStopTheOthers) { ProbeUnderSlowClients(6s); }

}  // namespace
}  // namespace brivane::test
