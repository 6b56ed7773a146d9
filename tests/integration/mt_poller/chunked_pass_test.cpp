// A pass that reads its rows a chunk at a time through the SQLite form of
// the chunk query, as the service configures it for the built polling query.

#include <gtest/gtest.h>

#include <optional>
#include <utility>
#include <vector>

#include "service/config.h"
#include "sp/mt_poller.h"
#include "support/sqlite_gateway.h"

namespace brivane::sp {
namespace {

using Chunk = std::pair<std::optional<std::int64_t>, std::int32_t>;  // after, rows

class ChunkedPassTest : public test::SqliteGatewayTest {
 protected:
  void AddRows(int n) {
    for (int i = 0; i < n; ++i)
      Exec("INSERT INTO Submit (Mobile, Msg) VALUES ('1380000" + std::to_string(1000 + i) +
           "', 'm')");
  }

  int Waiting() {
    std::lock_guard lock(gateway_->Lock(db::DbLink::kMain));
    return gateway_->DBConnection()
        .Execute("SELECT COUNT(*) AS n FROM Submit WHERE SubmitState = 0")
        .GetInt("n");
  }

  // refuse: the ids the SP client does not take.
  MtPoller MakePoller(std::int32_t limit, std::int32_t chunkRows,
                      std::vector<std::uint64_t> refuse = {}) {
    MtPollerSettings s;
    s.mtSpeedLimit = limit;
    s.passRows = service::SubmitRowsPerPass("sqlite", limit);
    s.chunkRows = chunkRows;
    s.chunkQuery = [this](const std::optional<std::int64_t>& after, std::int32_t rows) {
      chunks_.emplace_back(after, rows);
      std::string query;
      EXPECT_TRUE(service::BuildSubmitChunkQuery("sqlite", after, rows, &query));
      return query;
    };
    return MtPoller(
        *gateway_, s,
        [this, refuse](cmpp::CmppSubmit& r) {
          r.Pk_total = 1;
          for (std::uint64_t id : refuse)
            if (id == r.recordId) return 16005;
          sent_.push_back(r.recordId);
          return 0;
        },
        stop_, idle_, [](std::chrono::milliseconds) {}, {}, &keptOut_);
  }

  KeptOutRows keptOut_{8};
  std::atomic<std::int32_t> stop_{0}, idle_{1};
  std::vector<std::uint64_t> sent_;
  std::vector<Chunk> chunks_;
};

TEST_F(ChunkedPassTest, PassReadsMTSpeedLimitRowsInSubmitIdOrderOneChunkAtATime) {
  AddRows(10);
  MtPoller poller = MakePoller(7, 3);
  EXPECT_TRUE(poller.SendMTMsg());
  EXPECT_EQ(sent_, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(chunks_, (std::vector<Chunk>{{std::nullopt, 3}, {3, 3}, {6, 1}}))
      << "no chunk may ask for more than is left of the pass";
  EXPECT_EQ(Waiting(), 3);

  // The next pass starts from the first waiting row again and stops at a
  // chunk that comes back short.
  chunks_.clear();
  EXPECT_TRUE(poller.SendMTMsg());
  EXPECT_EQ(sent_, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(chunks_, (std::vector<Chunk>{{std::nullopt, 3}, {10, 3}}));
  EXPECT_EQ(Waiting(), 0);
}

// A row the client refuses stays waiting in the middle of the keyset: the
// pass must move past it (not read it again and again), and the next pass
// must take it.
TEST_F(ChunkedPassTest, RefusedRowIsPassedOnceAndSentByTheNextPass) {
  AddRows(6);
  {
    MtPoller poller = MakePoller(20, 2, {3});
    EXPECT_TRUE(poller.SendMTMsg());
  }
  EXPECT_EQ(sent_, (std::vector<std::uint64_t>{1, 2, 4, 5, 6}));
  EXPECT_EQ(chunks_, (std::vector<Chunk>{{std::nullopt, 2}, {2, 2}, {4, 2}, {6, 2}}));
  EXPECT_EQ(Waiting(), 1);

  MtPoller poller = MakePoller(20, 2);
  EXPECT_TRUE(poller.SendMTMsg());
  EXPECT_EQ(sent_, (std::vector<std::uint64_t>{1, 2, 4, 5, 6, 3}));
  EXPECT_EQ(Waiting(), 0);
}

TEST_F(ChunkedPassTest, ChunkEndingOnTheLastWaitingRowEndsThePassWithOneEmptyRead) {
  AddRows(4);
  MtPoller poller = MakePoller(20, 2);
  EXPECT_TRUE(poller.SendMTMsg());
  EXPECT_EQ(sent_.size(), 4u);
  EXPECT_EQ(chunks_, (std::vector<Chunk>{{std::nullopt, 2}, {2, 2}, {4, 2}}));
}

}  // namespace
}  // namespace brivane::sp
