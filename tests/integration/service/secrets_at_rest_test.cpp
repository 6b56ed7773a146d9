// Secrets on disk and on the pages, on the real process: a password typed
// into the file in clear is enciphered at start with one log line; a
// DSN-less DataSource's password is masked in the form, and posting the
// form back unchanged keeps it.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "base/config_store.h"
#include "support/service_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;

TEST(SecretsAtRest, ClearPasswordsAreEncipheredAtStartAndStillLogIn) {
  Service service;
  service.WriteIni("; kept as it is\nAdminPassword=clear-admin-pw\nSPPassword=clear-sp-pw\n");
  ASSERT_TRUE(service.Start());
  const std::string ini = ReadFile(service.Ini());
  EXPECT_EQ(ini.find("clear-admin-pw"), std::string::npos) << ini;
  EXPECT_EQ(ini.find("clear-sp-pw"), std::string::npos) << ini;
  EXPECT_NE(ini.find("; kept as it is\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("AdminPassword=enc:"), std::string::npos) << ini;
  const std::string log = service.Log();
  const std::string line = "信息：配置文件中的明文密码已加密保存：AdminPassword, SPPassword";
  EXPECT_EQ(log.find(line), log.rfind(line)) << "one line";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  struct stat st {};
  ASSERT_EQ(::stat(service.Home().File("brivane.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  struct stat logStat {};
  ASSERT_EQ(::stat(service.Home().File("brivane.log").c_str(), &logStat), 0);
  EXPECT_EQ(logStat.st_mode & 0007, 0u) << "the log is readable by others";

  auto res = service.Get("/monitor", "admin", "clear-admin-pw");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

TEST(SecretsAtRest, DataSourcePasswordIsMaskedInTheFormAndKeptBySaving) {
  Service service;
  const std::string dsn = "Driver=SQLite3;Database=/nonexistent/x.db;PWD=dsn-secret-9;";
  service.WriteIni("DataSource=" + dsn + "\n");
  ASSERT_TRUE(service.Start());
  auto page = service.Get("/Parameters");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body.find("dsn-secret-9"), std::string::npos) << "password on the page";
  auto form = FormAsShown(page->body);
  EXPECT_EQ(form["DataSource"], "Driver=SQLite3;Database=/nonexistent/x.db;PWD=******;");

  // Posted back as shown: the stored password stays.
  auto saved = service.PostForm(UrlEncode(form));
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->status, 200) << saved->body;
  base::ConfigSection section(service.Ini(), "Parameters", service.Home().File("brivane.key"));
  ASSERT_TRUE(section.Load());
  EXPECT_EQ(section.GetString("DataSource", ""), dsn);

  // Another part changed with the mask left in: refused, nothing written.
  ASSERT_TRUE(service.WaitUntilServing(service.Port()));
  page = service.Get("/Parameters");
  ASSERT_TRUE(page);
  form = FormAsShown(page->body);
  form["DataSource"] = "Driver=SQLite3;Database=/other.db;PWD=******;";
  const std::string before = ReadFile(service.Ini());
  auto refused = service.PostForm(UrlEncode(form));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
  EXPECT_EQ(ReadFile(service.Ini()), before);
}

}  // namespace
}  // namespace brivane::test
