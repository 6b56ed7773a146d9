// Bad input to the admin pages of a running brivane: oversized and
// undeclared bodies, markup in values, paths and user names, and the
// dashboard's authentication and script policy. Each is refused or shown
// as text; nothing is stored and the service goes on unchanged.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/secret_box.h"
#include "support/service_fixture.h"

namespace brivane::test {
namespace {

constexpr auto kWait = std::chrono::seconds(15);
const std::string kAuth = "Authorization: Basic " + base::Base64Encode("admin:quillark") + "\r\n";

// Writes raw bytes over TLS and reads until the server closes or 5 s pass:
// for requests the HTTP client library would not send.
std::string RawHttps(int port, const std::string& request) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  std::string answer;
  SSL* ssl = nullptr;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1 &&
        SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0) {
      char buf[4096];
      int n;
      while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
        answer.append(buf, static_cast<std::size_t>(n));
    }
  }
  if (ssl) SSL_free(ssl);
  close(fd);
  SSL_CTX_free(ctx);
  return answer;
}

class HostileInput : public ::testing::Test {
 protected:
  void SetUp() override {
    service_.WriteIni("DBType=mysql\nDBUser=before\n");
    ASSERT_TRUE(service_.Start());
    before_ = ReadFile(service_.Ini());
    auto page = service_.Get("/Parameters");
    ASSERT_TRUE(page);
    form_ = FormAsShown(page->body);
    ASSERT_FALSE(form_["token"].empty());
  }
  // Nothing was written, no restart ran, and the pages still answer.
  void ExpectUnchanged() {
    EXPECT_EQ(ReadFile(service_.Ini()), before_);
    auto page = service_.Get("/Parameters");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(FormAsShown(page->body)["DBUser"], "before");
    std::string log = service_.Log();
    EXPECT_EQ(log.find("信息：配置参数已保存"), std::string::npos);
    EXPECT_EQ(log.find("信息：网关服务重新启动"), std::string::npos);
    EXPECT_TRUE(service_.Process().Running());
  }

  Service service_;
  std::string before_;
  std::map<std::string, std::string> form_;
};

TEST_F(HostileInput, OneMegabytePostIsRefusedWithoutStoringAnything) {
  auto big = form_;
  big["DBUser"] = std::string(1 << 20, 'a');
  auto refused = service_.PostForm(UrlEncode(big));
  ASSERT_TRUE(refused) << "the server should answer, not drop the connection";
  EXPECT_EQ(refused->status, 413);

  // Without credentials it is refused before a byte of the body is read;
  // the client may see the answer or a closed connection.
  auto anonymous =
      service_.Client()->Post("/Parameters", UrlEncode(big), "application/x-www-form-urlencoded");
  if (anonymous) {
    EXPECT_EQ(anonymous->status, 401);
  }
  ExpectUnchanged();
}

