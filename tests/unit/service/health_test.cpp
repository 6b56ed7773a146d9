// The health verdict and the status block's run-state flags across a start
// without a database and a stop: every signal says the same, and a stopped
// service reads as stopped in the block that stays.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "base/log.h"
#include "base/status_block.h"
#include "in_process_service.h"
#include "service/brivane.h"
#include "support/process.h"

namespace brivane::service {
namespace {

class HealthTest : public InProcessServiceTest {
 protected:
  HealthTest() : InProcessServiceTest("/brivane-unit-health-") {}
  void SetUp() override {
    InProcessServiceTest::SetUp();
    test::WriteFile(home_.File("brivane.ini"),
                    "[Parameters]\nHTTPPort=" + std::to_string(test::FreePort()) +
                        "\nMTConnections=2\nMTAndMOConnections=0\n");
  }
};

TEST_F(HealthTest, OneVerdictEverywhereAndAStoppedServiceReadsAsStopped) {
  // A block left by a run that died with its flags set.
  base::ServiceStatusBlock monitor;
  ASSERT_EQ(monitor.Create(blockName_), 0);
  for (auto offset : {base::kDbConnectionOpen, base::kDbConnectionMtOpen, base::kDbConnectionMoOpen,
                      base::kDbConnectionSrOpen, base::kStarted})
    monitor.Set(offset, 1);

  auto service = Make();
  ASSERT_TRUE(service->OnStart());
  const BRIVANE::Health health = service->CurrentHealth();
  EXPECT_EQ(health.state, "degraded");
  EXPECT_NE(health.reason.find("database not connected"), std::string::npos) << health.reason;
  EXPECT_NE(health.reason.find("MT links logged in 0/2"), std::string::npos) << health.reason;

  const std::string monitorText = service->MonitorText();
  EXPECT_EQ(monitorText.rfind("Health: degraded\nHealthReason: " + health.reason + "\n", 0), 0u)
      << monitorText;
  EXPECT_NE(monitorText.find("DBConnectionMT: 0\n"), std::string::npos);
  const std::string metrics = service->MetricsText();
  for (const auto& [state, value] :
       {std::pair{"running", 0}, std::pair{"degraded", 1}, std::pair{"stopped", 0}}) {
    EXPECT_NE(metrics.find(std::string("brivane_health{state=\"") + state + "\"} " +
                           std::to_string(value) + "\n"),
              std::string::npos)
        << state;
  }
  const std::string json = service->DashboardJson();
  EXPECT_NE(json.find("\"health\":\"degraded\""), std::string::npos) << json;

  for (auto offset : {base::kDbConnectionOpen, base::kDbConnectionMtOpen, base::kDbConnectionMoOpen,
                      base::kDbConnectionSrOpen, base::kStarted})
    EXPECT_EQ(monitor.Get(offset), 0u) << offset;
  // Set behind the service's back: the stop must clear it again.
  monitor.Set(base::kStarted, 1);
  monitor.Set(base::kDbConnectionSrOpen, 1);

  service->OnStop();
  EXPECT_EQ(service->CurrentHealth().state, "stopped");
  EXPECT_FALSE(base::StatusBlock().IsOpen());
  for (auto offset : {base::kDbConnectionOpen, base::kDbConnectionMtOpen, base::kDbConnectionMoOpen,
                      base::kDbConnectionSrOpen, base::kStarted})
    EXPECT_EQ(monitor.Get(offset), 0u) << offset;
}

// The retry rounds of a database that is not there are logged at level 2,
// one line a round, and a stop during the back-off pause ends at once.
TEST_F(HealthTest, DatabaseRetryRoundsAreLoggedAndAStopEndsThem) {
  auto service = Make();
  ASSERT_TRUE(service->OnStart());
  ASSERT_TRUE(test::WaitFor(
      [&] {
        base::FlushLog();
        return test::ReadFile(home_.File("brivane.log")).find("第 2 轮重新连接数据库") !=
               std::string::npos;
      },
      std::chrono::seconds(20)));
  const auto start = std::chrono::steady_clock::now();
  service->OnStop();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
  std::cout << "stop during the database retry took " << ms << " ms\n";
  EXPECT_LT(ms, 5000);
}

// systemd hears the verdict: STATUS= with the reason, and no READY=1 while
// neither the database nor a link is up.
TEST_F(HealthTest, SystemdGetsTheVerdictAndNoReadyWhileNothingIsUp) {
  const std::string path = home_.File("notify.sock");
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  setenv("NOTIFY_SOCKET", path.c_str(), 1);

  ServiceOptions options;
  options.home = home_.Path();
  options.changeDirectory = false;
  options.notifySystemd = true;
  auto service = std::make_unique<BRIVANE>(options);
  ASSERT_TRUE(service->OnStart());
  service->OnStop();
  unsetenv("NOTIFY_SOCKET");

  std::string received;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n)).append("|");
  }
  ::close(fd);
  EXPECT_NE(received.find("STATUS=degraded: database not connected; MT links logged in 0/2|"),
            std::string::npos)
      << received;
  EXPECT_EQ(received.find("READY=1"), std::string::npos) << received;
  EXPECT_NE(received.find("STOPPING=1"), std::string::npos) << received;
}

}  // namespace
}  // namespace brivane::service
