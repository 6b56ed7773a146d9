// The scrape credential on the real process: it reads /metrics and is
// refused everywhere else, the configuration form above all, so a scraper's
// password leaked from a monitoring host cannot change the service.

#include <gtest/gtest.h>

#include <string>

#include "base/config_store.h"
#include "support/service_fixture.h"

namespace brivane::test {
namespace {

// A service whose scrape credential is scraper / "scrape-pw" (enciphered,
// as `brivane set-password --metrics` stores it).
void WriteWithScrapeCredential(Service& service, const std::string& user) {
  service.WriteIni("MetricsUserName=" + user + "\n");
  base::ConfigSection section(service.Ini(), "Parameters", service.Home().File("brivane.key"));
  ASSERT_TRUE(section.Load());
  ASSERT_TRUE(section.SetPassword("MetricsPassword", "scrape-pw"));
  ASSERT_TRUE(section.Save());
}

TEST(MetricsCredential, OpensMetricsOnlyAndCannotChangeTheConfiguration) {
  Service service;
  WriteWithScrapeCredential(service, "scraper");
  ASSERT_TRUE(service.Start());

  struct Case {
    const char* path;
    const char* user;
    const char* password;
    int status;
  };
  const Case cases[] = {
      {"/metrics", "scraper", "scrape-pw", 200},
      {"/metrics", "admin", "quillark", 200},  // the administrator still reads it
      {"/metrics", "scraper", "wrong", 401},
      {"/metrics", "admin", "scrape-pw", 401},  // the pair, not either half
      {"/Parameters", "scraper", "scrape-pw", 401},
      {"/monitor", "scraper", "scrape-pw", 401},
      {"/dashboard.json", "scraper", "scrape-pw", 401},
      {"/log", "scraper", "scrape-pw", 401},
      {"/tail_logfile", "scraper", "scrape-pw", 401},
  };
  for (const Case& c : cases) {
    auto res = service.Get(c.path, c.user, c.password);
    ASSERT_TRUE(res) << c.path;
    EXPECT_EQ(res->status, c.status) << c.path << " as " << c.user << "/" << c.password;
    if (c.status == 200) {
      EXPECT_NE(res->body.find("brivane_build_info{"), std::string::npos);
    }
  }

  // A form built from the administrator's page, posted with the scrape
  // credential: refused, and the file is as it was.
  auto page = service.Get("/Parameters");
  ASSERT_TRUE(page && page->status == 200);
  auto form = FormAsShown(page->body);
  ASSERT_TRUE(form.count("token"));
  form["MTSpeedLimit"] = "1";
  const std::string before = ReadFile(service.Ini());
  auto post = service.PostForm(UrlEncode(form), "scraper", "scrape-pw");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 401);
  EXPECT_EQ(ReadFile(service.Ini()), before);
}

TEST(MetricsCredential, AnEmptyUserNameLeavesMetricsToTheAdministrator) {
  Service service;
  WriteWithScrapeCredential(service, "");
  ASSERT_TRUE(service.Start());
  // An unset credential is no credential with an empty user name.
  for (const char* password : {"scrape-pw", ""}) {
    auto client = service.Client();
    client->set_basic_auth("", password);
    auto res = client->Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401) << "password \"" << password << "\"";
  }
}

}  // namespace
}  // namespace brivane::test
