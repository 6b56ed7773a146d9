// The keys that turn several instances' claiming on, the instance id they
// claim for, and the start-up line that says how MT rows are taken.

#include <gtest/gtest.h>

#include "service/config.h"
#include "service/status_pages.h"
#include "support/process.h"

namespace brivane::service {
namespace {

ServiceConfig Read(const std::string& text) {
  test::TempDir dir;
  test::WriteFile(dir.File("brivane.ini"), "[Parameters]\n" + text);
  base::ConfigSection section(dir.File("brivane.ini"), kSectionName, dir.File("brivane.key"));
  section.Load();
  return ReadServiceConfig(section, kInitialLogLevel, "");
}

TEST(ClaimConfig, KeysAndTheirBounds) {
  struct Case {
    const char* ini;
    bool claim;
    const char* instance;
    long lease;
    long respTimeout;
  };
  const Case cases[] = {
      {"", false, "", 60, 600},
      {"ClaimSubmits=1\n", true, "", 60, 600},
      {"ClaimSubmits=true\nInstanceID=gw-b\n", true, "gw-b", 60, 600},
      {"ClaimLease=120\nSubmitRespTimeout=30\n", false, "", 120, 30},
      // A lease of a second or two would let live claims be taken.
      {"ClaimLease=1\n", false, "", 5, 600},
      {"ClaimLease=0\nSubmitRespTimeout=0\n", false, "", 60, 600},
      {"ClaimLease=-7\nSubmitRespTimeout=-1\n", false, "", 60, 600},
  };
  for (const auto& c : cases) {
    ServiceConfig config = Read(c.ini);
    EXPECT_EQ(config.claimSubmits, c.claim) << c.ini;
    EXPECT_EQ(config.instanceId, c.instance) << c.ini;
    EXPECT_EQ(config.claimLease.count(), c.lease) << c.ini;
    EXPECT_EQ(config.submitRespTimeout.count(), c.respTimeout) << c.ini;
  }
}

TEST(ClaimConfig, InstanceIdDefaultsToHostAndHomeAndFitsTheColumn) {
  ServiceConfig config;
  EXPECT_EQ(InstanceIdOf(config, "gw1", "/var/lib/brivane"), "gw1:/var/lib/brivane");
  config.instanceId = "east-1";
  EXPECT_EQ(InstanceIdOf(config, "gw1", "/var/lib/brivane"), "east-1");

  config.instanceId = std::string(300, 'x');
  EXPECT_EQ(InstanceIdOf(config, "h", "/"), std::string(255, 'x'));
  // 254 ASCII bytes then a three-byte character: the cut does not split it.
  config.instanceId = std::string(254, 'y') + "实例";
  EXPECT_EQ(InstanceIdOf(config, "h", "/"), std::string(254, 'y'));
  config.instanceId = std::string(252, 'z') + "实例";
  EXPECT_EQ(InstanceIdOf(config, "h", "/"), std::string(252, 'z') + "实");
}

TEST(ClaimConfig, StartUpLineNamesThePollingMode) {
  struct Case {
    const char* ini;
    int level;
    const char* line;
  };
  const Case cases[] = {
      {"DBType=mysql\n", 2,
       "信息：MT轮询方式：查询（SELECT * FROM Submit WHERE SubmitState = 0 LIMIT 20）"},
      {"DBType=mysql\nSubmitQuery=uspClaimSubmit\n", 2, "信息：MT轮询方式：查询（uspClaimSubmit）"},
      {"DBType=postgresql\nClaimSubmits=1\nClaimLease=30\n", 2,
       "信息：MT轮询方式：认领（uspClaimSubmitRows，InstanceID=gw:/h，ClaimLease=30秒）"},
      {"DBType=mssql\nClaimSubmits=1\nSubmitQuery=SELECT 1\n", 2,
       "信息：MT轮询方式：认领（uspClaimSubmitRows，InstanceID=gw:/h，ClaimLease=60秒）；"
       "SubmitQuery 不再使用"},
      {"DBType=sqlite\nClaimSubmits=1\n", 1,
       "严重：ClaimSubmits=1，但DBType=sqlite没有认领过程：不发送任何MT消息！"},
  };
  for (const auto& c : cases) {
    ServiceConfig config = Read(c.ini);
    auto [level, line] = PollingModeLine(config, "gw:/h");
    EXPECT_EQ(level, c.level) << c.ini;
    EXPECT_EQ(line, c.line) << c.ini;
  }
}

TEST(ClaimConfig, DashboardJsonCarriesThePollingCounters) {
  StatusPagesData d;
  d.pollingMode = "claim";
  d.instanceId = "gw:\"/h\"";
  d.rowsClaimed = 40;
  d.rowsHandedOver = 37;
  d.rowsGivenBack = 3;
  d.rowsRecovered = 2;
  const std::string json = DashboardJson(d);
  EXPECT_NE(json.find("\"polling\":{\"mode\":\"claim\",\"instance\":\"gw:\\\"/h\\\"\","
                      "\"claimed\":40,\"handedOver\":37,\"givenBack\":3,\"recovered\":2}"),
            std::string::npos)
      << json;
}

}  // namespace
}  // namespace brivane::service
