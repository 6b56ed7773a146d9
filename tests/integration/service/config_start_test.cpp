#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/service_fixture.h"

namespace brivane::test {
namespace {

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// The mistakes the service cannot work with: `brivane run` ends at once with
// status 1, and what it writes names the file, the line and the key.
TEST(ConfigAtStart, FatalMistakesRefuseTheStartAndNameTheKey) {
  struct Case {
    const char* name;
    const char* ini;     // written as brivane.ini unless empty
    const char* config;  // --config, relative to the home; empty: the default file
    const char* says;
  };
  const Case cases[] = {
      {"misspelt --config", "", "brivan.ini",
       "brivan.ini: error: the configuration file does not exist"},
      {"port beyond 16 bits", "[Parameters]\nHTTPPort=70000\n", "",
       "brivane.ini:2: error: HTTPPort: 70000 is not a port"},
      {"no MT would ever go", "[Parameters]\nLogLevel=3\nMTSpeedLimit=0\n", "",
       "brivane.ini:3: error: MTSpeedLimit"},
      {"directory in place of the file", "", "conf.d", "Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Service service;
    if (*c.ini) WriteFile(service.Ini(), c.ini);
    if (std::string(c.config) == "conf.d") {
      ASSERT_EQ(mkdir(service.Home().File("conf.d").c_str(), 0700), 0);
    }
    std::vector<std::string> args = {"run", "--home", service.Home().Path()};
    if (*c.config) args.insert(args.end(), {"--config", service.Home().File(c.config)});
    std::string out;
    int status = service.Command(args, &out);
    EXPECT_EQ(ExitCode(status), 1) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    EXPECT_NE(out.find("not started"), std::string::npos) << out;
  }
}

// Mistakes it can work with are told on standard error, and the service runs.
TEST(ConfigAtStart, WarningsAreToldAndTheServiceRuns) {
  Service service;
  service.WriteIni("SPPasword=secret\nDBType=MySQL\n");
  ASSERT_TRUE(service.Start()) << ReadFile(service.Home().File("output.txt"));
  const std::string out = ReadFile(service.Home().File("output.txt"));
  EXPECT_NE(out.find("brivane.ini:3: warning: SPPasword: unknown key, ignored; did you mean "
                     "SPPassword?"),
            std::string::npos)
      << out;
  // DBType in capitals is understood: nothing to say about it.
  EXPECT_EQ(out.find("DBType"), std::string::npos) << out;
  EXPECT_TRUE(service.LogContains("SPPasword", std::chrono::seconds(10)));
}

TEST(ConfigAtStart, CheckConfigExitsZeroOnlyWhenNothingIsWrong) {
  struct Case {
    const char* name;
    const char* ini;  // empty: no file
    int exitCode;
    const char* says;
  };
  const Case cases[] = {
      {"sound", "[Parameters]\nDBType=sqlite\nSMGAddress=127.0.0.1\n", 0, "no problems found"},
      {"warning only", "[Parameters]\nMTAndMOConnections=300\n", 1,
       "MTAndMOConnections: 300 is outside the form's bounds 0-255"},
      {"fatal", "[Parameters]\nMTPort=0\n", 1, "refuses to start"},
      {"no file", "", 1, "starting on defaults"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Service service;
    if (*c.ini) WriteFile(service.Ini(), c.ini);
    std::string out;
    int status = service.Command({"check-config", "--home", service.Home().Path()}, &out);
    EXPECT_EQ(ExitCode(status), c.exitCode) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace brivane::test
