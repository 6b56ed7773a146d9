#include "service/admin.h"

#include <gtest/gtest.h>

#include <regex>

#include "base/secret_box.h"
#include "service/config.h"
#include "support/process.h"

namespace brivane::service {
namespace {

TEST(AdminPieces, EscapeHtmlCoversEveryMarkupCharacter) {
  EXPECT_EQ(EscapeHtml("<a href=\"x\" title='y'>&</a>"),
            "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;&lt;/a&gt;");
  EXPECT_EQ(EscapeHtml("中文"), "中文");
}

TEST(AdminPieces, FormBodyDecoding) {
  auto form = ParseFormBody("a=1&b=x+y%3D%26z&c&=v&a=2&d=%zz%4&&e=%E4%B8%AD");
  EXPECT_EQ(form.count("a"), 2u);
  EXPECT_EQ(form.find("a")->second, "1");  // first one first
  EXPECT_EQ(form.find("b")->second, "x y=&z");
  EXPECT_EQ(form.find("c")->second, "");
  EXPECT_EQ(form.find("")->second, "v");
  EXPECT_EQ(form.find("d")->second, "%zz%4");
  EXPECT_EQ(form.find("e")->second, "中");
}

TEST(AdminPieces, BasicAuthHeader) {
  std::string user;
  std::string password;
  ASSERT_TRUE(ParseBasicAuth("Basic " + base::Base64Encode("admin:pa:ss"), &user, &password));
  EXPECT_EQ(user, "admin");
  EXPECT_EQ(password, "pa:ss");
  ASSERT_TRUE(ParseBasicAuth("basic  " + base::Base64Encode(":"), &user, &password));
  EXPECT_EQ(user, "");
  EXPECT_FALSE(ParseBasicAuth("Bearer abc", &user, &password));
  EXPECT_FALSE(ParseBasicAuth("Basic !!!!", &user, &password));
  EXPECT_FALSE(ParseBasicAuth("Basic " + base::Base64Encode("nocolon"), &user, &password));
  EXPECT_FALSE(ParseBasicAuth("Basic", &user, &password));
}

TEST(AdminPieces, ConstantTimeEquals) {
  EXPECT_TRUE(ConstantTimeEquals("quillark", "quillark"));
  EXPECT_FALSE(ConstantTimeEquals("quillark", "quillarK"));
  EXPECT_FALSE(ConstantTimeEquals("quillark", "quillark "));
  EXPECT_FALSE(ConstantTimeEquals("", "x"));
  EXPECT_TRUE(ConstantTimeEquals("", ""));
}

TEST(AdminPieces, FormPageEscapesValuesAndNeverCarriesPasswords) {
  AdminPagesState state;
  state.password = "s3cret-admin";
  state.formShown = {
      {"DBUser", "\"><script>alert(1)</script>"}, {"AsiaInfoSMG", "true"}, {"SMGVersion", "48"}};
  std::string page = RenderFormPage(state, "tok123");
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_NE(page.find("value=\"&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\""),
            std::string::npos);
  EXPECT_EQ(page.find("s3cret-admin"), std::string::npos);
  EXPECT_NE(page.find("name=\"token\" value=\"tok123\""), std::string::npos);
  EXPECT_NE(page.find("<title>配置参数</title>"), std::string::npos);
  EXPECT_NE(page.find("name=\"AsiaInfoSMG\" value=\"true\" checked"), std::string::npos);
  EXPECT_NE(page.find("name=\"EnableHTTPClient\" value=\"true\">"), std::string::npos);
  // SMGVersion is chosen from the versions there are; integers keep their
  // bounds in the input.
  EXPECT_NE(page.find("<option value=\"48\" selected>48 (CMPP 3.0)</option>"), std::string::npos);
  EXPECT_NE(page.find("name=\"MOHTTPQuestTimeout\" min=\"3000\" max=\"600000\""),
            std::string::npos);
  EXPECT_NE(page.find("target=\"_blank\""), std::string::npos);
  // Every field, labelled with its key, in the form's order.
  std::size_t at = 0;
  for (const auto& field : kFormFields) {
    std::string label = std::string("<label for=\"") + field.key + "\">" + field.key + "</label>";
    auto found = page.find(label, at);
    ASSERT_NE(found, std::string::npos) << field.key;
    at = found;
    if (*field.helpHtml) {
      EXPECT_NE(page.find(field.helpHtml), std::string::npos) << field.key;
    }
  }
}

TEST(AdminPieces, WelcomePageLinksInOrder) {
  std::string page = RenderWelcomePage(false);
  std::regex order(
      "<title>Welcome to brivane</title>[\\s\\S]*<CENTER>\r\n[\\s\\S]*"
      "href=\"Parameters\">System Parameters</a>[\\s\\S]*<p><a href=\"log\">Full Log File</a>"
      "[\\s\\S]*<br><a href=\"tail_logfile\">Tail Log File</a>[\\s\\S]*<hr>");
  EXPECT_TRUE(std::regex_search(page, order)) << page;
  EXPECT_EQ(page.find("company.png"), std::string::npos);
  EXPECT_NE(RenderWelcomePage(true).find("src=\"company.png\" width=\"468\" height=\"60\""),
            std::string::npos);
}

TEST(AdminPieces, TailStartsAtALineBoundary) {
  test::TempDir dir;
  std::string text;
  for (int i = 0; i < 100; ++i) text += "line " + std::to_string(i) + "\n";
  test::WriteFile(dir.File("log"), text);
  std::string tail = TailOfFile(dir.File("log"), 20);
  EXPECT_EQ(tail, "line 98\nline 99\n");
  EXPECT_EQ(TailOfFile(dir.File("log"), 1 << 20), text);
  EXPECT_EQ(TailOfFile(dir.File("missing"), 100), "");
}

TEST(AdminPieces, LogSafeNeutralisesLineBreaksAndCaps) {
  EXPECT_EQ(LogSafe("adm\nin\"x"), "adm\\x0ain\\x22x");
  EXPECT_EQ(LogSafe(std::string(100, 'a'), 10), "aaaaaaaaaa...");
}

TEST(AdminLogin, ListenAddressAndLoginFields) {
  EXPECT_EQ(ListenAddressFor("", true), "127.0.0.1");
  EXPECT_EQ(ListenAddressFor("192.0.2.7", true), "127.0.0.1");
  EXPECT_EQ(ListenAddressFor("", false), "0.0.0.0");
  EXPECT_EQ(ListenAddressFor("192.0.2.7", false), "192.0.2.7");

  struct Case {
    std::multimap<std::string, std::string> posted;
    std::size_t errors;
  };
  const Case cases[] = {
      {{{"AdminUserName", "admin"}, {"AdminPassword", ""}}, 0},
      {{{"AdminUserName", "ad:min"}}, 1},
      {{{"AdminUserName", ":"}, {"AdminPassword.clear", "1"}}, 2},
      {{{"AdminPassword.clear", ""}}, 0},
      {{{"AdminPassword.clear", "1"}, {"AdminPassword", "new"}}, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(LoginFieldErrors(c.posted).size(), c.errors);
}

}  // namespace
}  // namespace brivane::service
