// brivane run as a real process over real HTTPS. Without a database (none
// is wired yet) every start is "database cannot be opened": pages only.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>

#include "base/config_store.h"
#include "base/status_block.h"
#include "service/config.h"
#include "service/service_control.h"
#include "support/service_fixture.h"

namespace brivane::test {
namespace {

constexpr auto kWait = std::chrono::seconds(15);

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ServiceProcess, EmptyHomeComesUpWithTheDefaultsOnPort8900) {
  if (PortAccepts(8900)) GTEST_SKIP() << "port 8900 is taken on this machine";
  Service service(8900);  // no brivane.ini at all
  ASSERT_TRUE(service.Start()) << ReadFile(service.Home().File("output.txt"));

  auto welcome = service.Get("/welcome.html", "");
  ASSERT_TRUE(welcome);
  EXPECT_NE(welcome->body.find("Welcome to brivane"), std::string::npos);
  auto form = service.Get("/Parameters");  // admin / quillark
  ASSERT_TRUE(form);
  ASSERT_EQ(form->status, 200);
  auto shown = FormAsShown(form->body);
  EXPECT_EQ(shown["AdminUserName"], "admin");
  EXPECT_EQ(shown["HTTPPort"], "8900");
  EXPECT_EQ(shown["DBType"], "mssql");
  EXPECT_EQ(shown["SMGVersion"], "48");
  EXPECT_EQ(shown["MTAndMOConnections"], "1");
  EXPECT_EQ(shown["MTAndMOPort"], "7890");

  struct stat st {};
  ASSERT_EQ(stat(service.Home().File("server.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(service.Ini())) << "defaults are never written back";
  std::string log = service.Log();
  EXPECT_NE(log.find("HTTP监听端口: 8900\n"), std::string::npos);
  EXPECT_NE(log.find("Service brivane Started\n"), std::string::npos);
  EXPECT_NE(log.find("严重：管理员密码AdminPassword仍是默认值"), std::string::npos);

  std::string status;
  ASSERT_EQ(ExitCode(service.Command({"status", "--home", service.Home().Path()}, &status)), 0);
  EXPECT_NE(status.find("start_time: 0"), std::string::npos) << status;
  EXPECT_NE(status.find("running, pid " + std::to_string(service.Process().Pid())),
            std::string::npos)
      << status;
  for (const auto& field : base::kStatusFields)
    EXPECT_NE(status.find(std::string(field.name) + ": 0\n"), std::string::npos) << field.name;

  EXPECT_EQ(ExitCode(service.Process().Stop()), 0);
  EXPECT_FALSE(std::filesystem::exists(service.Home().File("brivane.pid")));
}

TEST(ServiceProcess, AuthenticationGuardsEveryPageButTheWelcomePage) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  const char* guarded[] = {"/Parameters", "/tail_logfile", "/monitor", "/metrics", "/nowhere"};
  for (const char* path : guarded) {
    auto none = service.Get(path, "");
    ASSERT_TRUE(none) << path;
    EXPECT_EQ(none->status, 401) << path;
    EXPECT_EQ(none->get_header_value("WWW-Authenticate"), "Basic realm=\"brivane\"") << path;
    auto wrong = service.Get(path, "admin", "guess-pw-123");
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->status, 401) << path;
  }
  auto wrongUser = service.Get("/monitor", "root", "quillark");
  ASSERT_TRUE(wrongUser);
  EXPECT_EQ(wrongUser->status, 401);
  // Failures are counted per address and interval: the first is logged at
  // once, the five after it go into the next line of that address.
  EXPECT_TRUE(
      service.LogContains("管理页面登录失败 1 次，来自 127.0.0.1，最近用户名 \"admin\"", kWait));
  EXPECT_EQ(service.Log().find("用户名 \"root\""), std::string::npos) << service.Log();
  EXPECT_EQ(service.Log().find("guess-pw-123"), std::string::npos) << "a password was logged";

  auto welcome = service.Get("/welcome.html", "");
  ASSERT_TRUE(welcome);
  EXPECT_EQ(welcome->status, 200);
  EXPECT_EQ(welcome->get_header_value("X-Frame-Options"), "DENY");

  auto form = service.Get("/Parameters");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->status, 200);
  EXPECT_NE(form->body.find("<title>配置参数</title>"), std::string::npos);
  auto tail = service.Get("/tail_logfile");
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->status, 200);
  EXPECT_EQ(tail->get_header_value("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_NE(tail->body.find("HTTP监听端口: " + std::to_string(service.Port())), std::string::npos);
  // The whole log: what the file held when asked (it may have grown since).
  auto whole = service.Get("/log");
  ASSERT_TRUE(whole);
  EXPECT_EQ(whole->status, 200);
  EXPECT_EQ(whole->get_header_value("Content-Type"), "text/plain; charset=utf-8");
  const std::string logNow = service.Log();
  EXPECT_GT(whole->body.size(), 0u);
  EXPECT_EQ(logNow.compare(0, whole->body.size(), whole->body), 0) << whole->body;
  EXPECT_NE(whole->body.find("HTTP监听端口: " + std::to_string(service.Port())), std::string::npos);
  auto monitor = service.Get("/monitor");
  ASSERT_TRUE(monitor);
  EXPECT_EQ(monitor->status, 200);
  EXPECT_NE(monitor->body.find("Program: brivane\n"), std::string::npos);
  EXPECT_NE(monitor->body.find("status_block: " + service.Block()), std::string::npos);
  auto metrics = service.Get("/metrics");
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->status, 200);
  EXPECT_EQ(metrics->body.find("\nbrivane_started "), std::string::npos);  // internal flag
  EXPECT_NE(metrics->body.find("\nbrivane_mo_received_total 0\n"), std::string::npos);
  auto missing = service.Get("/nowhere");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST(ServiceProcess, AcceptedFormIsStoredAndRestartsInPlace) {
  Service service;
  service.WriteIni(
      "WorkThreads=20 ; kept, not on the form\nDBUser=<b>tag</b>\nDBPassword=db-secret\n");
  ASSERT_TRUE(service.Start());
  auto page = service.Get("/Parameters");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body.find("<b>tag</b>"), std::string::npos) << "values must be escaped";
  EXPECT_EQ(page->body.find("db-secret"), std::string::npos) << "a stored password was sent";
  auto form = FormAsShown(page->body);
  EXPECT_EQ(form["DBUser"], "<b>tag</b>");
  ASSERT_FALSE(form["token"].empty());

  form["DBUser"] = "sp_user";
  form["AdminPassword"] = "N3w pw;1";
  form["EnableHTTPClient"] = "true";
  auto saved = service.PostForm(UrlEncode(form));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->status, 200);
  ASSERT_TRUE(service.LogContains("Service brivane Restart\tInitialisation\n", kWait));

