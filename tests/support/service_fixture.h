#pragma once
// A brivane process for a test: its own temporary home, HTTPS port and
// status block (unlinked at the end), stopped by pid in the destructor,
// and an HTTPS client for its pages.

#include <httplib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>

#include "support/process.h"

namespace brivane::test {

inline std::string UniqueBlockName() {
  static std::atomic<int> n{0};
  return "/brivane-it-" + std::to_string(getpid()) + "-" + std::to_string(n++);
}

// A client writing a form body the server refuses before reading it must
// not kill the test with SIGPIPE.
inline const bool kIgnoreSigpipe = [] {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}();

class Service {
 public:
  // Port 0: one found free. HTTPPort takes 1 to 65535, so brivane cannot
  // bind port 0 and say which it got; when another process takes the port
  // found free before brivane binds it, Start moves to another.
  explicit Service(int port = 0)
      : port_(port != 0 ? port : FreePort()), portPicked_(port == 0), block_(UniqueBlockName()) {}
  ~Service() {
    process_.Stop();
    shm_unlink(block_.c_str());
  }

  // The store: [Parameters] with HTTPPort and the given lines.
  void WriteIni(const std::string& lines) {
    WriteFile(Ini(), "[Parameters]\nHTTPPort=" + std::to_string(port_) + "\n" + lines);
  }

  // Starts `brivane run --home`; true once the welcome page answers.
  bool Start(const std::vector<std::string>& extraArgs = {}) {
    std::vector<std::string> argv = {BuiltProgram("brivane"), "run", "--home", home_.Path()};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    for (int attempt = 1;; ++attempt) {
      if (!process_.Start(argv, home_.File("output.txt"), Env())) return false;
      if (WaitUntilServing(port_)) return true;
      if (attempt == 3 || !MoveFromTakenPort()) return false;
    }
  }

  bool WaitUntilServing(int port, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    return WaitFor(
               [&] {
                 if (!process_.Running()) return true;
                 auto res = Client(port)->Get("/welcome.html");
                 return res && res->status == 200;
               },
               limit) &&
           process_.Running();
  }

  // Runs another brivane command with this service's environment; returns
  // its exit status and output.
  int Command(const std::vector<std::string>& args, std::string* output = nullptr) {
    std::string out = home_.File("command-" + std::to_string(commands_++) + ".txt");
    ChildProcess child;
    std::vector<std::string> argv = {BuiltProgram("brivane")};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!child.Start(argv, out, Env())) return -1;
    int status = child.Wait(std::chrono::seconds(60));
    if (output) *output = ReadFile(out);
    return status;
  }

  std::unique_ptr<httplib::SSLClient> Client(int port = 0) const {
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port ? port : port_);
    client->enable_server_certificate_verification(false);
    client->set_connection_timeout(2, 0);
    client->set_read_timeout(10, 0);
    client->set_tcp_nodelay(true);
    return client;
  }
  httplib::Result Get(const std::string& path, const std::string& user = "admin",
                      const std::string& password = "quillark", int port = 0) const {
    auto client = Client(port);
    if (!user.empty()) client->set_basic_auth(user.c_str(), password.c_str());
    return client->Get(path.c_str());
  }
  httplib::Result PostForm(const std::string& body, const std::string& user = "admin",
                           const std::string& password = "quillark") const {
    auto client = Client();
    client->set_basic_auth(user.c_str(), password.c_str());
    return client->Post("/Parameters", body, "application/x-www-form-urlencoded");
  }

  std::string Log() const { return ReadFile(home_.File("brivane.log")); }
  bool LogContains(const std::string& text, std::chrono::milliseconds limit) const {
    return WaitFor([&] { return Log().find(text) != std::string::npos; }, limit);
  }
  std::string Ini() const { return home_.File("brivane.ini"); }

  std::map<std::string, std::string> Env() const {
    auto env = extraEnv_;
    env["BRIVANE_STATUS_BLOCK"] = block_;
    return env;
  }
  // An environment variable for the processes started from now on.
  void SetEnv(const std::string& name, const std::string& value) { extraEnv_[name] = value; }
  const TempDir& Home() const { return home_; }
  int Port() const { return port_; }
  const std::string& Block() const { return block_; }
  ChildProcess& Process() { return process_; }

 private:
  // After brivane exited because another process held the port it was
  // given: another port found free, in brivane.ini too. False when the port
  // is not the fixture's pick or brivane ended for another reason.
  bool MoveFromTakenPort() {
    const std::string line = "HTTPPort=" + std::to_string(port_) + "\n";
    std::string ini = ReadFile(Ini());
    const auto at = ini.find(line);
    if (!portPicked_ || process_.Running() || at == std::string::npos ||
        !BrivaneRefusedPort(ReadFile(home_.File("output.txt")), port_))
      return false;
    port_ = FreePort();
    ini.replace(at, line.size(), "HTTPPort=" + std::to_string(port_) + "\n");
    WriteFile(Ini(), ini);
    return true;
  }

  int port_;
  bool portPicked_;
  std::string block_;
  TempDir home_;
  ChildProcess process_;
  int commands_ = 0;
  std::map<std::string, std::string> extraEnv_;
};

inline std::string HtmlUnescape(std::string text) {
  const std::pair<const char*, const char*> entities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}};
  for (const auto& [from, to] : entities) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + 1))
      text.replace(at, std::strlen(from), to);
  }
  return text;
}

// What a browser would post from the form page as it is shown: every text,
// number, password and hidden input with its value, checked boxes only.
inline std::map<std::string, std::string> FormAsShown(const std::string& page) {
  std::map<std::string, std::string> form;
  std::regex input("<input ([^>]*)>");
  std::regex attribute("(\\w+)=\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), input);
       it != std::sregex_iterator(); ++it) {
    std::string attrs = (*it)[1];
    std::map<std::string, std::string> a;
    for (auto at = std::sregex_iterator(attrs.begin(), attrs.end(), attribute);
         at != std::sregex_iterator(); ++at)
      a[(*at)[1]] = HtmlUnescape((*at)[2]);
    if (!a.count("name")) continue;
    if (a["type"] == "checkbox" && attrs.find(" checked") == std::string::npos) continue;
    form[a["name"]] = a["value"];
  }
  // A select posts its selected option, as a browser does.
  std::regex select("<select [^>]*name=\"([^\"]*)\"[^>]*>([\\s\\S]*?)</select>");
  std::regex selected("<option value=\"([^\"]*)\" selected>");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), select);
       it != std::sregex_iterator(); ++it) {
    const std::string options = (*it)[2];
    std::smatch option;
    if (std::regex_search(options, option, selected)) form[(*it)[1]] = HtmlUnescape(option[1]);
  }
  return form;
}

inline std::string UrlEncode(const std::map<std::string, std::string>& form) {
  std::string body;
  for (const auto& [name, value] : form) {
    if (!body.empty()) body += '&';
    body += httplib::detail::encode_query_param(name) + "=" +
            httplib::detail::encode_query_param(value);
  }
  return body;
}

}  // namespace brivane::test
