#pragma once
// The administration pages over HTTPS: "Parameters" (the configuration
// form), "tail_logfile", "welcome.html" (open), "monitor", "metrics" and the
// "dashboard" (with "dashboard.js", "dashboard.css" and "dashboard.json").
// Every page but the welcome page needs HTTP basic authentication with the
// administrator's name and password, realm "brivane", compared in constant
// time. A scraper may instead use the metrics credential, which opens
// GET /metrics and nothing else: it can read the figures, never the
// configuration or the log, and never change anything. The form carries a per-process anti-forgery
// token; an accepted form is stored and the host is told once the response has gone out, so that it
// restarts in place.
//
// Threads: SetState and Listen/Stop are called by the start sequence (one
// thread at a time, under the host's initialisation lock); the pages run on
// the listener's worker threads and read the state through a shared
// pointer swapped under stateMutex_.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "service/certificate.h"
#include "service/config.h"
#include "service/login_throttle.h"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace brivane::service {

// What the pages show; rebuilt by every start and restart.
struct AdminPagesState {
  std::string userName;
  std::string password;        // clear
  bool loginDisabled = false;  // the stored password could not be deciphered
  std::string listenAddress;   // as configured; empty: all addresses
  // The scrape credential, accepted for GET /metrics only; unset when
  // either is empty.
  std::string metricsUserName;
  std::string metricsPassword;                   // clear
  std::map<std::string, std::string> formShown;  // by key, see ServiceConfig
  // How the last start or restart went, shown above the form so that the
  // administrator sees what a save led to: when it ran, and each problem it
  // found in the file (fatal ones kept their defaults on a restart).
  std::string startOutcome;
  std::vector<std::string> startProblems;
};

// What the pages need from the process.
class AdminHost {
 public:
  virtual ~AdminHost() = default;
  virtual std::string MonitorText() = 0;
  virtual std::string MetricsText() = 0;
  // The dashboard's data (see service/status_pages.h).
  virtual std::string DashboardJson() = 0;
  // Called on a listener thread once the answer to an accepted form has
  // been sent (or its connection failed); the form is already stored.
  virtual void OnFormAccepted() = 0;
};

struct AdminPaths {
  std::string home;        // company.png is looked for here
  std::string configPath;  // the store the form writes
  std::string keyPath;     // the password key
  std::string logPath;     // shown by tail_logfile
};

class AdminServer {
 public:
  AdminServer(AdminHost& host, AdminPaths paths);
  ~AdminServer();
  AdminServer(const AdminServer&) = delete;
  AdminServer& operator=(const AdminServer&) = delete;

  void SetState(AdminPagesState state);
  // Adds a problem of the running start to the one the form shows.
  void AddStartProblem(std::string problem);

  // Serves HTTPS on address:port with the certificate. A listener already
  // open there with the same certificate stays; one made ready by an
  // accepted form is started; otherwise a new one replaces the old, and the
  // old closes only once the new one is bound, unless both need the same
  // port. False with the reason in *error; the previous listener then keeps
  // serving as it was.
  bool Listen(const std::string& address, std::uint16_t port,
              std::shared_ptr<const ServerCertificate> certificate, std::string* error);
  void Stop();
  std::uint16_t Port() const { return port_.load(); }
  const std::string& Address() const { return address_; }

 private:
  struct Listener;

  // A listener for the settings a form asks for, bound before anything is
  // stored: a port another process holds refuses the form instead of
  // stopping the service at its restart.
  bool PrepareListener(const std::string& address, std::uint16_t port, std::string* error);
  std::unique_ptr<Listener> MakeListener(const std::string& address, std::uint16_t port,
                                         std::shared_ptr<const ServerCertificate> certificate,
                                         std::string* error);
  static void Run(Listener& listener);
  // Every route of a new listener, in groups: the guards run before any
  // page (size limits, authentication), then the open pages, the pages that
  // administer and the status pages.
  void Configure(httplib::SSLServer& server);
  void ConfigureGuards(httplib::SSLServer& server);
  void RouteOpenPages(httplib::SSLServer& server);
  void RouteAdminPages(httplib::SSLServer& server);
  void RouteStatusPages(httplib::SSLServer& server);
  bool Authorised(const httplib::Request& req, httplib::Response& res);
  // The whole brivane.log, streamed in slices (the log may be large).
  void ServeWholeLog(httplib::Response& res);
  void ServeForm(const httplib::Request& req, httplib::Response& res);
  void AcceptForm(const httplib::Request& req, httplib::Response& res);
  // The steps of AcceptForm; each false one has answered the request.
  bool CheckPostedForm(const httplib::Request& req, httplib::Response& res, FormCheck* check);
  bool PrepareListenerFor(const FormCheck& check, httplib::Response& res);
  bool StoreForm(const FormCheck& check, httplib::Response& res, std::string* newPort);
  void AnswerSaved(const httplib::Request& req, httplib::Response& res, const std::string& newPort);
  std::shared_ptr<const AdminPagesState> State() const;

  AdminHost& host_;
  const AdminPaths paths_;
  const std::string token_;
  const std::string welcome_;  // built once per process
  mutable base::Mutex stateMutex_;
  std::shared_ptr<const AdminPagesState> state_ GUARDED_BY(stateMutex_);
  LoginThrottle throttle_;
  std::unique_ptr<Listener> listener_;
  // Written by Listen and Stop under preparedMutex_; the pages read the port
  // without it.
  std::atomic<std::uint16_t> port_{0};
  std::string address_;
  std::string fingerprint_;
  std::shared_ptr<const ServerCertificate> certificate_;  // of the running listener
  base::Mutex preparedMutex_;                             // set by a page, taken by Listen
  std::unique_ptr<Listener> prepared_ GUARDED_BY(preparedMutex_);
};

// The address to listen on: loopback only while the administrator's
// password is the default or empty, so that no one elsewhere can log in
// with it; otherwise the configured one, all addresses when that is empty.
std::string ListenAddressFor(const std::string& configured, bool weakPassword);

// Errors of a posted form that only the pages can judge: an empty
// AdminPassword, an AdminUserName with ':' (basic authentication could not
// carry it).
std::vector<std::string> LoginFieldErrors(const std::multimap<std::string, std::string>& posted);

// Pieces of the pages, kept apart so that they can be tested alone.
std::string EscapeHtml(std::string_view text);
// application/x-www-form-urlencoded; '+' is a blank. Malformed escapes are
// kept as they stand.
std::multimap<std::string, std::string> ParseFormBody(std::string_view body);
bool ConstantTimeEquals(std::string_view a, std::string_view b);
// Splits "Basic base64(user:password)"; false when the header is not that.
bool ParseBasicAuth(std::string_view header, std::string* user, std::string* password);
std::string RenderFormPage(const AdminPagesState& state, const std::string& token);
std::string RenderWelcomePage(bool withGraphic);
// The last maxBytes of a file, starting at a line boundary.
std::string TailOfFile(const std::string& path, std::size_t maxBytes);
// A text safe to put in a log line: control bytes escaped, at most maxBytes.
std::string LogSafe(std::string_view text, std::size_t maxBytes = 64);

}  // namespace brivane::service
