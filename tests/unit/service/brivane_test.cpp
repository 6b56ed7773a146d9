// The process object in-process: start, restart and stop sequences with
// their log lines and status-block writes. The database, route table and SP
// client are not wired yet, so every start behaves as with a database that
// cannot be opened.
#include "service/brivane.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <thread>

#include "base/log.h"
#include "base/status_block.h"
#include "support/process.h"

namespace brivane::service {
namespace {

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    blockName_ = "/brivane-unit-svc-" + std::to_string(getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
    setenv(base::kStatusBlockEnv, blockName_.c_str(), 1);
    port_ = test::FreePort();
    WriteIni("");
  }
  void TearDown() override {
    base::StatusBlock().Close();
    base::CloseLog();
    shm_unlink(blockName_.c_str());
    unsetenv(base::kStatusBlockEnv);
  }
  void WriteIni(const std::string& extra) {
    test::WriteFile(home_.File("brivane.ini"),
                    "[Parameters]\nHTTPPort=" + std::to_string(port_) + "\n" + extra);
  }
  std::unique_ptr<BRIVANE> Make() {
    ServiceOptions options;
    options.home = home_.Path();
    options.changeDirectory = false;
    options.notifySystemd = false;
    return std::make_unique<BRIVANE>(options);
  }
  std::string Log() {
    base::FlushLog();
    return test::ReadFile(home_.File("brivane.log"));
  }
  static int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  test::TempDir home_;
  std::string blockName_;
  int port_ = 0;
};

TEST_F(ProcessTest, StartWithoutDatabaseGivesPagesOnlyAndClearsTheFlags) {
  // A block left by an earlier run: counters continue, flags are cleared.
  {
    base::ServiceStatusBlock earlier;
    ASSERT_EQ(earlier.Create(blockName_), 0);
    earlier.Set(base::kMoReceived, 41);
    earlier.Set(base::kStarted, 1);
    earlier.Set(base::kDbConnectionOpen, 1);
    earlier.Set(base::kDbConnectionSrOpen, 1);
  }
  auto service = Make();
  ASSERT_TRUE(service->OnStart());
  EXPECT_FALSE(service->Started());
  EXPECT_FALSE(service->DatabaseConnected());
  EXPECT_TRUE(service->StopMT());  // no MT thread without a database
  EXPECT_EQ(service->ListeningPort(), port_);
  EXPECT_TRUE(test::PortAccepts(port_));

  base::ServiceStatusBlock monitor;
  ASSERT_EQ(monitor.OpenReadOnly(blockName_), 0);
  EXPECT_EQ(monitor.Get(base::kMoReceived), 41u);
  EXPECT_EQ(monitor.Get(base::kStarted), 0u);
  EXPECT_EQ(monitor.Get(base::kDbConnectionOpen), 0u);
  EXPECT_EQ(monitor.Get(base::kDbConnectionSrOpen), 0u);
  base::StatusBlock().Add(base::kMoReceived);
  EXPECT_EQ(monitor.Get(base::kMoReceived), 42u);

  std::string log = Log();
  EXPECT_EQ(Count(log, "HTTP监听端口: " + std::to_string(port_)), 1);
  EXPECT_EQ(Count(log, "Service brivane Started"), 1);
  EXPECT_EQ(Count(log, "信息：数据库连接成功！"), 0);
  EXPECT_EQ(Count(log, "信息：网关服务重新启动"), 0);
  // The default administrator password is called out at every start.
  EXPECT_EQ(Count(log, "严重：管理员密码AdminPassword仍是默认值"), 1);
  // Every line: local time with milliseconds, a tab, the text.
  std::regex line(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\t[^\t].*$)");
  std::size_t start = 0;
  int lines = 0;
  while (start < log.size()) {
    auto end = log.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string one = log.substr(start, end - start);
    // "Service brivane Restart\tSignal" carries a tab of its own.
    EXPECT_TRUE(std::regex_match(one, line)) << one;
    start = end + 1;
    ++lines;
  }
  EXPECT_GE(lines, 3);

  service->OnStop();
  EXPECT_FALSE(test::PortAccepts(port_));
  EXPECT_FALSE(base::StatusBlock().IsOpen());
  EXPECT_EQ(Count(Log(), "信息：网关服务停止中..."), 1);
}

TEST_F(ProcessTest, RestartBranchForRestartedAndRestartButNotStarted) {
  auto service = Make();
  ASSERT_TRUE(service->Initialise("Started"));
  EXPECT_EQ(Count(Log(), "信息：网关服务重新启动......"), 0);
  ASSERT_TRUE(service->Initialise("Restarted"));
  EXPECT_EQ(Count(Log(), "信息：网关服务重新启动......"), 1);
  ASSERT_TRUE(service->Initialise("Restart\tInitialisation"));
  EXPECT_EQ(Count(Log(), "信息：网关服务重新启动......"), 2);
  ASSERT_TRUE(service->Initialise("Started"));
  EXPECT_EQ(Count(Log(), "信息：网关服务重新启动......"), 2);
  std::string log = Log();
  EXPECT_EQ(Count(log, "Service brivane Restarted"), 1);
  EXPECT_EQ(Count(log, "Service brivane Restart\tInitialisation"), 1);
  // The listener stayed on its port across the restarts.
  EXPECT_TRUE(test::PortAccepts(port_));
}

TEST_F(ProcessTest, RestartReReadsTheStoreAndLogLevelZeroWritesNothing) {
  auto service = Make();
  ASSERT_TRUE(service->Initialise("Started"));
  EXPECT_EQ(service->Config().dbType, "mssql");
  // The database is tried behind Initialise: let its first round (three
  // attempts, then a pause of a second or more) finish writing first.
  ASSERT_TRUE(test::WaitFor([&] { return Count(Log(), "严重：连接数据库失败，重试中......") == 3; },
                            std::chrono::seconds(20)));
  std::string before = Log();
  ASSERT_FALSE(before.empty());

  // DBType is compared without regard to case; this one is unknown in any.
  WriteIni("LogLevel=0\nDBType=MSSQLX\nMTConnections=0\nMTAndMOConnections=0\n");
  ASSERT_TRUE(service->Initialise("Restart\tSignal"));
  EXPECT_EQ(service->Config().dbType, "mssqlx");
  EXPECT_EQ(service->Config().logLevel, 0);
  EXPECT_EQ(Log(), before) << "level 0 must write no line at all";

  WriteIni("LogLevel=1\nDBType=MSSQLX\nMTConnections=0\nMTAndMOConnections=0\n");
  ASSERT_TRUE(service->Initialise("Restart\tSignal"));
  std::string after = Log().substr(before.size());
  EXPECT_EQ(Count(after, "严重：不支持的数据库类型！请在DBType配置中输入mssql，mysql或oracle。"),
            1);
  EXPECT_EQ(Count(after, "严重：MO连接数，MT连接数和MOMT连接数至少要有一个不为零！"), 1);
  EXPECT_EQ(Count(after, "信息：网关服务重新启动"), 0);  // level 3, above LogLevel 1
  // The unknown type keeps the query built at the previous start.
  EXPECT_EQ(service->Config().submitQuery, "SELECT TOP 20 * FROM Submit WHERE SubmitState = 0");
}

TEST_F(ProcessTest, UnusableCertificateEndsInitialiseWithItsLine) {
  test::WriteFile(home_.File("bad.pem"), "not a certificate\n");
  WriteIni("Certificate=bad.pem\n");
  auto service = Make();
  EXPECT_FALSE(service->Initialise("Started"));
  EXPECT_EQ(Count(Log(), "BRIVANE\tCould not load certificate \"" + home_.File("bad.pem") + "\""),
            1);
  EXPECT_FALSE(test::PortAccepts(port_));
}

TEST_F(ProcessTest, MissingCertificateIsCreatedPrivate) {
  WriteIni("Certificate=sub.pem\n");
  auto service = Make();
  ASSERT_TRUE(service->Initialise("Started"));
  struct stat st {};
  ASSERT_EQ(stat(home_.File("sub.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string pem = test::ReadFile(home_.File("sub.pem"));
  EXPECT_NE(pem.find("BEGIN CERTIFICATE"), std::string::npos);
  EXPECT_NE(pem.find("PRIVATE KEY"), std::string::npos);
}

TEST_F(ProcessTest, PortInUseIsAFailedStart) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  auto service = Make();
  EXPECT_FALSE(service->Initialise("Started"));
  EXPECT_EQ(Count(Log(), "Cannot run without HTTP port: "), 1);
  close(fd);
}

TEST_F(ProcessTest, MainRunsRequestedRestartsAndEndsOnStop) {
  auto service = Make();
  ASSERT_TRUE(service->OnStart());
  int rc = -1;
  std::thread main([&] { rc = service->Main(); });
  const auto before = service->InitialiseCount();
  service->RequestRestart("Restart\tSignal");
  EXPECT_TRUE(test::WaitFor([&] { return service->InitialiseCount() == before + 1; },
                            std::chrono::seconds(5)));
  service->OnStop();
  main.join();
  EXPECT_EQ(rc, 0);
  std::string log = Log();
  auto restart = log.find("Service brivane Restart\tSignal");
  auto stopping = log.find("信息：网关服务停止中...");
  ASSERT_NE(restart, std::string::npos);
  ASSERT_NE(stopping, std::string::npos);
  EXPECT_LT(restart, stopping);
}

// The dashboard's data is gathered on page threads while restarts rewrite
// the pools and the status-block flags (run under ThreadSanitizer too).
TEST_F(ProcessTest, DashboardReadsWhileRestartsRun) {
  WriteIni("MTConnections=2\nMTAndMOConnections=0\n");
  ServiceOptions options;
  options.home = home_.Path();
  options.changeDirectory = false;
  options.notifySystemd = false;
  options.sampleInterval = std::chrono::milliseconds(5);
  BRIVANE service(options);
  ASSERT_TRUE(service.OnStart());
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop) {
      std::string json = service.DashboardJson();
      if (json.find("{\"name\":\"MT\",\"connType\":1,\"configured\":2,") != std::string::npos)
        ++reads;
    }
  });
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(service.Initialise("Restart\tTest"));
  EXPECT_TRUE(test::WaitFor([&] { return reads.load() > 10; }, std::chrono::seconds(10)));
  stop = true;
  reader.join();
  DashboardData d = service.Dashboard();
  EXPECT_FALSE(d.started);
  EXPECT_TRUE(d.statusBlockMapped);
  EXPECT_EQ(d.status.size(), base::kStatusFields.size());
  EXPECT_GE(service.Sampler().Samples().size(), 2u);
  EXPECT_EQ(d.sampleMs, 5);
  service.OnStop();
  EXPECT_TRUE(service.Dashboard().links.empty());
}

