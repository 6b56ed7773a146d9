#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "service/config.h"
#include "support/process.h"

namespace brivane::service {
namespace {

struct Checked {
  test::TempDir dir;
  std::string ini = dir.File("brivane.ini");
  std::vector<ConfigProblem> Check(const std::string& text, bool named = true) {
    test::WriteFile(ini, text);
    return CheckConfigurationFile(ini, named, dir.File("brivane.key"));
  }
};

std::string Describe(const std::vector<ConfigProblem>& problems) {
  std::string all;
  for (const auto& p : problems) all += FormatProblem("f", p) + "\n";
  return all.empty() ? "no problems" : all;
}

// Each mistake an operator made, and what the check must say about it.
TEST(ConfigCheck, EachMistakeIsReportedWithItsKeyAndLine) {
  struct Case {
    const char* name;
    std::string lines;  // after "[Parameters]\n" (line 1)
    bool fatal;
    int line;
    const char* key;
    const char* says;
  };
  const Case cases[] = {
      {"misspelt key", "SPPasword=secret\n", false, 2, "SPPasword", "did you mean SPPassword?"},
      {"unknown key unlike any", "Colour=blue\n", false, 2, "Colour", "unknown key"},
      {"uncommented key plus an appended one", "HTTPPort=8901\nDBType=mysql\nhttpport=8902\n",
       false, 4, "httpport", "repeated on lines 2 and 4"},
      {"port too large", "HTTPPort=70000\n", true, 2, "HTTPPort", "not a port"},
      {"port zero", "MTPort=0\n", true, 2, "MTPort", "not a port"},
      {"negative port", "MOPort=-1\n", true, 2, "MOPort", "not a port"},
      {"MT and MO port", "MTAndMOPort=65536\n", true, 2, "MTAndMOPort", "not a port"},
      {"speed limit zero", "MTSpeedLimit=0\n", true, 2, "MTSpeedLimit", "never send"},
      {"speed limit negative", "MTSpeedLimit=-5\n", true, 2, "MTSpeedLimit", "never send"},
      {"links beyond the form", "MTAndMOConnections=300\n", false, 2, "MTAndMOConnections",
       "outside the form's bounds 0-255"},
      {"timeout below the form", "MOHTTPQuestTimeout=500\n", false, 2, "MOHTTPQuestTimeout",
       "3000-600000"},
      {"unsupported database", "DBType=db2\n", false, 2, "DBType", "not supported"},
      {"host name for the SMG", "SMGAddress=smg.example.net\n", false, 2, "SMGAddress",
       "not an IPv4 address"},
      {"short address form", "SMGAddress=10.1\n", false, 2, "SMGAddress", "not an IPv4"},
      {"not a number", "WorkThreads=many\n", false, 2, "WorkThreads", "not a whole number"},
      {"not a switch", "EnableHTTPClient=maybe\n", false, 2, "EnableHTTPClient",
       "neither true nor false"},
      {"odd version", "SMGVersion=33\n", false, 2, "SMGVersion", "neither 32"},
      {"no link at all", "MTAndMOConnections=0\n", false, 2, "MTAndMOConnections",
       "no link is opened"},
      {"line too long", "DataSource=" + std::string(250, 'd') + "\n", false, 2, "DataSource",
       "longer than 199 bytes"},
      {"stray line", "HTTPPort=8901\nthis is not a key\n", false, 3, "", "not a key=value line"},
      {"undecipherable password", "SPPassword=enc:AAAA\n", false, 2, "SPPassword",
       "cannot be deciphered"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Checked s;
    auto problems = s.Check("[Parameters]\n" + c.lines);
    bool found = false;
    for (const auto& p : problems) {
      if (p.line == c.line && p.key == c.key && p.fatal == c.fatal &&
          p.text.find(c.says) != std::string::npos)
        found = true;
    }
    EXPECT_TRUE(found) << Describe(problems);
    EXPECT_EQ(AnyFatal(problems), c.fatal) << Describe(problems);
  }
}

TEST(ConfigCheck, SoundFilesHaveNoProblems) {
  const std::string cases[] = {
      "[Parameters]\n",
      "[Parameters]\nDBType=MySQL\nSMGAddress=10.1.2.3\nHTTPPort=65535\nMTPort=1\n"
      "MTSpeedLimit=1\nSPPassword=typed clear\nEnableHTTPClient=yes\nSubmitQuery=uspClaimSubmit\n"
      "SocketTimeout=30\nSMGVersion=32\n",
      // Other sections are the operator's own.
      "[Parameters]\nLogLevel=4\n[Notes]\nColour=blue\nHTTPPort=70000\n",
      // The shipped example, every key commented out.
      test::ReadFile(test::SourcePath("packaging/brivane.ini")),
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(text);
    Checked s;
    auto problems = s.Check(text);
    EXPECT_TRUE(problems.empty()) << Describe(problems);
  }
}

TEST(ConfigCheck, TheFileItself) {
  Checked s;
  // Named by --config and absent: refuse.
  auto named = CheckConfigurationFile(s.dir.File("typo.ini"), true, s.dir.File("k"));
  ASSERT_EQ(named.size(), 1u);
  EXPECT_TRUE(named[0].fatal);
  EXPECT_NE(named[0].text.find("does not exist"), std::string::npos);
  // The default file absent: the first run, on defaults, with a warning.
  auto first = CheckConfigurationFile(s.dir.File("brivane.ini"), false, s.dir.File("k"));
  ASSERT_EQ(first.size(), 1u);
  EXPECT_FALSE(first[0].fatal);
  EXPECT_NE(first[0].text.find("starting on defaults"), std::string::npos);
  // A directory in its place reads nothing; it used to pass for an empty store.
  ASSERT_EQ(mkdir(s.dir.File("dir.ini").c_str(), 0700), 0);
  for (bool isNamed : {true, false}) {
    auto dir = CheckConfigurationFile(s.dir.File("dir.ini"), isNamed, s.dir.File("k"));
    ASSERT_EQ(dir.size(), 1u);
    EXPECT_TRUE(dir[0].fatal);
    EXPECT_NE(dir[0].text.find("Is a directory"), std::string::npos) << dir[0].text;
  }
  // Unreadable: root reads every file, so only an unprivileged run can see it.
  if (geteuid() != 0) {
    test::WriteFile(s.ini, "[Parameters]\n");
    ASSERT_EQ(chmod(s.ini.c_str(), 0), 0);
    auto unreadable = CheckConfigurationFile(s.ini, false, s.dir.File("k"));
    ASSERT_EQ(unreadable.size(), 1u);
    EXPECT_TRUE(unreadable[0].fatal);
    EXPECT_NE(unreadable[0].text.find("Permission denied"), std::string::npos);
  }
}

TEST(ConfigCheck, ProblemsAreFormattedForAnEditor) {
  EXPECT_EQ(FormatProblem("/etc/b.ini", {true, 4, "HTTPPort", "70000 is not a port"}),
            "/etc/b.ini:4: error: HTTPPort: 70000 is not a port");
  EXPECT_EQ(FormatProblem("/etc/b.ini", {false, 0, "", "does not exist"}),
            "/etc/b.ini: warning: does not exist");
}

// Every key the sources read must be known to the check (or it would call
// a real key unknown), and every reader of SMGVersion must default to the
// same version.
TEST(ConfigKeys, EveryKeyTheSourcesReadIsKnownAndSMGVersionHasOneDefault) {
  const std::regex read(R"re(Get(Integer|String|Boolean|Password)\("([A-Za-z_]+)",\s*([^)]*)\))re");
  const std::regex lambda(R"re(\b(integer|password)\("([A-Za-z_]+)",)re");
  // Reads through the settings table, which holds the one default.
  const std::regex tableRead(
      R"re(\b(Read(Integer|String|Boolean|Password)|Int32|number)\((\w+, )?"([A-Za-z_]+)")re");
  std::set<std::string> keys;
  std::set<std::string> versionDefaults;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(test::SourcePath("src"))) {
    if (entry.path().extension() != ".cpp") continue;
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    const std::string source = text.str();
    for (std::sregex_iterator it(source.begin(), source.end(), read), end; it != end; ++it) {
      keys.insert((*it)[2]);
      if ((*it)[2] == "SMGVersion") versionDefaults.insert((*it)[3]);
    }
    for (std::sregex_iterator it(source.begin(), source.end(), lambda), end; it != end; ++it)
      keys.insert((*it)[2]);
    for (std::sregex_iterator it(source.begin(), source.end(), tableRead), end; it != end; ++it)
      keys.insert((*it)[4]);
  }
  EXPECT_GT(keys.size(), 30u) << "the scan found too few reads to be trusted";
  for (const auto& key : keys) EXPECT_TRUE(IsKnownKey(key)) << key;
  for (const auto& d : versionDefaults)
    EXPECT_TRUE(d == "48" || d == "kDefaultSMGVersion") << "SMGVersion read with default " << d;
  EXPECT_EQ(kDefaultSMGVersion, 48);
  // Keys compare without regard to case, as the store reads them.
  EXPECT_TRUE(IsKnownKey("httpport"));
  EXPECT_FALSE(IsKnownKey("SPPasword"));
}

}  // namespace
}  // namespace brivane::service
