// The administration pages against careless hands, on the real process:
// failed logins slow an address down and are logged as counts; a default or
// empty password keeps the pages on loopback; the form refuses an empty
// password and a user name with ':'; a save whose port cannot be had keeps
// the service, its listener and the file as they were.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/config_store.h"
#include "support/service_fixture.h"

namespace brivane::test {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 15s;

// True when a TCP connection from 127.0.0.1 to `address`:port is accepted.
bool Connects(const char* address, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, address, &to.sin_addr);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  ::close(fd);
  return ok;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A service whose AdminPassword is set (enciphered) to "s3cret-pw".
void WriteWithPassword(Service& service, const std::string& more = "") {
  service.WriteIni(more);
  base::ConfigSection section(service.Ini(), "Parameters", service.Home().File("brivane.key"));
  ASSERT_TRUE(section.Load());
  ASSERT_TRUE(section.SetPassword("AdminPassword", "s3cret-pw"));
  ASSERT_TRUE(section.Save());
}

TEST(AdminSecurity, FailedLoginsSlowTheAddressDownAndAreLoggedAsACount) {
  Service service;
  WriteWithPassword(service);
  ASSERT_TRUE(service.Start());
  // Ten failures are free (typing errors); the eleventh makes the address
  // wait, and while it waits even the right password is not looked at.
  for (int i = 0; i < 11; ++i) {
    auto res = service.Get("/monitor", "admin", "guess-" + std::to_string(i));
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 401) << i;
  }
  auto waiting = service.Get("/monitor", "admin", "s3cret-pw");
  ASSERT_TRUE(waiting);
  EXPECT_EQ(waiting->status, 429);
  EXPECT_EQ(waiting->get_header_value("Retry-After"), "1");
  // Once the wait is over the right password logs in again.
  bool in = WaitFor(
      [&] {
        auto res = service.Get("/monitor", "admin", "s3cret-pw");
        return res && res->status == 200;
      },
      5s);
  EXPECT_TRUE(in);
  // Eleven failures, one line: the rest are counted for the next interval.
  const std::string log = service.Log();
  EXPECT_EQ(Count(log, "管理页面登录失败"), 1u) << log;
  EXPECT_EQ(log.find("guess-"), std::string::npos) << "a password was logged";
}

TEST(AdminSecurity, DefaultPasswordKeepsThePagesOnLoopbackAndSaysHowToSetOne) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  // Bound to 127.0.0.1 only: 127.0.0.2 is another local address.
  EXPECT_TRUE(Connects("127.0.0.1", service.Port()));
  EXPECT_FALSE(Connects("127.0.0.2", service.Port()));
  const std::string output = ReadFile(service.Home().File("output.txt"));
  EXPECT_NE(output.find("127.0.0.1 only"), std::string::npos) << output;
  EXPECT_NE(output.find("brivane set-password"), std::string::npos) << output;
  // The default password is on no page, not even the open one.
  for (const char* path : {"/welcome.html", "/Parameters", "/tail_logfile"}) {
    auto res = service.Get(path);
    ASSERT_TRUE(res) << path;
    EXPECT_EQ(res->body.find("quillark"), std::string::npos) << path;
  }

  // `brivane set-password` stores one and restarts the service, which then
  // listens on every address.
  ChildProcess setter;
  const std::string out = service.Home().File("set-password.txt");
  ASSERT_TRUE(setter.Start({"/bin/sh", "-c",
                            "printf 'n3w-Passw0rd\\n' | '" + BuiltProgram("brivane") +
                                "' set-password --home '" + service.Home().Path() + "'"},
                           out, service.Env()));
  EXPECT_EQ(WEXITSTATUS(setter.Wait(30s)), 0) << ReadFile(out);
  EXPECT_EQ(ReadFile(service.Ini()).find("n3w-Passw0rd"), std::string::npos) << "stored in clear";
  EXPECT_TRUE(WaitFor([&] { return Connects("127.0.0.2", service.Port()); }, kWait));
  auto res = service.Get("/monitor", "admin", "n3w-Passw0rd");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
}

