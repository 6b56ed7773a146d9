#pragma once
// Headless Chromium driven over the DevTools protocol on a pipe
// (--remote-debugging-pipe: commands on its fd 3, answers and events on its
// fd 4, each message a JSON text ended by a NUL byte). Just enough JSON to
// send commands and read the string fields of their answers; commands are
// quoted as the status pages quote their JSON.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "base/secret_box.h"
#include "base/text.h"
#include "service/status_pages.h"
#include "support/process.h"

namespace brivane::test {

// The first string value of "key" in a message, unescaped (\uXXXX as UTF-8).
inline std::optional<std::string> JsonString(const std::string& json, const std::string& key) {
  std::string needle = "\"" + key + "\":\"";
  auto at = json.find(needle);
  if (at == std::string::npos) return std::nullopt;
  std::string out;
  for (std::size_t i = at + needle.size(); i < json.size(); ++i) {
    char c = json[i];
    if (c == '"') return out;
    if (c != '\\' || i + 1 >= json.size()) {
      out += c;
      continue;
    }
    char e = json[++i];
    switch (e) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'u': {
        if (i + 4 >= json.size()) return std::nullopt;
        // UTF-16 code units; a high surrogate takes the \u escape after it.
        std::u16string units(1,
                             static_cast<char16_t>(std::stoul(json.substr(i + 1, 4), nullptr, 16)));
        i += 4;
        if (units[0] >= 0xD800 && units[0] <= 0xDBFF && i + 6 < json.size() &&
            json[i + 1] == '\\') {
          units += static_cast<char16_t>(std::stoul(json.substr(i + 3, 4), nullptr, 16));
          i += 6;
        }
        out += base::Utf16ToUtf8(units);
        break;
      }
      default:
        out += e;
    }
  }
  return std::nullopt;
}

class Chromium {
 public:
  ~Chromium() { Close(); }

  bool Start(const std::string& userDataDir, const std::string& stderrFile) {
    int toChrome[2];
    int fromChrome[2];
    if (pipe(toChrome) != 0 || pipe(fromChrome) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      int err = open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (err >= 0) {
        dup2(err, 1);
        dup2(err, 2);
      }
      // Move the pipe ends clear of 3 and 4 before placing them there.
      int in = fcntl(toChrome[0], F_DUPFD, 10);
      int out = fcntl(fromChrome[1], F_DUPFD, 10);
      dup2(in, 3);
      dup2(out, 4);
      for (int fd = 5; fd < 1024; ++fd) close(fd);
      std::vector<std::string> args = {"chromium",
                                       "--headless",
                                       "--no-sandbox",
                                       "--disable-gpu",
                                       "--disable-background-networking",
                                       "--no-first-run",
                                       "--user-data-dir=" + userDataDir,
                                       "--remote-debugging-pipe",
                                       "--ignore-certificate-errors",
                                       "about:blank"};
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execvp("chromium", argv.data());
      _exit(127);
    }
    close(toChrome[0]);
    close(fromChrome[1]);
    write_ = toChrome[1];
    read_ = fromChrome[0];
    return true;
  }

