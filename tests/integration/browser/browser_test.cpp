// The welcome page and the configuration form as a person sees them: headless
// Chromium opens the welcome page, follows its link to the form, leaves a
// screenshot of it under the build tree, fills in a field and submits.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "base/secret_box.h"
#include "chromium.h"
#include "service/config.h"
#include "support/service_fixture.h"

namespace brivane::test {
namespace {

constexpr auto kWait = std::chrono::seconds(30);

std::string Evaluate(Chromium& chrome, const std::string& session, const std::string& js) {
  std::string answer = chrome.Call(
      "Runtime.evaluate", "{\"expression\":" + JsonQuote(js) + ",\"returnByValue\":true}", session);
  return JsonString(answer, "value").value_or("<no value: " + answer.substr(0, 300) + ">");
}

std::uint32_t BigEndian32(const std::string& bytes, std::size_t at) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
}

// Follows every link of the welcome page and of the dashboard, each in turn
// as a person would, and answers "href=status" for each, comma-separated.
std::string FollowEveryLink(Chromium& chrome, const std::string& sid, const std::string& url) {
  chrome.DropEvents();
  chrome.Call("Page.navigate", "{\"url\":" + JsonQuote(url) + "}", sid);
  if (!chrome.WaitEvent("Page.loadEventFired", kWait)) return "<" + url + " did not load>";
  const std::string hrefs =
      Evaluate(chrome, sid, "[...document.links].map(a => a.getAttribute('href')).join(' ')");
  std::string result;
  std::istringstream in(hrefs);
  for (std::string href; in >> href;) {
    const std::string target = url.substr(0, url.rfind('/') + 1) + href;
    chrome.DropEvents();
    chrome.Call("Page.navigate", "{\"url\":" + JsonQuote(target) + "}", sid);
    std::string status = "<no load>";
    if (chrome.WaitEvent("Page.loadEventFired", kWait))
      status = Evaluate(chrome, sid,
                        "String(performance.getEntriesByType('navigation')[0].responseStatus)");
    result += (result.empty() ? "" : ",") + href + "=" + status;
  }
  return result;
}

TEST(Browser, EveryLinkOfTheWelcomePageAndTheDashboardAnswers) {
  Service service;
  service.WriteIni("");
  ASSERT_TRUE(service.Start());
  TempDir profile("brivane-chromium");
  Chromium chrome;
  ASSERT_TRUE(chrome.Start(profile.Path(), service.Home().File("chromium.txt")));
  auto targetId =
      JsonString(chrome.Call("Target.createTarget", "{\"url\":\"about:blank\"}"), "targetId");
  ASSERT_TRUE(targetId) << ReadFile(service.Home().File("chromium.txt"));
  auto session =
      JsonString(chrome.Call("Target.attachToTarget",
                             "{\"targetId\":" + JsonQuote(*targetId) + ",\"flatten\":true}"),
                 "sessionId");
  ASSERT_TRUE(session);
  chrome.Call("Page.enable", "{}", *session);
  chrome.Call("Network.enable", "{}", *session);
  chrome.Call("Network.setExtraHTTPHeaders",
              "{\"headers\":{\"Authorization\":" +
                  JsonQuote("Basic " + base::Base64Encode("admin:quillark")) + "}}",
              *session);
  const std::string base = "https://127.0.0.1:" + std::to_string(service.Port()) + "/";
  EXPECT_EQ(FollowEveryLink(chrome, *session, base + "welcome.html"),
            "Parameters=200,log=200,tail_logfile=200,dashboard=200,monitor=200,metrics=200");
  EXPECT_EQ(FollowEveryLink(chrome, *session, base + "dashboard"),
            "welcome.html=200,Parameters=200,monitor=200,log=200,tail_logfile=200,metrics=200");
}

TEST(Browser, WelcomePageLeadsToTheFormWhichSavesAndRestarts) {
  Service service;
  service.WriteIni("DBUser=<i>before</i>\n");
  ASSERT_TRUE(service.Start());

  TempDir profile("brivane-chromium");
  Chromium chrome;
  ASSERT_TRUE(chrome.Start(profile.Path(), service.Home().File("chromium.txt")));
  std::string target = chrome.Call("Target.createTarget", "{\"url\":\"about:blank\"}");
  auto targetId = JsonString(target, "targetId");
  ASSERT_TRUE(targetId) << "chromium did not answer: " << target
                        << ReadFile(service.Home().File("chromium.txt"));
  auto session =
      JsonString(chrome.Call("Target.attachToTarget",
                             "{\"targetId\":" + JsonQuote(*targetId) + ",\"flatten\":true}"),
                 "sessionId");
  ASSERT_TRUE(session);
  const std::string sid = *session;
  chrome.Call("Page.enable", "{}", sid);
  chrome.Call("Network.enable", "{}", sid);
  chrome.Call("Network.setExtraHTTPHeaders",
              "{\"headers\":{\"Authorization\":" +
                  JsonQuote("Basic " + base::Base64Encode("admin:quillark")) + "}}",
              sid);
  chrome.Call("Emulation.setDeviceMetricsOverride",
              "{\"width\":1280,\"height\":900,\"deviceScaleFactor\":1,\"mobile\":false}", sid);

  const std::string base = "https://127.0.0.1:" + std::to_string(service.Port()) + "/";
  chrome.DropEvents();
  chrome.Call("Page.navigate", "{\"url\":" + JsonQuote(base + "welcome.html") + "}", sid);
  ASSERT_TRUE(chrome.WaitEvent("Page.loadEventFired", kWait));
  EXPECT_EQ(Evaluate(chrome, sid,
                     "document.title + '|' + [...document.links].map(a => "
                     "a.getAttribute('href') + '=' + a.textContent).join(',')"),
            "Welcome to brivane|Parameters=System Parameters,log=Full Log File,"
            "tail_logfile=Tail Log File,dashboard=Dashboard,monitor=Monitor,metrics=Metrics");

  chrome.DropEvents();
  Evaluate(chrome, sid, "document.querySelector('a[href=\"Parameters\"]').click(); 'clicked'");
  ASSERT_TRUE(chrome.WaitEvent("Page.loadEventFired", kWait));
  EXPECT_EQ(Evaluate(chrome, sid, "location.pathname + '|' + document.title"),
            "/Parameters|配置参数");
  std::string expectedLabels;
  for (const auto& field : service::kFormFields)
    expectedLabels += (expectedLabels.empty() ? "" : ",") + std::string(field.key);
  EXPECT_EQ(
      Evaluate(chrome, sid,
               "[...document.querySelectorAll('th label')].map(l => l.textContent).join(',')"),
      expectedLabels);
  // The stored value shows as text, not as markup.
  EXPECT_EQ(Evaluate(chrome, sid,
                     "document.getElementById('DBUser').value + '|' + "
                     "document.querySelectorAll('i').length"),
            "<i>before</i>|0");

  // A screenshot of the whole form for a person to look at.
  std::string height = Evaluate(chrome, sid, "String(document.documentElement.scrollHeight)");
  chrome.Call("Emulation.setDeviceMetricsOverride",
              "{\"width\":1280,\"height\":" + height + ",\"deviceScaleFactor\":1,\"mobile\":false}",
              sid);
  std::string shot = chrome.Call("Page.captureScreenshot", "{\"format\":\"png\"}", sid);
  auto data = JsonString(shot, "data");
  ASSERT_TRUE(data) << shot.substr(0, 300);
  std::string png;
  ASSERT_TRUE(base::Base64Decode(*data, &png));
  const std::string dir = std::string(BRIVANE_BINARY_DIR) + "/browser";
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/parameters-form.png";
  WriteFile(file, png);
  ASSERT_GT(png.size(), 20000u) << "a form of 25 fields makes a larger picture";
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(png.substr(12, 4), "IHDR");
  EXPECT_EQ(BigEndian32(png, 16), 1280u);
  EXPECT_EQ(BigEndian32(png, 20), static_cast<std::uint32_t>(std::stoul(height)));
  std::cout << "form screenshot: " << file << "\n";

  // Fill in and submit as a person would.
  chrome.DropEvents();
  Evaluate(chrome, sid,
           "document.getElementById('DBUser').value = 'browser_user';"
           "document.getElementById('SMGVersion').value = '32';"
           "document.querySelector('input[type=submit]').click(); 'submitted'");
  ASSERT_TRUE(chrome.WaitEvent("Page.loadEventFired", kWait));
  EXPECT_NE(Evaluate(chrome, sid, "document.body.innerText").find("has been saved"),
            std::string::npos);
  ASSERT_TRUE(service.LogContains("Service brivane Restart\tInitialisation", kWait));
  std::string ini = ReadFile(service.Ini());
  EXPECT_NE(ini.find("\nDBUser=browser_user\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("\nSMGVersion=32\n"), std::string::npos) << ini;

  // After the restart the form shows what was saved.
  chrome.DropEvents();
  chrome.Call("Page.navigate", "{\"url\":" + JsonQuote(base + "Parameters") + "}", sid);
  ASSERT_TRUE(chrome.WaitEvent("Page.loadEventFired", kWait));
  EXPECT_EQ(Evaluate(chrome, sid,
                     "document.getElementById('DBUser').value + '|' + "
                     "document.getElementById('SMGVersion').value"),
            "browser_user|32");
  chrome.Close();
}

}  // namespace
}  // namespace brivane::test
