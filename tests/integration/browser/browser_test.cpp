// The welcome page and the configuration form as a person sees them: headless
// Chromium opens the welcome page, follows its link to the form, leaves a
// screenshot of it under the build tree, fills in a field and submits.
#include <gtest/gtest.h>

#include <sstream>

#include "chromium.h"
#include "service/config.h"
#include "support/service_fixture.h"

namespace brivane::test {
namespace {

constexpr auto kWait = std::chrono::seconds(30);

std::uint32_t BigEndian32(const std::string& bytes, std::size_t at) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
}

// A page that sends the admin's Basic header with every request.
::testing::AssertionResult OpenAsAdmin(BrowserPage& page, Service& service) {
  auto opened = page.Open(service.Home().File("chromium.txt"), {"Page.enable", "Network.enable"});
  if (opened) page.SendBasicAuth("admin", "quillark");
  return opened;
}

std::string PagesUrl(const Service& service) {
  return "https://127.0.0.1:" + std::to_string(service.Port()) + "/";
}

// Follows every link of the welcome page and of the dashboard, each in turn
// as a person would, and answers "href=status" for each, comma-separated.
std::string FollowEveryLink(BrowserPage& page, const std::string& url) {
  if (!page.Navigate(url, kWait)) return "<" + url + " did not load>";
  const std::string hrefs =
      page.Evaluate("[...document.links].map(a => a.getAttribute('href')).join(' ')");
  std::string result;
  std::istringstream in(hrefs);
  for (std::string href; in >> href;) {
    const std::string target = url.substr(0, url.rfind('/') + 1) + href;
    std::string status = "<no load>";
    if (page.Navigate(target, kWait))
      status =
          page.Evaluate("String(performance.getEntriesByType('navigation')[0].responseStatus)");
    result += (result.empty() ? "" : ",") + href + "=" + status;
  }
  return result;
}

TEST(Browser, EveryLinkOfTheWelcomePageAndTheDashboardAnswers) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  BrowserPage page;
  ASSERT_TRUE(OpenAsAdmin(page, service));
  const std::string base = PagesUrl(service);
  EXPECT_EQ(FollowEveryLink(page, base + "welcome.html"),
            "Parameters=200,log=200,tail_logfile=200,dashboard=200,monitor=200,metrics=200");
  EXPECT_EQ(FollowEveryLink(page, base + "dashboard"),
            "welcome.html=200,Parameters=200,monitor=200,log=200,tail_logfile=200,metrics=200");
}

TEST(Browser, WelcomePageLeadsToTheFormWhichSavesAndRestarts) {
  Service service;
  service.WriteIni("DBUser=<i>before</i>\n");
  ASSERT_TRUE(service.Start());

  BrowserPage page;
  ASSERT_TRUE(OpenAsAdmin(page, service));
  page.SetViewport(1280, "900");

  const std::string base = PagesUrl(service);
  ASSERT_TRUE(page.Navigate(base + "welcome.html", kWait));
  EXPECT_EQ(page.Evaluate("document.title + '|' + [...document.links].map(a => "
                          "a.getAttribute('href') + '=' + a.textContent).join(',')"),
            "Welcome to brivane|Parameters=System Parameters,log=Full Log File,"
            "tail_logfile=Tail Log File,dashboard=Dashboard,monitor=Monitor,metrics=Metrics");

  page.Chrome().DropEvents();
  page.Evaluate("document.querySelector('a[href=\"Parameters\"]').click(); 'clicked'");
  ASSERT_TRUE(page.Chrome().WaitEvent("Page.loadEventFired", kWait));
  EXPECT_EQ(page.Evaluate("location.pathname + '|' + document.title"), "/Parameters|配置参数");
  std::string expectedLabels;
  for (const auto& field : service::kFormFields)
    expectedLabels += (expectedLabels.empty() ? "" : ",") + std::string(field.key);
  EXPECT_EQ(
      page.Evaluate("[...document.querySelectorAll('th label')].map(l => l.textContent).join(',')"),
      expectedLabels);
  // The stored value shows as text, not as markup.
  EXPECT_EQ(page.Evaluate("document.getElementById('DBUser').value + '|' + "
                          "document.querySelectorAll('i').length"),
            "<i>before</i>|0");

  // A screenshot of the whole form for a person to look at.
  std::string png, height, file;
  ASSERT_TRUE(page.SaveScreenshot(1280, "parameters-form.png", &png, &height, &file));
  ASSERT_GT(png.size(), 20000u) << "a form of 25 fields makes a larger picture";
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(BigEndian32(png, 16), 1280u);
  EXPECT_EQ(BigEndian32(png, 20), static_cast<std::uint32_t>(std::stoul(height)));
  std::cout << "form screenshot: " << file << "\n";

  // Fill in and submit as a person would.
  page.Chrome().DropEvents();
  page.Evaluate(
      "document.getElementById('DBUser').value = 'browser_user';"
      "document.getElementById('SMGVersion').value = '32';"
      "document.querySelector('input[type=submit]').click(); 'submitted'");
  ASSERT_TRUE(page.Chrome().WaitEvent("Page.loadEventFired", kWait));
  EXPECT_NE(page.Evaluate("document.body.innerText").find("has been saved"), std::string::npos);
  ASSERT_TRUE(service.LogContains("Service brivane Restart\tInitialisation", kWait));
  std::string ini = ReadFile(service.Ini());
  EXPECT_NE(ini.find("\nDBUser=browser_user\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("\nSMGVersion=32\n"), std::string::npos) << ini;

  // After the restart the form shows what was saved.
  ASSERT_TRUE(page.Navigate(base + "Parameters", kWait));
  EXPECT_EQ(page.Evaluate("document.getElementById('DBUser').value + '|' + "
                          "document.getElementById('SMGVersion').value"),
            "browser_user|32");
  page.Chrome().Close();
}

}  // namespace
}  // namespace brivane::test
