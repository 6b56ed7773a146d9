// Log rotation as logrotate does it: the file is renamed, the service is
// told with SIGUSR1 (or `brivane reopen-log`), and later lines go to a new
// brivane.log while the renamed file keeps what was written before; and the
// packaged rule run by logrotate itself.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "support/service_fixture.h"

namespace brivane::test {
namespace {

constexpr auto kWait = std::chrono::seconds(15);

std::string FindProgramInPath(const std::string& name) {
  for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    std::string path = std::string(dir) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

TEST(LogRotation, RenameThenSigusr1StartsANewFileAndTheOldOneKeepsItsLines) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  const std::string log = service.Home().File("brivane.log");
  const std::string first = service.Home().File("brivane.log.1");
  const std::string second = service.Home().File("brivane.log.2");

  std::filesystem::rename(log, first);
  service.Process().Signal(SIGUSR1);
  ASSERT_TRUE(WaitFor(
      [&] { return ReadFile(log).find("信息：日志文件已重新打开") != std::string::npos; }, kWait))
      << "no new brivane.log after SIGUSR1";
  // A line written after the reopening goes to the new file only.
  auto denied = service.Get("/monitor", "rotation-probe", "x");
  ASSERT_TRUE(denied);
  ASSERT_TRUE(service.LogContains("最近用户名 \"rotation-probe\"", kWait));
  EXPECT_EQ(ReadFile(first).find("rotation-probe"), std::string::npos);
  EXPECT_NE(ReadFile(first).find("Service brivane Started"), std::string::npos);
  EXPECT_EQ(ReadFile(log).find("Service brivane Started"), std::string::npos);

  // The same through the command logrotate's postrotate script may run.
  std::filesystem::rename(log, second);
  std::string out;
  int status = service.Command({"reopen-log", "--home", service.Home().Path()}, &out);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_NE(out.find("log reopening asked of pid"), std::string::npos) << out;
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(log); }, kWait));
  // Failed logins from one address are counted for a minute after the
  // first line, so the second probe is a refused form, which logs each time.
  auto probe = service.PostForm("token=second-probe");
  ASSERT_TRUE(probe);
  ASSERT_EQ(probe->status, 403);
  ASSERT_TRUE(service.LogContains("配置表单被拒绝", kWait));
  EXPECT_EQ(ReadFile(second).find("配置表单被拒绝"), std::string::npos);
  EXPECT_NE(ReadFile(second).find("rotation-probe"), std::string::npos);
  EXPECT_TRUE(service.Process().Running()) << "SIGUSR1 must not end the process";
}

// The packaged logrotate rule, pointed at the test's home and program, run by
// logrotate itself.
TEST(LogRotation, PackagedLogrotateRuleRotatesAndTheServiceWritesANewFile) {
  const std::string logrotate = FindProgramInPath("logrotate");
  ASSERT_FALSE(logrotate.empty()) << "logrotate is missing (scripts/setup.sh installs it)";
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  const std::string home = service.Home().Path();
  std::string rule = ReadFile(SourcePath("packaging/brivane.logrotate"));
  ASSERT_NE(rule.find("/var/lib/brivane/brivane.log {"), std::string::npos);
  for (auto [from, to] :
       {std::pair<std::string, std::string>{"/usr/local/bin/brivane", BuiltProgram("brivane")},
        {"/var/lib/brivane", home}}) {
    for (auto at = rule.find(from); at != std::string::npos; at = rule.find(from, at + to.size()))
      rule.replace(at, from.size(), to);
  }
  TempDir work("brivane-logrotate");
  WriteFile(work.File("brivane.conf"), rule);
  ChildProcess run;
  ASSERT_TRUE(
      run.Start({logrotate, "--force", "--state", work.File("state"), work.File("brivane.conf")},
                work.File("output.txt"), service.Env()));
  int status = run.Wait(std::chrono::seconds(60));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(work.File("output.txt"));

  const std::string log = service.Home().File("brivane.log");
  EXPECT_NE(ReadFile(service.Home().File("brivane.log.1")).find("Service brivane Started"),
            std::string::npos)
      << "the old lines are in the rotated file (left uncompressed by delaycompress)";
  ASSERT_TRUE(WaitFor(
      [&] { return ReadFile(log).find("信息：日志文件已重新打开") != std::string::npos; }, kWait))
      << ReadFile(work.File("output.txt"));
  EXPECT_EQ(ReadFile(log).find("Service brivane Started"), std::string::npos);
}

TEST(LogRotation, ReopenLogWithoutARunningServiceFails) {
  Service service;
  std::string out;
  int status = service.Command({"reopen-log", "--home", service.Home().Path()}, &out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << out;
  EXPECT_NE(out.find("not running"), std::string::npos) << out;
}

}  // namespace
}  // namespace brivane::test