TEST(AdminSecurity, ConfiguredListenAddressIsUsedOnceAPasswordIsSet) {
  Service service;
  WriteWithPassword(service, "HTTPListenAddress=127.0.0.2\n");
  // Not through Start: that waits for the pages on 127.0.0.1.
  ASSERT_TRUE(
      service.Process().Start({BuiltProgram("brivane"), "run", "--home", service.Home().Path()},
                              service.Home().File("output.txt"), service.Env()));
  EXPECT_TRUE(WaitFor([&] { return Connects("127.0.0.2", service.Port()); }, kWait));
  EXPECT_FALSE(Connects("127.0.0.1", service.Port()));
}

struct RefusedForm {
  const char* name;
  const char* field;
  const char* value;
  const char* reason;
};

TEST(AdminSecurity, FormRefusesAnEmptyPasswordAndAUserNameWithAColon) {
  Service service;
  WriteWithPassword(service);
  ASSERT_TRUE(service.Start());
  const RefusedForm cases[] = {
      {"clear box", "AdminPassword.clear", "1", "AdminPassword: may not be empty"},
      {"colon in the name", "AdminUserName", "ad:min",
       "AdminUserName: may not contain &#39;:&#39;"},
  };
  const std::string before = ReadFile(service.Ini());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto page = service.Get("/Parameters", "admin", "s3cret-pw");
    ASSERT_TRUE(page);
    auto form = FormAsShown(page->body);
    form[c.field] = c.value;
    auto res = service.PostForm(UrlEncode(form), "admin", "s3cret-pw");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400);
    EXPECT_NE(res->body.find(c.reason), std::string::npos) << res->body;
    EXPECT_EQ(ReadFile(service.Ini()), before);
  }
}

TEST(AdminSecurity, EmptyStoredPasswordMustBeReplacedBeforeAnySave) {
  Service service;
  service.WriteIni("AdminPassword=\n");
  ASSERT_TRUE(service.Start());
  auto page = service.Get("/Parameters", "admin", "");
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200);
  auto form = FormAsShown(page->body);
  const std::string before = ReadFile(service.Ini());
  auto kept = service.PostForm(UrlEncode(form), "admin", "");
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->status, 400);
  EXPECT_NE(kept->body.find("AdminPassword: none is set"), std::string::npos) << kept->body;
  EXPECT_EQ(ReadFile(service.Ini()), before);
  form["AdminPassword"] = "finally-one";
  auto set = service.PostForm(UrlEncode(form), "admin", "");
  ASSERT_TRUE(set);
  EXPECT_EQ(set->status, 200) << set->body;
}

TEST(AdminSecurity, SaveWithAPortAnotherProcessHoldsKeepsTheService) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  // Another process's listener on the port the form asks for, on a port
  // the kernel chose.
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = 0;
  at.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(holder, 4), 0);
  socklen_t atLength = sizeof at;
  ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&at), &atLength), 0);
  const int taken = ntohs(at.sin_port);

  auto page = service.Get("/Parameters");
  ASSERT_TRUE(page);
  auto form = FormAsShown(page->body);
  form["HTTPPort"] = std::to_string(taken);
  form["MTSpeedLimit"] = "77";
  const std::string before = ReadFile(service.Ini());
  auto res = service.PostForm(UrlEncode(form));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 409);
  EXPECT_NE(res->body.find("cannot listen on 127.0.0.1:" + std::to_string(taken)),
            std::string::npos)
      << res->body;
  EXPECT_NE(res->body.find("Nothing was saved"), std::string::npos);
  // Nothing written, no restart, and the pages still answer where they were.
  EXPECT_EQ(ReadFile(service.Ini()), before);
  EXPECT_FALSE(WaitFor(
      [&] { return service.Log().find("信息：网关服务重新启动") != std::string::npos; }, 1s));
  EXPECT_TRUE(service.Process().Running());
  auto still = service.Get("/monitor");
  ASSERT_TRUE(still);
  EXPECT_EQ(still->status, 200);
  ::close(holder);
}

}  // namespace
}  // namespace brivane::test