  std::string ini = ReadFile(service.Ini());
  EXPECT_NE(ini.find("\nDBUser=sp_user\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("\nAdminPassword=enc:"), std::string::npos) << ini;
  // Typed in clear, enciphered at start; the empty field kept it.
  EXPECT_EQ(ini.find("db-secret"), std::string::npos) << ini;
  base::ConfigSection stored(service.Ini(), "Parameters", service.Home().File("brivane.key"));
  ASSERT_TRUE(stored.Load());
  EXPECT_EQ(stored.GetPassword("DBPassword", ""), "db-secret") << "an empty field keeps it";
  EXPECT_NE(ini.find("WorkThreads=20 ; kept"), std::string::npos) << ini;
  EXPECT_NE(ini.find("\nEnableHTTPClient=true\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("\nSMGVersion=48\n"), std::string::npos) << "every field is stored";
  EXPECT_EQ(ini.find("N3w"), std::string::npos);

  EXPECT_TRUE(WaitFor(
      [&] {
        auto res = service.Get("/Parameters", "admin", "N3w pw;1");
        return res && res->status == 200 && FormAsShown(res->body)["DBUser"] == "sp_user";
      },
      kWait));
  auto old = service.Get("/Parameters");
  ASSERT_TRUE(old);
  EXPECT_EQ(old->status, 401);
  std::string log = service.Log();
  EXPECT_EQ(Count(log, "信息：网关服务重新启动......"), 1);
  EXPECT_EQ(Count(log, "信息：配置参数已保存：用户名 \"admin\"，来自 127.0.0.1"), 1);
}

TEST(ServiceProcess, RefusedFormsStoreNothing) {
  Service service;
  service.WriteIni("DBType=mysql\n");
  ASSERT_TRUE(service.Start());
  const std::string before = ReadFile(service.Ini());
  auto page = service.Get("/Parameters");
  ASSERT_TRUE(page);
  auto form = FormAsShown(page->body);

  auto outOfBounds = form;
  outOfBounds["SMGVersion"] = "20";
  outOfBounds["DBType"] = "oracle";
  auto refused = service.PostForm(UrlEncode(outOfBounds));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
  EXPECT_NE(refused->body.find("SMGVersion: must be between 32 and 100"), std::string::npos)
      << refused->body;

  auto noToken = form;
  noToken.erase("token");
  noToken["DBType"] = "oracle";
  auto forged = service.PostForm(UrlEncode(noToken));
  ASSERT_TRUE(forged);
  EXPECT_EQ(forged->status, 403);
  noToken["token"] = std::string(64, '0');
  forged = service.PostForm(UrlEncode(noToken));
  ASSERT_TRUE(forged);
  EXPECT_EQ(forged->status, 403);

  auto unauthenticated = service.PostForm(UrlEncode(form), "admin", "wrong");
  ASSERT_TRUE(unauthenticated);
  EXPECT_EQ(unauthenticated->status, 401);

  // The page still answers and nothing was written or restarted.
  auto after = service.Get("/Parameters");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
  EXPECT_EQ(ReadFile(service.Ini()), before);
  EXPECT_EQ(service.Log().find("信息：网关服务重新启动"), std::string::npos);
}

TEST(ServiceProcess, NewHttpPortMovesTheListener) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  auto page = service.Get("/Parameters");
  ASSERT_TRUE(page);
  auto form = FormAsShown(page->body);
  const int newPort = FreePort();
  form["HTTPPort"] = std::to_string(newPort);
  auto saved = service.PostForm(UrlEncode(form));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->status, 200);
  EXPECT_NE(saved->body.find(":" + std::to_string(newPort) + "/Parameters"), std::string::npos);
  ASSERT_TRUE(service.LogContains("HTTP监听端口: " + std::to_string(newPort) + "\n", kWait));
  EXPECT_TRUE(WaitFor([&] { return !PortAccepts(service.Port()); }, kWait));
  auto moved = service.Get("/monitor", "admin", "quillark", newPort);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->status, 200);
}

TEST(ServiceProcess, SighupRestartsAndSigtermStopsInOrder) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  const std::string home = service.Home().Path();
  ASSERT_EQ(ExitCode(service.Command({"restart", "--home", home})), 0);  // SIGHUP
  ASSERT_TRUE(service.LogContains("Service brivane Restart\tSignal\n", kWait));
  auto still = service.Get("/monitor");
  ASSERT_TRUE(still);
  EXPECT_EQ(still->status, 200);