TEST_F(HostileInput, BodiesWithoutADeclaredLengthAreRefusedBeforeReading) {
  const struct {
    const char* what;
    std::string rest;  // the headers after Content-Type, and the body
    const char* status;
  } cases[] = {
      // Only the first chunk is sent; the answer must come anyway.
      {"chunked", "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n100000\r\nDBUser=x",
       "HTTP/1.1 411"},
      {"no length", "Connection: close\r\n\r\nDBUser=x", "HTTP/1.1 411"},
      // Far beyond the bound: refused without reading it.
      {"declared 1 GiB", "Content-Length: 1073741824\r\nConnection: close\r\n\r\nDBUser=x",
       "HTTP/1.1 413"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string answer = RawHttps(
        service_.Port(), "POST /Parameters HTTP/1.1\r\nHost: x\r\n" + kAuth +
                             "Content-Type: application/x-www-form-urlencoded\r\n" + c.rest);
    EXPECT_EQ(answer.rfind(c.status, 0), 0u) << answer.substr(0, 200);
  }
  ExpectUnchanged();
}

TEST_F(HostileInput, ScriptInRefusedValuesPathsAndNamesIsNeverEchoedAsMarkup) {
  const std::string script = "<script>alert(1)</script>";
  auto bad = form_;
  bad["SMGVersion"] = script;
  bad["DBUser"] = script;
  auto refused = service_.PostForm(UrlEncode(bad));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 400);
  EXPECT_NE(refused->body.find("SMGVersion: not a whole number"), std::string::npos);
  EXPECT_EQ(refused->body.find("<script>"), std::string::npos);

  auto path = service_.Get("/x" + script);
  ASSERT_TRUE(path);
  EXPECT_EQ(path->status, 404);
  EXPECT_EQ(path->body.find("<script>"), std::string::npos);

  auto user = service_.Get("/Parameters", script, "x");
  ASSERT_TRUE(user);
  EXPECT_EQ(user->status, 401);
  EXPECT_EQ(user->body.find("<script>"), std::string::npos);
  auto tail = service_.Get("/tail_logfile");
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->get_header_value("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(tail->get_header_value("X-Content-Type-Options"), "nosniff");
  ExpectUnchanged();
}

TEST_F(HostileInput, ScriptInAnAcceptedValueIsStoredAsTextAndShownEscaped) {
  const std::string script = "<script>alert(1)</script>";
  const std::string attribute = "\"><img src=x onerror=alert(2)>";
  form_["DBUser"] = script;
  form_["DialogCarrierNAME"] = attribute;
  auto saved = service_.PostForm(UrlEncode(form_));
  ASSERT_TRUE(saved);
  ASSERT_EQ(saved->status, 200);
  ASSERT_TRUE(service_.LogContains("Service brivane Restart\tInitialisation", kWait));
  std::string ini = ReadFile(service_.Ini());
  EXPECT_NE(ini.find("\nDBUser=" + script + "\n"), std::string::npos) << ini;

  auto page = service_.Get("/Parameters");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->body.find("<script>"), std::string::npos);
  EXPECT_EQ(page->body.find("<img"), std::string::npos);
  auto shown = FormAsShown(page->body);
  EXPECT_EQ(shown["DBUser"], script);
  EXPECT_EQ(shown["DialogCarrierNAME"], attribute);
}

TEST(DashboardPages, BehindTheAdminLoginWithTheirOwnScriptPolicy) {
  Service service;
  service.WriteIni("MTConnections=2\nMTPort=7999\nMTAndMOConnections=0\n");
  ASSERT_TRUE(service.Start());
  for (const char* path : {"/dashboard", "/dashboard.js", "/dashboard.css", "/dashboard.json"}) {
    auto none = service.Get(path, "");
    ASSERT_TRUE(none) << path;
    EXPECT_EQ(none->status, 401) << path;
    auto wrong = service.Get(path, "admin", "wrong");
    ASSERT_TRUE(wrong) << path;
    EXPECT_EQ(wrong->status, 401) << path;
  }
  auto page = service.Get("/dashboard");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  const std::string policy = page->get_header_value("Content-Security-Policy");
  EXPECT_NE(policy.find("default-src 'none'"), std::string::npos) << policy;
  EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << policy;
  EXPECT_NE(policy.find("connect-src 'self'"), std::string::npos) << policy;
  auto form = service.Get("/Parameters");
  ASSERT_TRUE(form);
  EXPECT_EQ(form->get_header_value("Content-Security-Policy").find("script-src"), std::string::npos)
      << "no other page may run scripts";

  auto script = service.Get("/dashboard.js");
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  EXPECT_EQ(script->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
  auto style = service.Get("/dashboard.css");
  ASSERT_TRUE(style);
  EXPECT_EQ(style->status, 200);
  EXPECT_EQ(style->get_header_value("Content-Type"), "text/css; charset=utf-8");
  // The dashboard's style comes from that sheet; other pages keep their own.
  EXPECT_NE(policy.find("style-src 'self'"), std::string::npos) << policy;
  auto json = service.Get("/dashboard.json");
  ASSERT_TRUE(json);
  EXPECT_EQ(json->status, 200);
  EXPECT_EQ(json->get_header_value("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(json->get_header_value("Cache-Control"), "no-store");
  // No database here: pages only, no links, the pools as configured.
  for (const char* part : {"\"started\":false", "\"databaseConnected\":false", "\"links\":[]",
                           "{\"name\":\"MT\",\"connType\":1,\"configured\":2,\"port\":7999,"
                           "\"present\":0,\"loggedIn\":0}",
                           "\"sampleMs\":10000", "\"historySeconds\":3600",
                           "{\"name\":\"mo_received\",\"offset\":44,\"flag\":false,\"value\":0}"})
    EXPECT_NE(json->body.find(part), std::string::npos) << part << "\n" << json->body;
}

}  // namespace
}  // namespace brivane::test
