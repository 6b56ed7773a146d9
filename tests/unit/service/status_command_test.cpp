// `brivane status`: the verdict and exit code for each combination of a
// running process, a readable status block and its run-state flags, and
// the JSON form's shape.

#include "service/status_command.h"

#include <gtest/gtest.h>

namespace brivane::service {
namespace {

TEST(StatusCommand, VerdictAndExitCodeFollowProcessBlockAndFlags) {
  struct Case {
    std::optional<pid_t> pid;
    bool blockOpen, databaseOpen, started;
    const char* headline;
    int exitCode;
  };
  const Case cases[] = {
      {42, true, true, true, "health: running", 0},
      {42, true, false, true, "health: degraded (database not connected)", 0},
      {42, true, true, false, "health: degraded (links not all logged in)", 0},
      {42, true, false, false, "health: degraded (database not connected; links not all logged in)",
       0},
      // Flags left set by a process that died without clearing them.
      {std::nullopt, true, true, true, "health: stopped", 3},
      {std::nullopt, false, false, false, "health: stopped", 3},
      {42, false, false, false, "health: unknown (status block unreadable: Permission denied)", 4},
  };
  for (const Case& c : cases) {
    StatusSnapshot s;
    s.pid = c.pid;
    s.blockOpen = c.blockOpen;
    s.blockError = "Permission denied";
    s.databaseOpen = c.databaseOpen;
    s.started = c.started;
    EXPECT_EQ(StatusHeadline(s), c.headline);
    EXPECT_EQ(StatusExitCode(s), c.exitCode) << c.headline;
  }
}

TEST(StatusCommand, JsonCarriesTheVerdictAndEveryFieldWithTextEscaped) {
  StatusSnapshot s;
  s.pid = 1234;
  s.blockOpen = true;
  s.started = true;
  s.blockName = "/brivane";
  s.home = "/srv/\"b\"";
  s.startTime = 1700000000;
  s.fields = {{"mo_received", 7}, {"started", 1}};
  EXPECT_EQ(StatusJson(s),
            "{\"health\":\"degraded\",\"reason\":\"database not connected\",\"running\":true,"
            "\"pid\":1234,\"home\":\"/srv/\\\"b\\\"\",\"statusBlock\":\"/brivane\","
            "\"statusBlockOpen\":true,\"startTime\":1700000000,"
            "\"fields\":{\"mo_received\":7,\"started\":1}}");
  s.pid.reset();
  s.blockOpen = false;
  EXPECT_EQ(StatusJson(s),
            "{\"health\":\"stopped\",\"reason\":\"\",\"running\":false,\"pid\":null,"
            "\"home\":\"/srv/\\\"b\\\"\",\"statusBlock\":\"/brivane\",\"statusBlockOpen\":false}");
}

}  // namespace
}  // namespace brivane::service