  std::string out;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(ExitCode(service.Command({"stop", "--home", home}, &out)), 0) << out;  // SIGTERM
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(ExitCode(service.Process().Wait(kWait)), 0);
  std::string log = service.Log();
  auto restarting = log.find("信息：网关服务重新启动......");
  auto restarted = log.find("Service brivane Restart\tSignal");
  auto stopping = log.find("信息：网关服务停止中...");
  ASSERT_NE(restarting, std::string::npos);
  ASSERT_NE(stopping, std::string::npos);
  EXPECT_LT(restarting, restarted);
  EXPECT_LT(restarted, stopping);
  EXPECT_FALSE(PortAccepts(service.Port()));
}

TEST(ServiceProcess, CertificateCreatedWhenMissingAndABadOneIsAFailedStart) {
  {
    Service service;
    service.WriteIni("Certificate=admin.pem\n");
    ASSERT_TRUE(service.Start());
    EXPECT_NE(ReadFile(service.Home().File("admin.pem")).find("BEGIN CERTIFICATE"),
              std::string::npos);
  }
  Service bad;
  bad.WriteIni("Certificate=/nonexistent-dir/x.pem\n");
  EXPECT_FALSE(bad.Start());
  EXPECT_EQ(ExitCode(bad.Process().Wait(kWait)), 1);
  EXPECT_NE(bad.Log().find("BRIVANE\tCould not load certificate \"/nonexistent-dir/x.pem\""),
            std::string::npos);
}