  // Sends a command and waits for its answer; other messages are kept as
  // events. Empty on timeout or a closed pipe.
  std::string Call(const std::string& method, const std::string& paramsJson = "{}",
                   const std::string& session = "",
                   std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    int id = ++lastId_;
    std::string message = "{\"id\":" + std::to_string(id) +
                          ",\"method\":" + service::JsonString(method) +
                          ",\"params\":" + paramsJson;
    if (!session.empty()) message += ",\"sessionId\":" + service::JsonString(session);
    message += "}";
    message.push_back('\0');
    std::size_t put = 0;
    while (put < message.size()) {
      ssize_t n = write(write_, message.data() + put, message.size() - put);
      if (n <= 0) return {};
      put += static_cast<std::size_t>(n);
    }
    const std::string marker = "{\"id\":" + std::to_string(id) + ",";
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      auto next = Receive(deadline);
      if (!next) return {};
      if (next->rfind(marker, 0) == 0) return *next;
      events_.push_back(std::move(*next));
    }
  }

  // Waits for an event of this method (kept or arriving), and consumes it.
  bool WaitEvent(const std::string& method,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const std::string needle = "\"method\":" + service::JsonString(method);
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      for (auto it = events_.begin(); it != events_.end(); ++it) {
        if (it->find(needle) != std::string::npos) {
          events_.erase(it);
          return true;
        }
      }
      auto next = Receive(deadline);
      if (!next) return false;
      events_.push_back(std::move(*next));
    }
  }

  void DropEvents() { events_.clear(); }
  // Reads what has arrived so far (for up to limit) and returns every event
  // kept, oldest first.
  const std::vector<std::string>& Events(
      std::chrono::milliseconds limit = std::chrono::milliseconds(200)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (auto next = Receive(deadline)) events_.push_back(std::move(*next));
    return events_;
  }

  void Close() {
    if (pid_ <= 0) return;
    Call("Browser.close", "{}", "", std::chrono::seconds(5));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      usleep(20000);
    }
    pid_ = -1;
    close(write_);
    close(read_);
  }

 private:
  std::optional<std::string> Receive(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      auto end = buffer_.find('\0');
      if (end != std::string::npos) {
        std::string message = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return message;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd p{read_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[65536];
      ssize_t n = read(read_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int write_ = -1;
  int read_ = -1;
  int lastId_ = 0;
  std::string buffer_;
  std::vector<std::string> events_;
};

// One blank page in a fresh Chromium with its own profile, attached in flat
// mode: what each browser test opens before it navigates. The profile is
// removed after the browser has closed.
class BrowserPage {
 public:
  // Starts the browser (its output to stderrFile), opens the page and
  // enables the given DevTools domains on it.
  ::testing::AssertionResult Open(const std::string& stderrFile,
                                  std::initializer_list<const char*> domains = {"Page.enable"}) {
    if (!chrome_.Start(profile_.Path(), stderrFile))
      return ::testing::AssertionFailure() << "chromium did not start";
    std::string target = chrome_.Call("Target.createTarget", "{\"url\":\"about:blank\"}");
    auto targetId = JsonString(target, "targetId");
    if (!targetId)
      return ::testing::AssertionFailure()
             << "chromium did not answer: " << target << ReadFile(stderrFile);
    auto session = JsonString(
        chrome_.Call("Target.attachToTarget",
                     "{\"targetId\":" + service::JsonString(*targetId) + ",\"flatten\":true}"),
        "sessionId");
    if (!session) return ::testing::AssertionFailure() << "no session on the page";
    session_ = *session;
    for (const char* domain : domains) chrome_.Call(domain, "{}", session_);
    return ::testing::AssertionSuccess();
  }

  // Sends an Authorization: Basic header with every request of the page.
  void SendBasicAuth(const std::string& user, const std::string& password) {
    chrome_.Call("Network.setExtraHTTPHeaders",
                 "{\"headers\":{\"Authorization\":" +
                     service::JsonString("Basic " + base::Base64Encode(user + ":" + password)) +
                     "}}",
                 session_);
  }

  void SetViewport(int width, const std::string& height) {
    chrome_.Call("Emulation.setDeviceMetricsOverride",
                 "{\"width\":" + std::to_string(width) + ",\"height\":" + height +
                     ",\"deviceScaleFactor\":1,\"mobile\":false}",
                 session_);
  }

  // Navigates and waits for the page's load event.
  bool Navigate(const std::string& url, std::chrono::milliseconds limit) {
    chrome_.DropEvents();
    chrome_.Call("Page.navigate", "{\"url\":" + service::JsonString(url) + "}", session_);
    return chrome_.WaitEvent("Page.loadEventFired", limit);
  }

  // The value of a JavaScript expression as a string, or "<no value: …>".
  std::string Evaluate(const std::string& js) {
    std::string answer = chrome_.Call(
        "Runtime.evaluate",
        "{\"expression\":" + service::JsonString(js) + ",\"returnByValue\":true}", session_);
    return JsonString(answer, "value").value_or("<no value: " + answer.substr(0, 300) + ">");
  }

  // Widens the viewport to the whole page and leaves a PNG of it under the
  // build tree as browser/<name>: the picture's bytes in png, the page's
  // height in height, the file's path in file.
  ::testing::AssertionResult SaveScreenshot(int width, const std::string& name, std::string* png,
                                            std::string* height, std::string* file) {
    *height = Evaluate("String(document.documentElement.scrollHeight)");
    SetViewport(width, *height);
    std::string shot = chrome_.Call("Page.captureScreenshot", "{\"format\":\"png\"}", session_);
    auto data = JsonString(shot, "data");
    if (!data) return ::testing::AssertionFailure() << "no screenshot: " << shot.substr(0, 300);
    if (!base::Base64Decode(*data, png))
      return ::testing::AssertionFailure() << "the screenshot is not base64";
    const std::string dir = std::string(BRIVANE_BINARY_DIR) + "/browser";
    std::filesystem::create_directories(dir);
    *file = dir + "/" + name;
    WriteFile(*file, *png);
    return ::testing::AssertionSuccess();
  }

  Chromium& Chrome() { return chrome_; }
  const std::string& Session() const { return session_; }

 private:
  TempDir profile_{"brivane-chromium"};
  Chromium chrome_;
  std::string session_;
};

}  // namespace brivane::test
