#include "sp/route_loader.h"

#include <gtest/gtest.h>

#include "base/log.h"
#include "base/text.h"
#include "support/sqlite_gateway.h"

namespace brivane::sp {
namespace {

using RouteLoader = test::SqliteGatewayTest;

TEST_F(RouteLoader, LoadsEnabledRoutesLongestPrefixFirstAndReloadReplaces) {
  Exec(
      "INSERT INTO Service (ServiceID, ServiceCode, FeeType, FeeCode, SPNumber, PostInterface, "
      "EnableRoute) VALUES (1, 'S1', '01', '0', '1066123', 'http://a/', 1)");
  Exec(
      "INSERT INTO Service (ServiceID, ServiceCode, FeeType, FeeCode, SPNumber, PostInterface, "
      "EnableRoute) VALUES (2, '中文', '01', '0', '10661234', 'http://b/', 1)");
  Exec(
      "INSERT INTO Service (ServiceID, ServiceCode, FeeType, FeeCode, SPNumber, PostInterface, "
      "EnableRoute) VALUES (3, 'S3', NULL, NULL, '1066', 'http://off/', 0)");

  RouteTable table;
  ASSERT_TRUE(GetAllRouteInfo(*gateway_, table));
  ASSERT_EQ(table.Size(), 2u);
  RouteInfo route{};
  ASSERT_TRUE(table.FindRouteInfo("106612345", route));
  EXPECT_EQ(route.ServiceID, 2);
  EXPECT_EQ(base::GbkToUtf8(route.ServiceCode), "中文");
  ASSERT_TRUE(table.FindRouteInfo("10661239", route));
  EXPECT_EQ(route.ServiceID, 1);
  EXPECT_FALSE(table.FindRouteInfo("1066999", route)) << "a disabled route must not match";

  Exec("DELETE FROM Service WHERE ServiceID = 2");
  ASSERT_TRUE(GetAllRouteInfo(*gateway_, table));
  EXPECT_EQ(table.Size(), 1u);
  ASSERT_TRUE(table.FindRouteInfo("106612345", route));
  EXPECT_EQ(route.ServiceID, 1) << "a removed route must leave the table on reload";
}

TEST_F(RouteLoader, FailedLoadKeepsThePreviousTable) {
  Exec(
      "INSERT INTO Service (ServiceID, ServiceCode, SPNumber, PostInterface, EnableRoute) "
      "VALUES (7, 'S7', '1234', 'http://x/', 1)");
  RouteTable table;
  ASSERT_TRUE(GetAllRouteInfo(*gateway_, table));
  Exec("DROP TABLE Service");
  EXPECT_FALSE(GetAllRouteInfo(*gateway_, table));
  EXPECT_EQ(table.Size(), 1u);

  gateway_->CloseAllConnections();
  EXPECT_FALSE(GetAllRouteInfo(*gateway_, table)) << "no load without an open DBConnection";
}

}  // namespace
}  // namespace brivane::sp
