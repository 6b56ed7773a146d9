// Floods of valid PDUs on brivane's MO link for several seconds while MT
// rows go out over the simulator: every PDU is answered, every MO message
// is stored, resident memory stays within the worker queue's bound, and MT
// rows inserted during the flood still reach SubmitLog.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "hostile_peer.h"
#include "support/e2e_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

// A queued MO message costs about one CmppDeliver (8.6 KiB) and the worker
// queue holds at most 4096 items: some 35 MiB. Growth far beyond that means
// something queues without bound (20000 DELIVERs held would be ~170 MiB).
constexpr long kMaxGrowthKb = 80 * 1024;

class Flood : public ::testing::Test {
 protected:
  void SetUp() override {
    E2eOptions o = MoPoolAtPeer(peer_.Port());
    // No per-message lines: the log would otherwise grow by a line per PDU.
    o.logLevel = 2;
    sys_ = std::make_unique<E2eSystem>(o);
    std::string error;
    ASSERT_TRUE(sys_->Start(&error)) << error;
    pid_ = sys_->BrivanePid();
  }

  // Runs the flood on the peer's thread while this thread inserts one MT
  // row every 500 ms and samples the resident memory every 100 ms.
  void RunFlood(HostilePeer::PduMaker make, std::uint32_t perSecond, std::uint32_t count) {
    before_ = sys_->ResidentKb();
    ASSERT_GT(before_, 0);
    const auto started = std::chrono::steady_clock::now();
    auto flood =
        std::async(std::launch::async, [&] { return peer_.Flood(make, perSecond, count); });
    auto nextRow = started;
    int n = 0;
    while (flood.wait_for(100ms) != std::future_status::ready) {
      peak_ = std::max(peak_, sys_->ResidentKb());
      if (std::chrono::steady_clock::now() >= nextRow) {
        MtRow row;
        row.mobile = "1380000" + std::to_string(2000 + n++);
        row.msg = "during the flood";
        const auto ids = sys_->InsertSubmits({row});
        duringIds_.insert(duringIds_.end(), ids.begin(), ids.end());
        nextRow += 500ms;
      }
    }
    written_ = flood.get();
    floodSeconds_ =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(written_, count) << "the connection stayed up through the flood";
  }

  // Every row inserted during the flood reaches SubmitLog with result 0.
  void ExpectRowsSent(std::chrono::milliseconds timeout) {
    ASSERT_FALSE(duringIds_.empty());
    std::string list;
    for (auto id : duringIds_) {
      if (!list.empty()) list += ',';
      list += std::to_string(id);
    }
    EXPECT_TRUE(
        sys_->WaitScalar("SELECT COUNT(*) FROM SubmitLog WHERE SubmitResult = 0 AND "
                         "SubmitID IN (" +
                             list + ")",
                         static_cast<long long>(duringIds_.size()), timeout))
        << sys_->Scalar("SELECT COUNT(*) FROM SubmitLog") << " rows in SubmitLog";
  }

  void Report(const char* what) {
    const long after = sys_->ResidentKb();
    std::printf("%s: %u PDUs in %.1f s; RSS before %ld KiB, peak %ld KiB, after %ld KiB\n", what,
                written_, floodSeconds_, before_, std::max(peak_, after), after);
    EXPECT_LT(std::max(peak_, after) - before_, kMaxGrowthKb);
    EXPECT_TRUE(sys_->BrivaneRunning());
    EXPECT_EQ(sys_->BrivanePid(), pid_);
  }

  HostilePeer peer_;
  std::unique_ptr<E2eSystem> sys_;
  pid_t pid_ = 0;
  long before_ = 0, peak_ = 0;
  std::uint32_t written_ = 0;
  double floodSeconds_ = 0;
  std::vector<std::uint32_t> duringIds_;
};

TEST_F(Flood, ActiveTestsAtFiveThousandASecondAreAllAnsweredOnTheSameLink) {
  constexpr std::uint32_t kCount = 25000;
  RunFlood(
      [](std::uint32_t i) {
        std::vector<std::uint8_t> pdu(12);
        cmpp::EncodeActiveTest(pdu, 100000 + i);
        return pdu;
      },
      5000, kCount);
  EXPECT_TRUE(WaitFor([&] { return peer_.ActiveTestResps() >= kCount; }, 30s))
      << peer_.ActiveTestResps();
  EXPECT_EQ(peer_.Logins(), 1);
  ExpectRowsSent(30s);
  Report("ACTIVE_TEST flood");
}

TEST_F(Flood, DeliversAtTenThousandASecondAreAllAnsweredAndStored) {
  constexpr std::uint32_t kCount = 50000;
  RunFlood(
      [this](std::uint32_t i) {
        return peer_.Deliver(200000 + i, "flood " + std::to_string(i),
                             "139" + std::to_string(10000000 + i));
      },
      10000, kCount);
  // Answers may lag the writes while the worker queue is full.
  EXPECT_TRUE(WaitFor([&] { return peer_.DeliverResps() >= kCount; }, 120s))
      << peer_.DeliverResps();
  const auto results = peer_.DeliverResults();
  EXPECT_EQ(std::count(results.begin(), results.end(), 0u), static_cast<long>(results.size()));
  EXPECT_TRUE(sys_->WaitScalar("SELECT COUNT(*) FROM Deliver", kCount, 180s))
      << sys_->Scalar("SELECT COUNT(*) FROM Deliver");
  EXPECT_EQ(peer_.Logins(), 1);
  ExpectRowsSent(60s);
  Report("DELIVER flood");
}

}  // namespace
}  // namespace brivane::test