TEST(ServiceProcess, PortInUseEndsTheProcess) {
  // A listener on a port the kernel chose, given to the service as its own
  // (a port given explicitly is not moved when taken).
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  socklen_t length = sizeof addr;
  ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length), 0);
  Service service(ntohs(addr.sin_port));
  service.WriteIni("");
  EXPECT_FALSE(service.Start());
  EXPECT_EQ(ExitCode(service.Process().Wait(kWait)), 1);
  EXPECT_NE(service.Log().find("Cannot run without HTTP port: "), std::string::npos);
  close(fd);
}

// The fixture's own port pick, taken by another process before brivane binds
// it: brivane exits saying so and the fixture starts it on another port.
TEST(ServiceProcess, FixtureMovesFromAPickedPortAnotherProcessTook) {
  Service service;
  service.WriteIni("");
  const int picked = service.Port();
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(picked));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 1), 0);
  EXPECT_TRUE(service.Start());
  EXPECT_NE(service.Port(), picked);
  EXPECT_NE(ReadFile(service.Ini()).find("HTTPPort=" + std::to_string(service.Port()) + "\n"),
            std::string::npos);
  EXPECT_TRUE(service.Get("/welcome.html", "", ""));
  close(fd);
}

TEST(ServiceProcess, ExistingStatusBlockIsReusedWithItsCounters) {
  Service service;
  service.WriteIni("");
  {
    base::ServiceStatusBlock earlier;
    ASSERT_EQ(earlier.Create(service.Block()), 0);
    earlier.Set(base::kMoReceived, 7);
    earlier.Set(base::kSubmitRespOk, 9);
    earlier.Set(base::kStarted, 1);
  }
  ASSERT_TRUE(service.Start());
  std::string status;
  ASSERT_EQ(ExitCode(service.Command({"status", "--home", service.Home().Path()}, &status)), 0);
  EXPECT_NE(status.find("mo_received: 7\n"), std::string::npos) << status;
  EXPECT_NE(status.find("submit_resp_ok: 9\n"), std::string::npos) << status;
  EXPECT_NE(status.find("\nstarted: 0\n"), std::string::npos) << status;
}

