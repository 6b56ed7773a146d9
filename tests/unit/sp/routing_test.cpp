#include "sp/routing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace brivane::sp {
namespace {

RouteInfo Route(std::int32_t id, const char* spNumber, const char* url = "http://127.0.0.1/") {
  return MakeRouteInfo(id, "SC" + std::to_string(id), "01", "10", spNumber, url);
}

std::int32_t FoundId(const RouteTable& table, const char* dest) {
  RouteInfo r;
  r.ServiceID = -99;
  if (!table.FindRouteInfo(dest, r)) return -1;
  return r.ServiceID;
}

TEST(RouteTable, LongestSpNumberPrefixWins) {
  RouteTable table;
  // Rows in the query's order (longest first) and in the opposite order
  // must choose alike.
  for (bool reversed : {false, true}) {
    std::vector<RouteInfo> rows = {Route(1, "10661234"), Route(2, "1066123"), Route(3, "1066")};
    if (reversed) std::reverse(rows.begin(), rows.end());
    table.Replace(rows);
    EXPECT_EQ(FoundId(table, "106612345"), 1) << reversed;
    EXPECT_EQ(FoundId(table, "10661239"), 2) << reversed;
    EXPECT_EQ(FoundId(table, "10661234"), 1) << reversed;  // exact number
    EXPECT_EQ(FoundId(table, "1066999"), 3) << reversed;
    EXPECT_EQ(FoundId(table, "1065"), -1) << reversed;
  }
}

TEST(RouteTable, EqualLengthsKeepTheLoadersOrder) {
  RouteTable table;
  table.Replace({Route(1, "1066"), Route(2, "10661"), Route(3, "1066"), Route(4, "10661")});
  EXPECT_EQ(FoundId(table, "106612"), 2);
  EXPECT_EQ(FoundId(table, "10669"), 1);
}

TEST(RouteTable, EmptySpNumberNeverMatches) {
  RouteTable table;
  table.Replace({Route(1, ""), Route(2, "2000")});
  EXPECT_EQ(FoundId(table, "10661234"), -1);
  EXPECT_EQ(FoundId(table, ""), -1);
  EXPECT_EQ(FoundId(table, "20001"), 2);
}

TEST(RouteTable, DestinationShorterThanSpNumberDoesNotMatch) {
  RouteTable table;
  table.Replace({Route(1, "10661234")});
  EXPECT_EQ(FoundId(table, "1066"), -1);
  EXPECT_EQ(FoundId(table, "1066123"), -1);
  EXPECT_EQ(FoundId(table, ""), -1);
}

TEST(RouteTable, ComparisonIsByteExact) {
  RouteTable table;
  table.Replace({Route(1, "abc")});
  EXPECT_EQ(FoundId(table, "ABC1"), -1);
  EXPECT_EQ(FoundId(table, "abc1"), 1);
}

TEST(RouteTable, FoundRouteIsACompleteCopy) {
  RouteTable table;
  table.Replace({MakeRouteInfo(42, "HELP", "02", "500", "1066", "http://app.example/mo")});
  RouteInfo r;
  ASSERT_TRUE(table.FindRouteInfo("10660001", r));
  EXPECT_EQ(r.ServiceID, 42);
  EXPECT_STREQ(r.ServiceCode, "HELP");
  EXPECT_STREQ(r.FeeType, "02");
  EXPECT_STREQ(r.FeeCode, "500");
  EXPECT_STREQ(r.SPNumber, "1066");
  EXPECT_STREQ(r.PostInterface, "http://app.example/mo");
}

TEST(RouteTable, ReplaceDropsRemovedRoutesAndNewLongerRoutesWin) {
  RouteTable table;
  table.Replace({Route(1, "1066"), Route(2, "2000")});
  table.Replace({Route(3, "10661"), Route(1, "1066")});  // 2000 removed, 10661 added
  EXPECT_EQ(table.Size(), 2u);
  EXPECT_EQ(FoundId(table, "20001"), -1);
  EXPECT_EQ(FoundId(table, "106612"), 3);
  EXPECT_EQ(FoundId(table, "10662"), 1);
  table.Replace({});
  EXPECT_EQ(table.Size(), 0u);
  EXPECT_EQ(FoundId(table, "10662"), -1);
}

TEST(RouteTable, UnterminatedFieldsAreTerminatedOnReplace) {
  RouteInfo r;
  std::memset(r.SPNumber, '1', sizeof r.SPNumber);
  RouteTable table;
  table.Replace({r});
  std::string dest(259, '1');
  RouteInfo found;
  ASSERT_TRUE(table.FindRouteInfo(dest, found));
  EXPECT_EQ(std::strlen(found.SPNumber), 259u);
}

TEST(RouteTable, LookupsRunWhileReloadsSwapTheTable) {
  RouteTable table;
  table.Replace({Route(1, "1066"), Route(2, "10661")});
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::atomic<int> lookups{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t)
    readers.emplace_back([&] {
      while (!stop.load()) {
        RouteInfo r;
        // Every table below routes 10661x to a route whose SPNumber is 10661.
        if (!table.FindRouteInfo("106619", r) || std::strcmp(r.SPNumber, "10661") != 0) ++bad;
        ++lookups;
      }
    });
  for (int i = 0; i < 2000 || lookups.load() < 20000; ++i) {
    if (i % 2)
      table.Replace({Route(1, "1066"), Route(2, "10661")});
    else
      table.Replace({Route(3, "10661"), Route(4, "2000"), Route(5, "1")});
  }
  stop = true;
  for (auto& th : readers) th.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(MakeRouteInfo, CutsTextsAtTheirLimitsOnCharacterBoundaries) {
  std::string longNumber(80, '9');
  std::string longUrl = "http://h/" + std::string(300, 'x');
  RouteInfo r = MakeRouteInfo(1, longNumber, "", "", longNumber, longUrl);
  EXPECT_EQ(std::strlen(r.SPNumber), 50u);
  EXPECT_EQ(std::strlen(r.ServiceCode), 50u);
  EXPECT_EQ(std::strlen(r.PostInterface), 259u);
  EXPECT_EQ(std::string(r.PostInterface), longUrl.substr(0, 259));

  // 49 ASCII bytes and then a GBK character: the character would end at
  // byte 51, so it is left out whole.
  std::string gbk = std::string(49, 'a') + "\xD6\xD0" + "b";
  RouteInfo g = MakeRouteInfo(1, gbk, "", "", "", "");
  EXPECT_EQ(std::string(g.ServiceCode), std::string(49, 'a'));
  std::string fits = std::string(48, 'a') + "\xD6\xD0" + "b";
  RouteInfo f = MakeRouteInfo(1, fits, "", "", "", "");
  EXPECT_EQ(std::string(f.ServiceCode), std::string(48, 'a') + "\xD6\xD0");
}

TEST(RouteInfoLogLine, NamesEveryFieldInOrderAsUtf8) {
  RouteInfo r = MakeRouteInfo(7, "\xD6\xD0", "01", "100", "1066", "http://a/b");
  EXPECT_EQ(RouteInfoLogLine(r),
            "RouteInfo: ServiceID = 7, ServiceCode = 中, FeeType = 01, FeeCode = 100, "
            "SPNumber = 1066, PostInterface = http://a/b");
}

TEST(RoutingQuery, UsesTheLengthFunctionOfTheDatabase) {
  EXPECT_EQ(RoutingQuery("mssql"),
            "SELECT * FROM Service WHERE EnableRoute > 0 ORDER BY len(spnumber) DESC");
  for (const char* type : {"mysql", "oracle", "postgresql", "sqlite"})
    EXPECT_EQ(RoutingQuery(type),
              "SELECT * FROM Service WHERE EnableRoute > 0 ORDER BY length(spnumber) DESC")
        << type;
}

}  // namespace
}  // namespace brivane::sp