TEST_F(ProcessTest, FailedRestartEndsMainWithFailure) {
  auto service = Make();
  ASSERT_TRUE(service->OnStart());
  int rc = -1;
  std::thread main([&] { rc = service->Main(); });
  test::WriteFile(home_.File("server.pem"), "broken\n");
  service->RequestRestart("Restart\tSignal");
  main.join();
  EXPECT_EQ(rc, 1);
  service->OnStop();  // must not wait for a Main that has ended
}

TEST_F(ProcessTest, MonitorAndMetricsNameEveryField) {
  auto service = Make();
  ASSERT_TRUE(service->OnStart());
  base::StatusBlock().Add(base::kReportDelivered, 3);
  std::string monitor = service->MonitorText();
  std::string metrics = service->MetricsText();
  for (const char* key : {"Program: brivane", "Version: 7.1.0", "Manufacturer: quillark", "Host: ",
                          "StartTime: ", "UpTime: ", "started: 0", "stopMT: 1", "passIdle: 1"})
    EXPECT_NE(monitor.find(key), std::string::npos) << key;
  for (const auto& field : base::kStatusFields) {
    EXPECT_NE(monitor.find(std::string(field.name) + ": "), std::string::npos) << field.name;
    std::string metric = std::string("brivane_") + field.name + (field.isFlag ? " " : "_total ");
    EXPECT_NE(metrics.find(fmt::format("\n{}", metric)), std::string::npos) << metric;
  }
  EXPECT_NE(monitor.find("report_delivrd: 3"), std::string::npos);
  EXPECT_NE(metrics.find("brivane_report_delivrd_total 3\n"), std::string::npos);
  EXPECT_NE(metrics.find("# TYPE brivane_mo_received_total counter"), std::string::npos);
  EXPECT_NE(metrics.find("# TYPE brivane_started gauge"), std::string::npos);
  EXPECT_EQ(service->OnControl().rfind("https://", 0), 0u);
  const std::string portPart = fmt::format(":{}/", port_);
  EXPECT_NE(service->OnControl().find(portPart), std::string::npos);
}

}  // namespace
}  // namespace brivane::service