TEST(CommandLine, StatusJsonAndExitCodes) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  const std::string home = service.Home().Path();
  std::string out;
  // Running without a database: degraded, which still counts as running.
  ASSERT_EQ(ExitCode(service.Command({"status", "--home", home, "--json"}, &out)), 0) << out;
  EXPECT_EQ(out.rfind("{\"health\":\"degraded\",\"reason\":\"database not connected", 0), 0u)
      << out;
  EXPECT_NE(out.find("\"running\":true,\"pid\":" + std::to_string(service.Process().Pid())),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"mo_received\":0"), std::string::npos) << out;
  EXPECT_EQ(out.back(), '\n');
  ASSERT_EQ(ExitCode(service.Command({"status", "--home", home}, &out)), 0) << out;
  EXPECT_EQ(out.rfind("health: degraded (database not connected", 0), 0u) << out;

  EXPECT_EQ(ExitCode(service.Process().Stop()), 0);
  EXPECT_EQ(ExitCode(service.Command({"status", "--home", home, "--json"}, &out)), 3) << out;
  EXPECT_EQ(out.rfind("{\"health\":\"stopped\"", 0), 0u) << out;
  EXPECT_EQ(ExitCode(service.Command({"status", "--home", home}, &out)), 3) << out;
  EXPECT_EQ(out.rfind("health: stopped\n", 0), 0u) << out;

  struct Usage {
    std::vector<std::string> args;
    const char* named;
  };
  const Usage usages[] = {
      {{"frobnicate"}, "'frobnicate'"}, {{"status", "--verbose"}, "--verbose"},
      {{"status", "extra"}, "extra"},   {{"stop", "--home"}, "--home"},
      {{}, "subcommand is required"},
  };
  for (const Usage& u : usages) {
    EXPECT_EQ(ExitCode(service.Command(u.args, &out)), 2) << out;
    EXPECT_NE(out.find(u.named), std::string::npos) << out;
  }
}

TEST(CommandLine, VersionOpenInstallAndRemove) {
  Service service;
  service.WriteIni("");
  std::string out;
  ASSERT_EQ(ExitCode(service.Command({"--version"}, &out)), 0);
  EXPECT_EQ(out, "brivane 7.1.0\n");
  ASSERT_EQ(ExitCode(service.Command({"open", "--home", service.Home().Path()}, &out)), 0);
  EXPECT_EQ(out.rfind("https://", 0), 0u) << out;
  EXPECT_NE(out.find(":" + std::to_string(service.Port()) + "/welcome.html"), std::string::npos);

  TempDir units;
  ASSERT_EQ(
      ExitCode(service.Command({"install", "--home", "/srv/b", "--unit-dir", units.Path()}, &out)),
      0)
      << out;
  std::string unit = ReadFile(units.File("brivane.service"));
  EXPECT_EQ(unit, service::UnitFileText(BuiltProgram("brivane"), "/srv/b", ""));
  EXPECT_NE(unit.find("Type=notify\n"), std::string::npos);
  EXPECT_NE(unit.find(" run --home /srv/b\n"), std::string::npos);
  ASSERT_EQ(ExitCode(service.Command({"remove", "--unit-dir", units.Path()})), 0);
  EXPECT_FALSE(std::filesystem::exists(units.File("brivane.service")));
  EXPECT_NE(ExitCode(service.Command({"remove", "--unit-dir", units.Path()})), 0);
  EXPECT_NE(ExitCode(service.Command({"status", "--home", service.Home().Path()})), 0)
      << "no block yet: status must fail, not print zeros";
}

TEST(CommandLine, StartInBackgroundRefusesASecondInstanceAndStops) {
  Service service;
  service.WriteIni("");
  const std::string home = service.Home().Path();
  std::string out;
  ASSERT_EQ(ExitCode(service.Command({"start", "--home", home}, &out)), 0) << out;
  auto pid = service::RunningPid(service.Home().File("brivane.pid"));
  ASSERT_TRUE(pid.has_value());
  EXPECT_TRUE(WaitFor(
      [&] {
        auto res = service.Get("/welcome.html", "");
        return res && res->status == 200;
      },
      kWait));
  std::string second;
  EXPECT_EQ(ExitCode(service.Command({"run", "--home", home}, &second)), 1);
  EXPECT_NE(second.find("already running as pid " + std::to_string(*pid)), std::string::npos)
      << second;
  ASSERT_EQ(ExitCode(service.Command({"stop", "--home", home}, &out)), 0) << out;
  EXPECT_FALSE(service::RunningPid(service.Home().File("brivane.pid")).has_value());
  // Gone, or a zombie waiting for whoever adopted it.
  std::string stat = ReadFile("/proc/" + std::to_string(*pid) + "/stat");
  EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
}

}  // namespace
}  // namespace brivane::test
