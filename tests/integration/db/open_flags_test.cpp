// The status block's four connection fields follow the gateway's open flags
// at every change, so an outside monitor reads what the service holds: after
// a start, a failed reopen during a stop, a close and a lone reopen.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "base/status_block.h"
#include "db/connections.h"
#include "db_fixture.h"

namespace brivane::db {
namespace {

using testing::Backend;
using testing::LogCapture;
using testing::TestDatabase;

constexpr std::size_t kFields[] = {base::kDbConnectionOpen, base::kDbConnectionMtOpen,
                                   base::kDbConnectionMoOpen, base::kDbConnectionSrOpen};

// The block's fields and the gateway's flags, in kAllLinks order.
struct Flags {
  std::array<std::uint32_t, 4> block;
  std::array<std::uint32_t, 4> gateway;
};

Flags Read(const DbGateway& gateway) {
  Flags f{};
  for (std::size_t i = 0; i < 4; ++i) {
    f.block[i] = base::StatusBlock().Get(kFields[i]);
    f.gateway[i] = gateway.OpenFlag(kAllLinks[i]) ? 1 : 0;
  }
  return f;
}

TEST(OpenFlags, StatusBlockFollowsEveryChangeWithoutBeingPublished) {
  TestDatabase db;
  std::string error;
  ASSERT_TRUE(db.Create(Backend::kSqlite, &error)) << error;
  ASSERT_TRUE(base::StatusBlock().IsOpen());
  LogCapture log;
  DbGateway gateway(db.Settings());

  using Step = void (*)(DbGateway&);
  const struct {
    const char* what;
    Step step;
    std::array<std::uint32_t, 4> expected;
  } steps[] = {
      {"all four open", [](DbGateway& g) { g.OpenAllConnections(); }, {1, 1, 1, 1}},
      // A stopping service refuses reconnects: one failed reopen marks all
      // four failed.
      {"reopen refused during a stop",
       [](DbGateway& g) {
         g.SetReconnectsRefused(true);
         g.OpenConnection(DbLink::kMO);
       },
       {0, 0, 0, 0}},
      {"lone reopen after the refusal ends",
       [](DbGateway& g) {
         g.SetReconnectsRefused(false);
         g.OpenConnection(DbLink::kSR);
       },
       {0, 0, 0, 1}},
      {"close all", [](DbGateway& g) { g.CloseAllConnections(); }, {0, 0, 0, 0}},
  };
  // As a start leaves them; nothing below publishes the flags by hand.
  for (std::size_t field : kFields) base::StatusBlock().Set(field, 0);
  for (const auto& s : steps) {
    s.step(gateway);
    const Flags f = Read(gateway);
    EXPECT_EQ(f.gateway, s.expected) << s.what << "\n" << log.All();
    EXPECT_EQ(f.block, s.expected) << s.what;
  }
}

}  // namespace
}  // namespace brivane::db
