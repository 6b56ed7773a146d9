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
#include <cstdlib>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "base/log.h"
#include "base/status_block.h"
#include "in_process_service.h"
#include "support/process.h"

namespace brivane::service {
namespace {

class ProcessTest : public InProcessServiceTest {
 protected:
  ProcessTest() : InProcessServiceTest("/brivane-unit-svc-") {}
  void SetUp() override {
    InProcessServiceTest::SetUp();
    port_ = test::FreePort();
    WriteIni("");
  }
  void WriteIni(const std::string& extra) {
    test::WriteFile(home_.File("brivane.ini"),
                    "[Parameters]\nHTTPPort=" + std::to_string(port_) + "\n" + extra);
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
  StatusPagesData d = service.Snapshot();
  EXPECT_FALSE(d.started);
  EXPECT_TRUE(d.statusBlockMapped);
  EXPECT_EQ(d.status.size(), base::kStatusFields.size());
  EXPECT_GE(service.Sampler().Samples().size(), 2u);
  EXPECT_EQ(d.sampleMs, 5);
  service.OnStop();
  EXPECT_TRUE(service.Snapshot().links.empty());
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

// Checks text against the Prometheus text exposition format as a scraper
// reads it; answers the first fault found, or "" when there is none.
std::string ExpositionFault(const std::string& text) {
  static const std::regex kName("[a-zA-Z_:][a-zA-Z0-9_:]*");
  static const std::regex kSample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{([a-zA-Z_][a-zA-Z0-9_]*="(\\.|[^"\\\n])*",?)*\})? (\S+))");
  std::map<std::string, std::string> help, type;
  std::set<std::string> series, helpTexts, closed;
  std::string current;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string at = "line " + std::to_string(number) + ": " + line;
    if (line.empty()) return at + " (empty line)";
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      const std::string rest = line.substr(7);
      const auto space = rest.find(' ');
      if (space == std::string::npos || space + 1 == rest.size()) return at + " (no text)";
      const std::string name = rest.substr(0, space);
      if (!std::regex_match(name, kName)) return at + " (bad name)";
      if (name != current) {
        if (closed.count(name)) return at + " (family split)";
        if (!current.empty()) closed.insert(current);
        current = name;
      }
      auto& map = line[2] == 'H' ? help : type;
      if (map.count(name)) return at + " (repeated)";
      map[name] = rest.substr(space + 1);
      if (line[2] == 'H' && !helpTexts.insert(map[name]).second) return at + " (help text reused)";
      if (line[2] == 'T') {
        const std::string& t = map[name];
        if (t != "counter" && t != "gauge" && t != "histogram") return at + " (type)";
        if (t == "counter" && name.size() < 6) return at + " (counter name)";
        if (t == "counter" && name.compare(name.size() - 6, 6, "_total") != 0)
          return at + " (counter without _total)";
      }
      continue;
    }
    if (line[0] == '#') return at + " (stray comment)";
    std::smatch m;
    if (!std::regex_match(line, m, kSample)) return at + " (not a sample)";
    std::string family = m[1];
    if (!type.count(family)) {
      for (const char* suffix : {"_bucket", "_sum", "_count"}) {
        const std::string s = suffix;
        if (family.size() > s.size() &&
            family.compare(family.size() - s.size(), s.size(), s) == 0 &&
            type.count(family.substr(0, family.size() - s.size())) &&
            type[family.substr(0, family.size() - s.size())] == "histogram")
          family = family.substr(0, family.size() - s.size());
      }
    }
    if (family != current) return at + " (sample outside its family)";
    if (!help.count(family) || !type.count(family)) return at + " (no HELP or TYPE)";
    const std::string value = m[m.size() - 1];
    char* end = nullptr;
    std::strtod(value.c_str(), &end);
    if (end == value.c_str() || *end != '\0') {
      if (value != "+Inf" && value != "-Inf" && value != "NaN") return at + " (value)";
    }
    if (!series.insert(line.substr(0, line.rfind(' '))).second) return at + " (series repeated)";
  }
  for (const auto& [name, t] : type)
    if (!help.count(name)) return name + " has TYPE but no HELP";
  return "";
}

struct ExpositionCase {
  const char* text;
  bool valid;
};

// The checker itself first: a check that accepts everything proves nothing.
TEST(ExpositionCheck, TellsValidFromBrokenText) {
  const ExpositionCase cases[] = {
      {"# HELP a_total A.\n# TYPE a_total counter\na_total 3\n", true},
      {"# HELP g G.\n# TYPE g gauge\ng{pool=\"mt\"} 1\ng{pool=\"mo\"} 0\n", true},
      {"# HELP h H.\n# TYPE h histogram\nh_bucket{le=\"0.1\"} 1\nh_bucket{le=\"+Inf\"} 2\n"
       "h_sum 0.3\nh_count 2\n",
       true},
      {"# HELP a A.\n# TYPE a counter\na 3\n", false},     // counter name
      {"# TYPE a gauge\na 3\n", false},                    // no HELP
      {"# HELP a A.\n# TYPE a gauge\na x\n", false},       // value
      {"# HELP a A.\n# TYPE a gauge\na 1\na 2\n", false},  // same series
      {"# HELP a A.\n# TYPE a gauge\nb 1\n", false},       // undeclared
      {"# HELP a Same.\n# TYPE a gauge\na 1\n# HELP b Same.\n# TYPE b gauge\nb 1\n", false},
      {"# HELP g G.\n# TYPE g gauge\ng{pool=\"mt} 1\n", false},  // label quote
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExpositionFault(c.text).empty(), c.valid) << c.text << ExpositionFault(c.text);
}

TEST_F(ProcessTest, MetricsAreValidExpositionAndSayWhatTheyMean) {
  auto service = Make();
  ASSERT_TRUE(service->OnStart());
  const std::string metrics = service->MetricsText();
  EXPECT_EQ(ExpositionFault(metrics), "") << metrics;
  EXPECT_EQ(metrics.find("Status block counter."), std::string::npos);
  EXPECT_NE(metrics.find("\nbrivane_build_info{program=\"brivane\",version=\"7.1.0\"} 1\n"),
            std::string::npos);
  for (const char* sample : {"\nbrivane_submits_in_flight 0\n", "\nbrivane_unrecorded_backlog 0\n",
                             "\nbrivane_login_failures_total 0\n", "\nbrivane_reconnects_total 0\n",
                             "\nbrivane_database_errors_total ",
                             "\nbrivane_submit_response_seconds_bucket{le=\"0.005\"} 0\n",
                             "\nbrivane_submit_response_seconds_bucket{le=\"+Inf\"} 0\n",
                             "\nbrivane_submit_response_seconds_count 0\n",
                             "# TYPE brivane_submit_responses_total counter\n"})
    EXPECT_NE(metrics.find(sample), std::string::npos) << sample;
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
    // Counters are exported with their own meaning; the block's flags are
    // internal and stay out of the metrics.
    const std::string metric = std::string("brivane_") + field.name;
    if (field.isFlag) {
      EXPECT_EQ(metrics.find("\n" + metric + " "), std::string::npos) << metric;
    } else {
      EXPECT_NE(metrics.find("\n" + metric + "_total "), std::string::npos) << metric;
      EXPECT_NE(metrics.find(fmt::format("# HELP {}_total {}\n", metric, field.help)),
                std::string::npos)
          << metric;
    }
  }
  EXPECT_NE(monitor.find("report_delivrd: 3"), std::string::npos);
  EXPECT_NE(metrics.find("brivane_report_delivrd_total 3\n"), std::string::npos);
  EXPECT_NE(metrics.find("# TYPE brivane_mo_received_total counter"), std::string::npos);
  for (const char* internal : {"brivane_stop_mt", "brivane_pass_idle", "brivane_started"})
    EXPECT_EQ(metrics.find(std::string("\n") + internal + " "), std::string::npos) << internal;
  EXPECT_EQ(service->OnControl().rfind("https://", 0), 0u);
  const std::string portPart = fmt::format(":{}/", port_);
  EXPECT_NE(service->OnControl().find(portPart), std::string::npos);
}

}  // namespace
}  // namespace brivane::service
