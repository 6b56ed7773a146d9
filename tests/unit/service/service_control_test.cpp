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
