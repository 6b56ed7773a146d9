#include "service/service_control.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/process.h"

namespace brivane::service {
namespace {

TEST(ServiceControl, PackagedUnitIsTheOneInstallWrites) {
  EXPECT_EQ(test::ReadFile(test::SourcePath("packaging/brivane.service")),
            UnitFileText("/usr/local/bin/brivane", "/var/lib/brivane", ""));
  std::string withConfig = UnitFileText("/opt/b/brivane", "/srv/b", "/etc/brivane.ini");
  EXPECT_NE(
      withConfig.find("ExecStart=/opt/b/brivane run --home /srv/b --config /etc/brivane.ini\n"),
      std::string::npos);
}

TEST(ServiceControl, SandboxKeepsHomeAndConfigurationWritableAndTheStatusBlockShared) {
  std::string unit = UnitFileText("/usr/local/bin/brivane", "/var/lib/brivane", "");
  for (const char* line : {"NoNewPrivileges=yes\n", "ProtectSystem=strict\n", "PrivateTmp=yes\n",
                           "ReadWritePaths=/var/lib/brivane\n", "ProtectHome=yes\n"})
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  // These would delete the status block in /dev/shm when the service stops.
  EXPECT_EQ(unit.find("\nRemoveIPC="), std::string::npos);
  EXPECT_EQ(unit.find("\nDynamicUser="), std::string::npos);
  EXPECT_EQ(unit.find("\nInaccessiblePaths="), std::string::npos);

  // The form writes the store through a temporary file in its directory.
  std::string etc = UnitFileText("/usr/bin/brivane", "/var/lib/b", "/etc/brivane/brivane.ini");
  EXPECT_NE(etc.find("ReadWritePaths=/var/lib/b /etc/brivane\n"), std::string::npos) << etc;
  std::string inside = UnitFileText("/usr/bin/brivane", "/var/lib/b", "/var/lib/b/conf/b.ini");
  EXPECT_NE(inside.find("ReadWritePaths=/var/lib/b\n"), std::string::npos) << inside;
  // A home below /home must stay reachable: read-only there, writable itself.
  std::string user = UnitFileText("/usr/bin/brivane", "/home/sp/brivane", "");
  EXPECT_NE(user.find("ProtectHome=read-only\n"), std::string::npos);
  EXPECT_NE(user.find("ReadWritePaths=/home/sp/brivane\n"), std::string::npos);
  EXPECT_NE(UnitFileText("/usr/bin/brivane", "/homework", "").find("ProtectHome=yes\n"),
            std::string::npos);
}

TEST(ServiceControl, SystemdAcceptsEveryKeyOfTheUnit) {
  const std::string analyze = "/usr/bin/systemd-analyze";
  if (access(analyze.c_str(), X_OK) != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  test::TempDir dir;
  // verify wants the program to exist; the unit is the one install writes.
  const std::string unit = dir.File("brivane-check.service");
  test::WriteFile(unit, UnitFileText("/bin/true", dir.Path(), dir.File("brivane.ini")));
  test::ChildProcess check;
  ASSERT_TRUE(check.Start({analyze, "verify", unit}, dir.File("verify.txt")));
  int status = check.Wait(std::chrono::seconds(60));
  std::string output = test::ReadFile(dir.File("verify.txt"));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
  EXPECT_EQ(output.find("Unknown key"), std::string::npos) << output;
  EXPECT_EQ(output.find("ignoring"), std::string::npos) << output;
}

TEST(ServiceControl, PidFileMarksOneLiveInstance) {
  test::TempDir dir;
  const std::string path = dir.File("brivane.pid");
  EXPECT_FALSE(RunningPid(path).has_value());
  {
    PidFile first;
    std::string error;
    ASSERT_TRUE(first.Acquire(path, &error)) << error;
    auto pid = RunningPid(path);
    ASSERT_TRUE(pid.has_value());
    EXPECT_EQ(*pid, getpid());

    // Another process cannot take it while this one holds it.
    pid_t child = fork();
    if (child == 0) {
      PidFile second;
      std::string why;
      _exit(second.Acquire(path, &why)
                ? 1
                : (why.find("already running") != std::string::npos ? 0 : 2));
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_FALSE(RunningPid(path).has_value());

  // A file left by a process that died is stale, not a running instance.
  test::WriteFile(path, "999999\n");
  EXPECT_FALSE(RunningPid(path).has_value());
  PidFile again;
  std::string error;
  EXPECT_TRUE(again.Acquire(path, &error)) << error;
}

}  // namespace
}  // namespace brivane::service
