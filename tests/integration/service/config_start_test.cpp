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

// The form is answered before the restart it asks for runs; the form shown
// afterwards says how that restart went and what it found in the file.
TEST(ConfigAtStart, FormShowsHowTheRestartAfterASaveWent) {
  Service service;
  service.WriteIni("Colour=blue\nDBType=PostgreSQL\n");
  ASSERT_TRUE(service.Start()) << ReadFile(service.Home().File("output.txt"));
  auto page = service.Get("/Parameters");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("Started at "), std::string::npos) << page->body;
  EXPECT_NE(page->body.find("Colour: unknown key, ignored"), std::string::npos) << page->body;

  auto form = FormAsShown(page->body);
  EXPECT_EQ(form["DBType"], "postgresql") << "the select shows the type in use";
  EXPECT_EQ(form["SMGVersion"], "48");
  form["DBUser"] = "after_save";
  auto saved = service.PostForm(UrlEncode(form));
  ASSERT_TRUE(saved);
  ASSERT_EQ(saved->status, 200) << saved->body;
  EXPECT_NE(saved->body.find("How the restart went is shown at the top of the form"),
            std::string::npos);
  std::string after;
  EXPECT_TRUE(WaitFor(
      [&] {
        auto res = service.Get("/Parameters");
        after = res ? res->body : "";
        return after.find("Restarted at ") != std::string::npos;
      },
      std::chrono::seconds(15)))
      << after;
  EXPECT_NE(after.find("Colour: unknown key, ignored"), std::string::npos) << after;
  EXPECT_EQ(FormAsShown(after)["DBUser"], "after_save");
  EXPECT_NE(ReadFile(service.Ini()).find("\nDBType=postgresql\n"), std::string::npos);
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
